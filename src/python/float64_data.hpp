#pragma once
// Float64 values that cross the boundary in bulk: the direct read of a
// contiguous float64 sequence argument, new NumPy arrays filled from native
// values, and the portable bytes in which pickles carry values.

#include <cstddef>
#include <span>
#include <vector>

#include "binding.hpp"

namespace quorvel::python {

/// @brief A sequence-of-floats argument (legendre_vals). A one-dimensional, C-contiguous
/// float64 NumPy array, array.array or memoryview in native byte order is read in place
/// (exact types only: their iteration yields exactly the buffer's items); any other object
/// is converted item by item by to_double_vector, with its errors.
class DoubleSequence {
 public:
  explicit DoubleSequence(PyObject* obj);
  DoubleSequence(DoubleSequence&& other) noexcept;
  DoubleSequence(const DoubleSequence&) = delete;
  DoubleSequence& operator=(const DoubleSequence&) = delete;
  DoubleSequence& operator=(DoubleSequence&&) = delete;
  ~DoubleSequence();

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  /// @brief Copies the first count items (count <= size()) to out, bit for bit.
  void copy_to(double* out, std::size_t count) const noexcept;

 private:
  Py_buffer view_{};  // the items in place, while held_
  bool held_ = false;
  std::vector<double> converted_;
  std::size_t size_ = 0;
};

template <>
struct FromPython<DoubleSequence> {
  static DoubleSequence convert(PyObject* obj) { return DoubleSequence(obj); }
};

/// @brief A new one-dimensional float64 numpy.ndarray holding a copy of values; NumPy is
/// imported on the first call.
[[nodiscard]] PyObject* new_float64_array(std::span<const double> values);

/// @brief A new bytes object: values as little-endian IEEE-754 doubles, bit for bit.
[[nodiscard]] PyObject* to_little_endian_bytes(std::span<const double> values);

/// @brief Reads 8 * out.size() little-endian IEEE-754 bytes into out, bit for bit.
void from_little_endian_bytes(std::span<const char> bytes, std::span<double> out) noexcept;

}  // namespace quorvel::python
