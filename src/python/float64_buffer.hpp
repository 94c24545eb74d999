#pragma once
// A float64 buffer argument: the view is requested, checked and held by
// this object, and released when it goes away.

#include <vector>

#include "binding.hpp"

namespace quorvel::python {

/// @brief Whether a buffer format names float64 items in this host's byte order:
/// "d" alone, with "@" or "=", or with the prefix naming this host's byte order.
[[nodiscard]] bool is_native_float64_format(const char* format) noexcept;

/// @brief Copies a held view to another place. Exporters may point shape and strides
/// into the view itself (PyBuffer_FillInfo points them at its len and itemsize,
/// array.array its strides at itemsize): the copy points into its own place, not
/// into the one it left.
void move_view(Py_buffer& to, const Py_buffer& from) noexcept;

/// @brief A held buffer view of 64-bit floats, any shape and strides.
class Float64Buffer {
 public:
  /// @brief Requests the view and checks it; raises the buffer's errors.
  explicit Float64Buffer(PyObject* exporter);
  Float64Buffer(Float64Buffer&& other) noexcept;
  Float64Buffer(const Float64Buffer&) = delete;
  Float64Buffer& operator=(const Float64Buffer&) = delete;
  Float64Buffer& operator=(Float64Buffer&&) = delete;
  ~Float64Buffer();

  /// @brief The items in row-major order of the logical shape, as a private array.
  [[nodiscard]] std::vector<double> copy() const;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

template <>
struct FromPython<Float64Buffer> {
  static Float64Buffer convert(PyObject* obj) { return Float64Buffer(obj); }
};

}  // namespace quorvel::python
