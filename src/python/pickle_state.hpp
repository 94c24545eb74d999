#pragma once
// The state that pickles carry: float64 values as little-endian IEEE-754
// bytes, exact and portable between hosts of either byte order. A state read
// back is untrusted input: its size is checked before anything changes.

#include <cstddef>
#include <span>

#include "handle.hpp"

namespace quorvel::python {

/// @brief A new bytes object: values as little-endian IEEE-754 doubles, bit for bit.
[[nodiscard]] PyObject* to_little_endian_bytes(std::span<const double> values);

/// @brief Reads a state of exactly out.size() values into out, bit for bit: TypeError
/// "state must be bytes, got TYPE" or ValueError "state must hold N float64 DOFs (B bytes),
/// got M bytes" otherwise, with out unchanged.
void read_little_endian_state(PyObject* state, std::span<double> out);

}  // namespace quorvel::python
