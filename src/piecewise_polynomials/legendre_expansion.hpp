#pragma once
// Operations on piecewise Legendre expansions with any number of components:
// coefficient arrays of shape (degree + 1, n_t, m) in C order, entry [i, c, j]
// the coefficient of P_i on interval c for component j (for m = 1 exactly the
// flat DOF layout c + n_t i). Each operation returns a new coefficient array:
// the time derivative, the integral over a part of [0, T], the L2 projection
// of sampled values, and the change of basis from continuous Lagrange values.

#include <cstdint>
#include <span>
#include <vector>

#include "support/bulk_array.hpp"

namespace quorvel {

/// @brief The shape of an expansion's coefficients: (degree + 1, n_t, components).
struct ExpansionShape {
  std::uint32_t degree;
  std::uint32_t n_t;
  std::uint64_t components;

  [[nodiscard]] std::uint64_t size() const noexcept {
    return (std::uint64_t{degree} + 1) * n_t * components;
  }
};

/// @brief The coefficients of the order-th time derivative, of degree max(degree - order, 0)
/// (all zero when order exceeds the degree): d/dt = (2 / h) d/dx on every interval, and
/// P_i' = sum of (2k + 1) P_k over k = i - 1, i - 3, ... >= 0.
[[nodiscard]] BulkArray<double> derivative_coefficients(const ExpansionShape& shape,
                                                        std::span<const double> coefficients,
                                                        double h, std::uint64_t order);

/// @brief The integral over [a, b] of each component (0 <= a, b <= T; b < a gives the
/// negative), with h = T / n_t: whole intervals contribute h c_0, the intervals that hold
/// a and b the integral of their polynomial up to a and from b, by the antiderivatives
/// (P_(i + 1) - P_(i - 1)) / (2i + 1) of the Legendre polynomials. Summed with
/// compensation, so the result is the exact integral to a few roundings.
[[nodiscard]] std::vector<double> integral(const ExpansionShape& shape,
                                           std::span<const double> coefficients, double T, double a,
                                           double b);

/// @brief The L2 projection onto the expansion space from samples at the Gauss points:
/// samples[(c n + q) components + j] the value of component j at point q of interval c,
/// with `nodes` and `weights` the n-point Gauss rule on [-1, 1]. Coefficient i of
/// interval c is (2i + 1) / 2 times the rule's sum of P_i times the samples.
[[nodiscard]] BulkArray<double> projection_coefficients(const ExpansionShape& shape,
                                                        std::span<const double> nodes,
                                                        std::span<const double> weights,
                                                        std::span<const double> samples);

/// @brief The Legendre coefficients of the continuous Lagrange function of degree >= 1
/// with node values values[(k degree + i) components + j] (the Lagrange DOF order): on
/// every interval the weights of the change of basis, summed over the nodes in
/// ascending order from +0.0, as a compressed-row product with the Lagrange-to-Legendre
/// matrix sums them.
[[nodiscard]] BulkArray<double> lagrange_to_legendre_coefficients(const ExpansionShape& shape,
                                                                  std::span<const double> values);

}  // namespace quorvel
