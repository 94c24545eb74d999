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

#include "sparse_matrix_tools/compressed_rows.hpp"
#include "support/thread_pool.hpp"

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

  /// @brief The (nt_fine * degree + 1) x (n_t * degree + 1) matrix whose row r holds
  /// the values of all basis functions of this mesh at node r of a uniform mesh of
  /// nt_fine intervals; exact zeros are not stored. Independent of T. Fails, in this
  /// order, for degree 0, n_t 0, nt_fine 0 and meshes of more than 4294967295 DOFs;
  /// std::bad_alloc when the arrays cannot be allocated. Large matrices are written on
  /// @p pool, or all on the calling thread without one (nullptr).
  [[nodiscard]] AnyCompressedRows get_prolongation_matrix_to(std::uint32_t nt_fine,
                                                             LazyThreadPool* pool) const;

  /// @brief The ((degree + 1) * n_t) x (n_t * degree + 1) matrix from Lagrange DOFs to
  /// Legendre DOFs: row p * n_t + e holds the weights of interval e's nodes in its
  /// coefficient of P_p, every weight stored (zeros included). Fails for degree 0 and
  /// for a local matrix that cannot be inverted; std::bad_alloc when the arrays cannot
  /// be allocated. Large matrices are written on @p pool, or all on the calling thread
  /// without one (nullptr). (Spelled "transormation": the name is fixed.)
  [[nodiscard]] AnyCompressedRows get_transormation_matrix_to_legendre(LazyThreadPool* pool) const;

 private:
  LagrangeBasis(std::vector<double> points, std::uint32_t degree, std::uint32_t n_t)
      : points_(std::move(points)), degree_(degree), n_t_(n_t) {}

  std::vector<double> points_;
  std::uint32_t degree_;
  std::uint32_t n_t_;
};

/// @brief The extent of the Lagrange-to-Legendre matrix: ((degree + 1) n_t) x
/// (n_t degree + 1) with n_t (degree + 1)^2 entries; an entry count beyond 64 bits is
/// given as the largest 64-bit value.
[[nodiscard]] CompressedRowsSize lagrange_to_legendre_size(std::uint32_t degree,
                                                           std::uint32_t n_t) noexcept;

}  // namespace quorvel
