// The matrix from Lagrange DOFs to Legendre DOFs (interval index fastest).

#include "lagrange_to_legendre.hpp"

#include <Eigen/Dense>
#include <limits>

#include "lagrange_basis.hpp"
#include "legendre_basis.hpp"
#include "sparse_matrix_tools/block_assembly.hpp"
#include "support/failure.hpp"

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
    fail("Lagrange to Legendre conversion not meaningful for degree 0");
  }

  const std::uint64_t n = static_cast<std::uint64_t>(degree) + 1;
  std::uint64_t n_squared = 0;
  if (__builtin_mul_overflow(n, n, &n_squared)) {
    fail("capacity overflow");
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
    fail("Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.");
  }
  return lu.inverse();
}

namespace {

// Row e holds M(i, p) at column e * degree + i for every i, zeros included.
CsrMatrix legendre_row_block(const Eigen::MatrixXd& weights, std::uint32_t degree,
                             std::uint32_t n_t, std::uint32_t p) {
  const std::uint64_t node_count = static_cast<std::uint64_t>(n_t) * degree + 1;
  CooMatrix block(n_t, node_count);
  block.reserve(static_cast<std::uint64_t>(n_t) * (static_cast<std::uint64_t>(degree) + 1));
  for (std::uint32_t e = 0; e < n_t; ++e) {
    const std::uint64_t first_column = static_cast<std::uint64_t>(e) * degree;
    for (std::uint32_t i = 0; i <= degree; ++i) {
      block.append(e, first_column + i, weights(i, p));
    }
  }
  return block.to_csr();
}

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::uint32_t p) const {
  const auto weights = node_to_legendre_weights(degree_);
  if (p > degree_) {
    fail("Matrix slicing out of bounds.");
  }
  return legendre_row_block(weights, degree_, n_t_, p);
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
  // The weights do not depend on p: one inversion serves every row block.
  const auto weights = node_to_legendre_weights(degree_);
  std::vector<CsrMatrix> blocks;
  blocks.reserve(static_cast<std::size_t>(degree_) + 1);
  for (std::uint64_t p = 0; p <= degree_; ++p) {
    blocks.push_back(legendre_row_block(weights, degree_, n_t_, static_cast<std::uint32_t>(p)));
  }
  const std::vector<BlockRef> refs(blocks.begin(), blocks.end());
  return csr_block_from_ndarray(BlockGrid(refs, refs.size(), 1));
}

}  // namespace quorvel
