#include "pickle_state.hpp"

#include <bit>
#include <cstdint>

#include "conversion.hpp"
#include "support/failure.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

// Byte k of a double's bit pattern is bits >> 8 k on every host, so one loop writes and
// reads little-endian bytes whatever the host's own order.
PyObject* to_little_endian_bytes(std::span<const double> values) {
  const auto size = static_cast<Py_ssize_t>(checked_storage_count(values.size(), 8) * 8);
  Ref bytes = Ref::checked(PyBytes_FromStringAndSize(nullptr, size));
  auto* out = reinterpret_cast<unsigned char*>(check(PyBytes_AsString(bytes.get())));
  for (const double value : values) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int k = 0; k < 8; ++k) {
      *out++ = static_cast<unsigned char>(bits >> (8 * k));
    }
  }
  return bytes.release();
}

void read_little_endian_state(PyObject* state, std::span<double> out) {
  if (!PyBytes_Check(state)) {
    raise_wrong_type("state", "bytes", state);
  }
  const std::size_t count = out.size();
  const auto size = static_cast<std::size_t>(PyBytes_Size(state));
  if (size / 8 != count || size % 8 != 0) {
    PyErr_Format(PyExc_ValueError, messages::wrong_state, count, count * 8, size);
    throw PythonError{};
  }
  const auto* in = reinterpret_cast<const unsigned char*>(check(PyBytes_AsString(state)));
  for (double& value : out) {
    std::uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) {
      bits |= static_cast<std::uint64_t>(*in++) << (8 * k);
    }
    value = std::bit_cast<double>(bits);
  }
}

}  // namespace quorvel::python
