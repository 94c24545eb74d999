#pragma once
// The element matrices of the continuous Lagrange basis on one interval: the
// integrals of products of the degree + 1 Lagrange polynomials of equispaced
// nodes, and of products with their derivatives, on the reference interval
// [-1, 1]. The time matrices assemble them over the mesh.

#include <cstdint>
#include <vector>

namespace quorvel {

/// @brief Element matrices of degree `degree`, (degree + 1)^2 values each, row by row.
struct LagrangeElementMatrices {
  std::uint32_t degree;
  /// @brief mass[i (degree + 1) + j] = integral over [-1, 1] of L_i L_j.
  std::vector<double> mass;
  /// @brief derivative[i (degree + 1) + j] = integral over [-1, 1] of L_j' L_i.
  std::vector<double> derivative;
};

/// @brief The element matrices of the Lagrange polynomials of the nodes
/// -1 + 2i / degree (1 <= degree < max_quadrature_points), each entry within
/// about an ulp of the exact rational: Gauss-Legendre quadrature of degree + 1
/// points (exact for these products) in extended precision. The symmetries the exact values have
/// hold exactly: mass is symmetric and unchanged by the reflection x -> -x, and derivative[i][j] +
/// derivative[j][i] is the boundary term L_i L_j at 1 minus at -1.
[[nodiscard]] LagrangeElementMatrices lagrange_element_matrices(std::uint32_t degree);

}  // namespace quorvel
