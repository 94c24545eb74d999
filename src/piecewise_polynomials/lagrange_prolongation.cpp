// Coarse-to-fine prolongation of Lagrange DOFs between uniform meshes of the
// same time interval; the meshes need not nest.

#include <cmath>
#include <limits>

#include "barycentric_interpolation.hpp"
#include "lagrange_basis.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

// DOF counts are 32-bit quantities; beyond them the matrix is not offered.
constexpr std::uint64_t max_dof_count = std::numeric_limits<std::uint32_t>::max();

// floor(x) as an interval index, with the conversion saturated by hand and the
// position x = n_t (the last fine node) kept in the last interval.
std::uint32_t coarse_interval_of(double x, std::uint32_t n_t) noexcept {
  const double q = std::floor(x);
  if (!(q >= 0.0)) {
    return 0;
  }
  if (q >= static_cast<double>(n_t)) {
    return n_t - 1;
  }
  return static_cast<std::uint32_t>(q);
}

}  // namespace

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::uint32_t nt_fine) const {
  if (degree_ == 0) {
    fail("Lagrange prolongation requires polynomial degree at least 1");
  }
  if (n_t_ == 0) {
    fail("Lagrange prolongation requires at least one coarse interval");
  }
  if (nt_fine == 0) {
    fail("Lagrange prolongation requires at least one fine interval");
  }
  const std::uint64_t last_fine = static_cast<std::uint64_t>(nt_fine) * degree_;
  const std::uint64_t coarse_count = static_cast<std::uint64_t>(n_t_) * degree_ + 1;
  if (last_fine + 1 > max_dof_count || coarse_count > max_dof_count) {
    fail("Lagrange prolongation supports at most 4294967295 DOFs per mesh");
  }

  const auto nodes = equispaced_nodes(-1.0, 1.0, degree_);
  const auto weights = barycentric_weights(nodes);
  std::vector<double> values(nodes.size());

  CooMatrix prolongation(last_fine + 1, coarse_count);
  prolongation.reserve(last_fine + 1);  // at least one entry per row
  const double m = static_cast<double>(last_fine);
  const double nt_coarse = static_cast<double>(n_t_);
  for (std::uint64_t t = 0; t <= last_fine; ++t) {
    // Position in units of the coarse interval width: (t / m) first, then * nt_coarse.
    const double x = (static_cast<double>(t) / m) * nt_coarse;
    const std::uint32_t c = coarse_interval_of(x, n_t_);
    const double xi = (x - static_cast<double>(c)) + (x - static_cast<double>(c)) - 1.0;
    lagrange_values_at(xi, nodes, weights, values);
    const std::uint64_t first_column = static_cast<std::uint64_t>(c) * degree_;
    for (std::uint32_t j = 0; j <= degree_; ++j) {
      // Only exact zeros are skipped; NaN and tiny values are stored.
      if (values[j] != 0.0) {
        prolongation.append(t, first_column + j, values[j]);
      }
    }
  }
  return prolongation.to_csr();
}

}  // namespace quorvel
