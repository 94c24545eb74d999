#pragma once
// The local change of basis behind the Lagrange-to-Legendre matrix.

#include <Eigen/Core>
#include <cstdint>

namespace quorvel {

/// @brief M(i, p): the weight of the value at reference node i in the coefficient of
/// the Legendre polynomial P_p, for the degree + 1 equispaced nodes of [-1, 1]; M is
/// the inverse of A(k, i) = P_k(x_i), with fixed tables for degrees 1 and 2. Fails for
/// degree 0 and for a matrix A that cannot be inverted.
[[nodiscard]] Eigen::MatrixXd node_to_legendre_weights(std::uint32_t degree);

}  // namespace quorvel
