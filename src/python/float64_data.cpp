#include "float64_data.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "double_arrays.hpp"

namespace quorvel::python {

namespace {

LazyAttribute numpy_ndarray("numpy", "ndarray");
LazyAttribute array_array("array", "array");

// A subclass may iterate differently from its buffer (a masked array yields `masked`), and
// a memoryview iterates only formats without a byte-order prefix: the direct read is kept
// to the exact types whose iteration gives the buffer's items, each as the same double.
bool iterates_its_float64_items(PyObject* obj) {
  if (PyMemoryView_Check(obj)) {  // memoryview has no subclasses
    return true;
  }
  const std::string_view name = Py_TYPE(obj)->tp_name;
  LazyAttribute* type = name == "numpy.ndarray" ? &numpy_ndarray
                        : name == "array.array" ? &array_array
                                                : nullptr;
  if (type == nullptr) {
    return false;
  }
  try {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type->get();  // the name alone can lie
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

std::optional<std::vector<double>> read_float64_sequence(PyObject* obj) {
  if (!PyObject_CheckBuffer(obj) || !iterates_its_float64_items(obj)) {
    return std::nullopt;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
    // A released memoryview: iterating it would read the format string of a buffer that
    // may be gone, so its ValueError ends the call here. Any other refusal (an object
    // array) leaves the item-by-item path to raise whatever it raised before.
    if (PyMemoryView_Check(obj) && PyErr_ExceptionMatches(PyExc_ValueError)) {
      throw PythonError{};
    }
    PyErr_Clear();
    return std::nullopt;
  }
  const struct Release {
    Py_buffer& view;
    ~Release() { PyBuffer_Release(&view); }
  } release{view};
  if (!is_contiguous_native_float64_vector(view)) {
    return std::nullopt;
  }
  std::vector<double> values(static_cast<std::size_t>(view.len) / sizeof(double));
  if (!values.empty()) {
    std::memcpy(values.data(), view.buf, values.size() * sizeof(double));
  }
  return values;
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
