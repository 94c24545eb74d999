#include "prolongation_rows.hpp"

#include "lagrange_basis.hpp"
#include "support/failure.hpp"
#include "support/messages.hpp"

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
    fail(messages::prolongation_degree);
  }
  if (nt_coarse == 0) {
    fail(messages::prolongation_coarse);
  }
  if (nt_fine == 0) {
    fail(messages::prolongation_fine);
  }
  if (row_count() > max_prolongation_dofs || column_count() > max_prolongation_dofs) {
    fail(messages::prolongation_dofs);
  }
  nodes_ = equispaced_nodes(-1.0, 1.0, degree);
  weights_ = barycentric_weights(nodes_);
}

void ProlongationRows::fail_value_count() {
  fail("Lagrange values need one weight and one value slot per node");
}

}  // namespace quorvel
