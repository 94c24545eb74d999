#pragma once
// Lagrange interpolation on a set of reference nodes in barycentric form.
//
// The hot parts are inline templates over the node count, so that a caller that
// knows it at compile time (std::span<const double, N>) gets the loops unrolled;
// the operations and their order are the same for every extent.

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace quorvel {

/// @brief Absolute distance on the reference coordinate below which a point
/// counts as the node itself.
inline constexpr double node_match_tolerance = 1e-14;

/// @brief w_i = 1 / prod_(j != i) (x_i - x_j), the product taken in ascending j.
[[nodiscard]] std::vector<double> barycentric_weights(std::span<const double> nodes);

/// @brief The first node within node_match_tolerance of xi, or nodes.size() if none is.
template <std::size_t N>
[[nodiscard]] std::size_t matching_node(double xi, std::span<const double, N> nodes) noexcept {
  for (std::size_t j = 0; j < nodes.size(); ++j) {
    if (std::abs(xi - nodes[j]) < node_match_tolerance) {
      return j;
    }
  }
  return nodes.size();
}

/// @brief The barycentric formula at a point that matches no node: values[j] =
/// (w_j / (xi - x_j)) / s with s the ascending sum of those quotients. The spans
/// have equal sizes, which the caller guarantees.
template <std::size_t N>
void barycentric_values(double xi, std::span<const double, N> nodes,
                        std::span<const double, N> weights, std::span<double, N> values) noexcept {
  double sum = 0.0;
  for (std::size_t j = 0; j < nodes.size(); ++j) {
    const double q = weights[j] / (xi - nodes[j]);
    sum = sum + q;
    values[j] = q;
  }
  for (double& value : values) {
    value = value / sum;
  }
}

/// @brief Fills values with all Lagrange basis polynomials of nodes at xi: a unit
/// vector when xi lies within node_match_tolerance of a node (the first such
/// node), otherwise (w_j / (xi - x_j)) / s with s the ascending sum of those
/// quotients. nodes, weights and values must have equal sizes.
void lagrange_values_at(double xi, std::span<const double> nodes, std::span<const double> weights,
                        std::span<double> values);

}  // namespace quorvel
