// Coarse-to-fine prolongation of Lagrange DOFs between uniform meshes of the
// same time interval; the meshes need not nest.

#include "barycentric_interpolation.hpp"
#include "lagrange_basis.hpp"
#include "prolongation_rows.hpp"
#include "support/failure.hpp"

namespace quorvel {

ProlongationRows::ProlongationRows(std::uint32_t degree, std::uint32_t nt_coarse,
                                   std::uint32_t nt_fine)
    : degree_(degree),
      nt_coarse_(nt_coarse),
      last_fine_(static_cast<std::uint64_t>(nt_fine) * degree),
      last_fine_as_double_(static_cast<double>(last_fine_)),
      nt_coarse_as_double_(static_cast<double>(nt_coarse)),
      last_interval_(static_cast<double>(nt_coarse) - 1.0) {
  if (degree == 0) {
    fail("Lagrange prolongation requires polynomial degree at least 1");
  }
  if (nt_coarse == 0) {
    fail("Lagrange prolongation requires at least one coarse interval");
  }
  if (nt_fine == 0) {
    fail("Lagrange prolongation requires at least one fine interval");
  }
  if (row_count() > max_prolongation_dofs || column_count() > max_prolongation_dofs) {
    fail("Lagrange prolongation supports at most 4294967295 DOFs per mesh");
  }
  nodes_ = equispaced_nodes(-1.0, 1.0, degree);
  weights_ = barycentric_weights(nodes_);
}

void ProlongationRows::fail_value_count() {
  fail("Lagrange values need one weight and one value slot per node");
}

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::uint32_t nt_fine) const {
  const ProlongationRows rows(degree_, n_t_, nt_fine);
  std::vector<double> scratch(rows.nodes_per_interval());
  CooMatrix prolongation(rows.row_count(), rows.column_count());
  prolongation.reserve(rows.row_count());  // at least one entry per row
  for (std::uint64_t t = 0; t < rows.row_count(); ++t) {
    rows.for_each_entry(t, std::span(scratch), [&](std::uint64_t column, double value) {
      prolongation.append(t, column, value);
    });
  }
  return prolongation.to_csr();
}

}  // namespace quorvel
