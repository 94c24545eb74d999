#pragma once
// The arguments that say where each time lies on the mesh: `side` ("right":
// a mesh point belongs to the interval on its right, the default; "left": to
// the one on its left) and `intervals` (the interval of every time, given).

#include <cstdint>
#include <string_view>
#include <vector>

#include "conversion.hpp"
#include "piecewise_polynomials/batch_kernel.hpp"

namespace quorvel::python {

/// @brief The side argument: "right" or "left".
struct Side {
  kernel::Rule rule;
};

template <>
struct Converter<Side> {
  static constexpr Messages messages = Messages::named;
  /// @brief TypeError unless a str; ValueError "side must be 'left' or 'right', got 'x'".
  static Side convert(PyObject* obj, std::string_view name);
};

/// @brief The intervals given for times of @p shape: the integers of an array-like of that
/// shape, each in [0, n_t), in C order; TypeError or ValueError naming NAME otherwise.
[[nodiscard]] std::vector<std::int64_t> given_intervals(PyObject* obj, std::string_view name,
                                                        const std::vector<std::int64_t>& shape,
                                                        std::uint32_t n_t);

/// @brief How the times lie: the side's rule, or the given intervals when the caller gave
/// them (not None); @p intervals holds them for as long as the placement is used.
[[nodiscard]] Placement placement_of(const Option<Side>& side, const Option<Object>& given,
                                     const std::vector<std::int64_t>& shape, std::uint32_t n_t,
                                     std::vector<std::int64_t>& intervals);

}  // namespace quorvel::python
