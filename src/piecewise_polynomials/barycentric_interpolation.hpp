#pragma once
// Lagrange interpolation on a set of reference nodes in barycentric form.

#include <span>
#include <vector>

namespace quorvel {

/// @brief Absolute distance on the reference coordinate below which a point
/// counts as the node itself.
inline constexpr double node_match_tolerance = 1e-14;

/// @brief w_i = 1 / prod_(j != i) (x_i - x_j), the product taken in ascending j.
[[nodiscard]] std::vector<double> barycentric_weights(std::span<const double> nodes);

/// @brief Fills values with all Lagrange basis polynomials of nodes at xi: a unit
/// vector when xi lies within node_match_tolerance of a node (the first such
/// node), otherwise (w_j / (xi - x_j)) / s with s the ascending sum of those
/// quotients. nodes, weights and values must have equal sizes.
void lagrange_values_at(double xi, std::span<const double> nodes, std::span<const double> weights,
                        std::span<double> values);

}  // namespace quorvel
