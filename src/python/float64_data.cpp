#include "float64_data.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "double_arrays.hpp"
#include "float64_buffer.hpp"

namespace quorvel::python {

namespace {

LazyAttribute array_array("array", "array");

PyObject* array_array_type() { return array_array.get(); }

// A subclass may iterate differently from its buffer (a masked array yields `masked`), and
// a memoryview iterates only formats without a byte-order prefix: the direct read is kept
// to the exact types whose iteration gives the buffer's items, each as the same double.
bool iterates_its_float64_items(PyObject* obj) {
  if (PyMemoryView_Check(obj)) {  // memoryview has no subclasses
    return true;
  }
  const std::string_view name = Py_TYPE(obj)->tp_name;
  PyObject* (*type)() = name == "numpy.ndarray" ? &numpy_ndarray_type
                        : name == "array.array" ? &array_array_type
                                                : nullptr;
  if (type == nullptr) {
    return false;
  }
  try {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type();  // the name alone can lie
  } catch (const PythonError&) {
    PyErr_Clear();
    return false;
  }
}

// memoryview iterates "d" and "@d" only; NumPy and array.array export native doubles as "d".
bool is_contiguous_native_float64_vector(const Py_buffer& view) {
  const std::string_view format = view.format == nullptr ? "B" : view.format;
  return view.ndim == 1 && view.itemsize == 8 && (format == "d" || format == "@d") &&
         PyBuffer_IsContiguous(&view, 'C') != 0;
}

}  // namespace

DoubleSequence::DoubleSequence(PyObject* obj) {
  if (PyObject_CheckBuffer(obj) && iterates_its_float64_items(obj)) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
      // A released memoryview: iterating it would read the format string of a buffer that
      // may be gone, so its ValueError ends the call here. Any other refusal (an object
      // array) leaves the item-by-item path to raise whatever it raised before.
      if (PyMemoryView_Check(obj) && PyErr_ExceptionMatches(PyExc_ValueError)) {
        throw PythonError{};
      }
      PyErr_Clear();
    } else if (is_contiguous_native_float64_vector(view_)) {
      held_ = true;
      size_ = static_cast<std::size_t>(view_.len) / sizeof(double);
      return;
    } else {
      PyBuffer_Release(&view_);
    }
  }
  converted_ = to_double_vector(obj);
  size_ = converted_.size();
}

DoubleSequence::DoubleSequence(DoubleSequence&& other) noexcept
    : held_(std::exchange(other.held_, false)),
      converted_(std::move(other.converted_)),
      size_(other.size_) {
  move_view(view_, other.view_);
}

DoubleSequence::~DoubleSequence() {
  if (held_) {
    PyBuffer_Release(&view_);
  }
}

void DoubleSequence::copy_to(double* out, std::size_t count) const noexcept {
  // memcpy, not a loop over doubles: a view may be misaligned.
  if (count > 0) {
    std::memcpy(out, held_ ? view_.buf : converted_.data(), count * sizeof(double));
  }
}

PyObject* new_float64_array(std::span<const double> values) {
  OutputDoubles array({static_cast<std::int64_t>(values.size())}, false);
  if (!values.empty()) {
    std::memcpy(array.strided().data, values.data(), values.size() * sizeof(double));
  }
  return array.release();
}

// Byte k of a double's bit pattern is bits >> 8 k on every host, so one loop writes and
// reads little-endian bytes whatever the host's own order.
PyObject* to_little_endian_bytes(std::span<const double> values) {
  const auto size = static_cast<Py_ssize_t>(checked_storage_count(values.size(), 8) * 8);
  Ref bytes = Ref::checked(PyBytes_FromStringAndSize(nullptr, size));
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  for (const double value : values) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int k = 0; k < 8; ++k) {
      *out++ = static_cast<unsigned char>(bits >> (8 * k));
    }
  }
  return bytes.release();
}

void from_little_endian_bytes(std::span<const char> bytes, std::span<double> out) noexcept {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  for (double& value : out) {
    std::uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) {
      bits |= static_cast<std::uint64_t>(*in++) << (8 * k);
    }
    value = std::bit_cast<double>(bits);
  }
}

}  // namespace quorvel::python
