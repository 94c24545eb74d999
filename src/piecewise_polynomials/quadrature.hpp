#pragma once
// Gauss-Legendre, right Radau and Lobatto rules: on the reference interval
// [-1, 1], and repeated on every interval of the uniform mesh of [0, T].
//
// Reference nodes are found by Newton's method in long double (64-bit
// mantissa on x86-64) on the polynomial that defines them, started from the
// eigenvalues of the Jacobi matrix of the rule's interior weight; weights come
// from closed forms at the long double node, corrected to first order by the
// last Newton step, and both are rounded to double once at the end.
//
// Mapped rules use the library's placement of interval c: [a, b] with
// a = h c, b = h + a and h = T / n_t, as the Legendre kernel locates times. A
// node at -1 lands on a and a node at +1 on b, bit for bit; an interior node
// at a + ((1 + x) / 2) h; every weight is the reference weight times h / 2, so
// every interval carries the same weights and they add up to T to rounding.

#include <cstdint>
#include <span>
#include <vector>

#include "support/thread_pool.hpp"

namespace quorvel {

/// @brief Which nodes a rule fixes: none (gauss), the right end (radau), both ends (lobatto).
enum class QuadratureRule { gauss, radau, lobatto };

/// @brief The largest number of points per interval that the rules are built for.
inline constexpr std::uint32_t max_quadrature_points = 1024;

/// @brief The fewest points a rule can have: 2 for lobatto (its two ends), else 1.
[[nodiscard]] constexpr std::uint32_t min_quadrature_points(QuadratureRule rule) noexcept {
  return rule == QuadratureRule::lobatto ? 2 : 1;
}

/// @brief A rule on [-1, 1]: nodes in increasing order, and with each its weight.
struct ReferenceRule {
  std::vector<double> nodes;
  std::vector<double> offsets;  // (1 + node) / 2 rounded once: where the node lies in [0, 1]
  std::vector<double> weights;  // adding up to 2
  // The same nodes and weights before their rounding to double, for integrals
  // computed in extended precision.
  std::vector<long double> extended_nodes;
  std::vector<long double> extended_weights;
};

/// @brief The n_points-point rule on [-1, 1]; n_points must lie within
/// [min_quadrature_points(rule), max_quadrature_points]. Gauss rules are exact
/// for degree 2 n - 1, radau for 2 n - 2, lobatto for 2 n - 3; gauss and lobatto
/// nodes and weights are exactly mirrored about 0.
[[nodiscard]] ReferenceRule reference_rule(QuadratureRule rule, std::uint32_t n_points);

/// @brief Writes the rule's points and weights for each of the n_t intervals of [0, T],
/// interval by interval: n_t * size entries each in @p points and @p weights. The mesh
/// must have no fault (mesh_fault); large meshes run on @p pool.
void map_to_mesh(const ReferenceRule& rule, std::uint32_t n_t, double T, std::span<double> points,
                 std::span<double> weights, LazyThreadPool& pool);

}  // namespace quorvel
