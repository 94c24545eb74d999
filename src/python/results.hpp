#pragma once
// Results that leave as Python objects other than arrays: floats, ints, str,
// and lists of floats. Every list of floats quorvel returns is built here.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "handle.hpp"

namespace quorvel::python {

inline PyObject* to_python(double value) { return check(PyFloat_FromDouble(value)); }
inline PyObject* to_python(std::uint32_t value) { return check(PyLong_FromUnsignedLong(value)); }
inline PyObject* to_python(std::uint64_t value) {
  return check(PyLong_FromUnsignedLongLong(value));
}
PyObject* to_python(const std::string& text);

/// @brief A new list of floats, one per value, in order.
PyObject* to_python(std::span<const double> values);

/// @brief A vector of doubles, whatever its allocator, as a new list of floats.
template <class Allocator>
PyObject* to_python(const std::vector<double, Allocator>& values) {
  return to_python(std::span<const double>(values));
}

/// @brief repr(float(value)): the shortest text that reads back as the same double.
std::string float_repr(double value);

}  // namespace quorvel::python
