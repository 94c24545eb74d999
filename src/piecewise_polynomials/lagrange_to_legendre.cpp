// The matrix from Lagrange DOFs to Legendre DOFs (interval index fastest).

#include "lagrange_to_legendre.hpp"

#include <Eigen/Dense>
#include <limits>

#include "lagrange_basis.hpp"
#include "legendre_basis.hpp"
#include "support/failure.hpp"
#include "support/messages.hpp"

namespace quorvel {

Eigen::MatrixXd node_to_legendre_weights(std::uint32_t degree) {
  if (degree == 1) {
    Eigen::MatrixXd m(2, 2);
    m << 0.5, -0.5,  //
        0.5, 0.5;
    return m;
  }
  if (degree == 2) {
    Eigen::MatrixXd m(3, 3);
    m << 1.0 / 6.0, -0.5, 1.0 / 3.0,   //
        2.0 / 3.0, 0.0, -(2.0 / 3.0),  //
        1.0 / 6.0, 0.5, 1.0 / 3.0;
    return m;
  }
  if (degree == 0) {
    fail(messages::to_legendre_degree);
  }

  const std::uint64_t n = static_cast<std::uint64_t>(degree) + 1;
  std::uint64_t n_squared = 0;
  if (__builtin_mul_overflow(n, n, &n_squared)) {
    fail(messages::capacity_overflow);
  }
  (void)checked_storage_count(n_squared, sizeof(double));

  const auto nodes = equispaced_nodes(-1.0, 1.0, degree);
  const auto size = static_cast<Eigen::Index>(n);
  Eigen::MatrixXd a(size, size);
  for (Eigen::Index k = 0; k < size; ++k) {
    for (Eigen::Index i = 0; i < size; ++i) {
      a(k, i) = legendre_value(static_cast<std::uint32_t>(k), nodes[static_cast<std::size_t>(i)]);
    }
  }
  // A zero threshold makes the singularity test exact: an ill-conditioned but
  // regular matrix is still inverted, as is every matrix of distinct nodes.
  Eigen::FullPivLU<Eigen::MatrixXd> lu(a);
  lu.setThreshold(0.0);
  if (!lu.isInvertible()) {
    fail(messages::vandermonde);
  }
  return lu.inverse();
}

}  // namespace quorvel
