#pragma once
// Continuous piecewise Lagrange basis on a uniform mesh of [0, T].
//
// DOF order, shared by every caller: DOF k * degree + i is node i of interval
// k (i = 0 ... degree - 1), and DOF n_t * degree is T itself. Neighbouring
// intervals share their common end node, stored once as node 0 of the later
// interval, so there are n_t * degree + 1 DOFs.
//
// The operation orders below fix the bits of every result; these files must
// be compiled without floating-point contraction.

#include <cstdint>
#include <utility>
#include <vector>

#include "sparse_matrix_tools/sparse_matrix.hpp"

namespace quorvel {

/// @brief The degree + 1 nodes a + ((b - a) * i) / degree on [a, b], i = 0 ... degree,
/// each formed in exactly that order (degree 0 gives the single value NaN).
[[nodiscard]] std::vector<double> equispaced_nodes(double a, double b, std::uint32_t degree);

/// @brief The nodes of the piecewise Lagrange space (degree, n_t, T) in DOF order.
class LagrangeBasis {
 public:
  /// @brief Builds the n_t * degree + 1 nodes; accepts every value, fails only
  /// with "capacity overflow" when the nodes cannot be stored.
  [[nodiscard]] static LagrangeBasis create(std::uint32_t degree, std::uint32_t n_t, double T);

  /// @brief A basis for the matrix operations alone, which read only degree and
  /// n_t: the nodes are not computed, so points() is empty.
  [[nodiscard]] static LagrangeBasis without_points(std::uint32_t degree, std::uint32_t n_t) {
    return LagrangeBasis({}, degree, n_t);
  }

  /// @brief The nodes in DOF order; the last one is T.
  [[nodiscard]] const std::vector<double>& points() const noexcept { return points_; }
  /// @brief Polynomial degree on every interval.
  [[nodiscard]] std::uint32_t degree() const noexcept { return degree_; }
  /// @brief Number of intervals.
  [[nodiscard]] std::uint32_t n_t() const noexcept { return n_t_; }

  /// @brief The (nt_fine * degree + 1) x (n_t * degree + 1) matrix whose row r
  /// holds the values of all basis functions of this mesh at node r of a uniform
  /// mesh of nt_fine intervals; exact zeros are not stored. Independent of T.
  [[nodiscard]] CsrMatrix get_prolongation_matrix_to(std::uint32_t nt_fine) const;

  /// @brief The n_t x (n_t * degree + 1) matrix whose row e maps the Lagrange DOFs
  /// of interval e to its coefficient of the Legendre polynomial of degree p.
  [[nodiscard]] CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::uint32_t p) const;

  /// @brief The ((degree + 1) * n_t) x (n_t * degree + 1) matrix from Lagrange DOFs
  /// to Legendre DOFs (row p * n_t + e: degree p on interval e).
  [[nodiscard]] CsrMatrix get_transormation_matrix_to_legendre() const;

 private:
  LagrangeBasis(std::vector<double> points, std::uint32_t degree, std::uint32_t n_t)
      : points_(std::move(points)), degree_(degree), n_t_(n_t) {}

  std::vector<double> points_;
  std::uint32_t degree_;
  std::uint32_t n_t_;
};

}  // namespace quorvel
