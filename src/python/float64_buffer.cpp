#include "float64_buffer.hpp"

#include <bit>
#include <cstdint>
#include <string_view>

#include "support/failure.hpp"

namespace quorvel::python {

namespace {

template <class T>
T* moved_pointer(T* pointer, const Py_buffer& from, Py_buffer& to) {
  const auto address = reinterpret_cast<std::uintptr_t>(pointer);
  const auto start = reinterpret_cast<std::uintptr_t>(&from);
  if (address < start || address >= start + sizeof(Py_buffer)) {
    return pointer;
  }
  return reinterpret_cast<T*>(reinterpret_cast<char*>(&to) + (address - start));
}

}  // namespace

bool is_native_float64_format(const char* format) noexcept {
  const std::string_view f = format == nullptr ? "B" : format;
  if (f == "d" || f == "@d" || f == "=d") {
    return true;
  }
  if constexpr (std::endian::native == std::endian::little) {
    return f == "<d";
  } else {
    return f == ">d" || f == "!d";
  }
}

Float64Buffer::Float64Buffer(PyObject* exporter) {
  if (PyObject_GetBuffer(exporter, &view_, PyBUF_FULL_RO) < 0) {
    throw PythonError{};
  }
  held_ = true;
  const char* refusal = nullptr;
  if (view_.shape == nullptr) {
    refusal = "shape is null";
  } else if (view_.strides == nullptr) {
    refusal = "strides is null";
  } else if (view_.itemsize != 8 || !is_native_float64_format(view_.format)) {
    refusal = "buffer contents are not compatible with f64";
  } else if (reinterpret_cast<std::uintptr_t>(view_.buf) % 8 != 0) {
    refusal = "buffer contents are insufficiently aligned for f64";
  }
  if (refusal != nullptr) {
    PyBuffer_Release(&view_);
    held_ = false;
    raise(PyExc_BufferError, refusal);
  }
}

void move_view(Py_buffer& to, const Py_buffer& from) noexcept {
  to = from;
  to.shape = moved_pointer(to.shape, from, to);
  to.strides = moved_pointer(to.strides, from, to);
  to.suboffsets = moved_pointer(to.suboffsets, from, to);
}

Float64Buffer::Float64Buffer(Float64Buffer&& other) noexcept
    : held_(std::exchange(other.held_, false)) {
  move_view(view_, other.view_);
}

Float64Buffer::~Float64Buffer() {
  if (held_) {
    PyBuffer_Release(&view_);
  }
}

std::vector<double> Float64Buffer::copy() const {
  std::vector<double> items(checked_storage_count(static_cast<std::uint64_t>(view_.len) / 8, 8));
  if (PyBuffer_ToContiguous(items.data(), &view_, view_.len, 'C') < 0) {
    throw PythonError{};
  }
  return items;
}

}  // namespace quorvel::python
