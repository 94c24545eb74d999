#pragma once
// Float64 values that cross the boundary in bulk: the direct read of a
// contiguous float64 sequence argument, new NumPy arrays filled from native
// values, and the portable bytes in which pickles carry values.

#include <optional>
#include <span>
#include <vector>

#include "handle.hpp"

namespace quorvel::python {

/// @brief The items of a one-dimensional, C-contiguous float64 buffer in native byte order,
/// copied in one go, if obj is a NumPy array, an array.array or a memoryview (exact types,
/// whose iteration yields exactly those items); nullopt for anything else, which the caller
/// then converts item by item.
[[nodiscard]] std::optional<std::vector<double>> read_float64_sequence(PyObject* obj);

/// @brief A new one-dimensional float64 numpy.ndarray holding a copy of values; NumPy is
/// imported on the first call.
[[nodiscard]] PyObject* new_float64_array(std::span<const double> values);

/// @brief A new bytes object: values as little-endian IEEE-754 doubles, bit for bit.
[[nodiscard]] PyObject* to_little_endian_bytes(std::span<const double> values);

/// @brief Reads 8 * out.size() little-endian IEEE-754 bytes into out, bit for bit.
void from_little_endian_bytes(std::span<const char> bytes, std::span<double> out) noexcept;

}  // namespace quorvel::python
