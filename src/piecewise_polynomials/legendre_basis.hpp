#pragma once
// Discontinuous piecewise Legendre basis on a uniform mesh of [0, T].
//
// DOF layout, shared by every caller: the coefficient of P_i on interval c
// is element (c, i) of a column-major DofMatrix, i.e. flat index c + n_t * i
// (interval index fastest).
//
// The operation orders below fix the bits of every result; this file must
// be compiled without floating-point contraction.

#include <Eigen/Core>
#include <cstdint>
#include <span>
#include <vector>

#include "legendre_kernel.hpp"

namespace quorvel {

/// @brief Dense column-major DOF storage: rows are intervals, columns Legendre degrees.
using DofMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor>;

/// @brief Interval index and clamped reference coordinate of a time.
struct IntervalPosition {
  std::uint32_t interval;
  double x;
};

/// @brief What keeps the uniform mesh of [0, T] from being computed in doubles: its
/// interval length h = T / n_t zero or subnormal, the last end b = h + h (n_t - 1)
/// beyond the largest double, or a + b of the last interval's ends beyond it (a = h (n_t - 1)).
enum class MeshFault { none, step_not_normal, end_overflows, ends_sum_overflows };

/// @brief The first fault of the mesh (h, a = h c, b = h + a as locate forms them), for
/// T > 0 and n_t >= 1; a + b grows with c, so the last interval decides.
[[nodiscard]] MeshFault mesh_fault(std::uint32_t n_t, double T) noexcept;

/// @brief P_k(x) by the three-term recurrence (P_k(1) = 1).
[[nodiscard]] double legendre_value(std::uint32_t k, double x) noexcept;

/// @brief The piecewise Legendre space (degree, n_t, T); a plain value, nothing validated.
struct LegendreBasis {
  const std::uint32_t degree;
  const std::uint32_t n_t;
  const double T;

  LegendreBasis(std::uint32_t degree_, std::uint32_t n_t_, double T_) noexcept
      : degree(degree_), n_t(n_t_), T(T_), h_(T_ / static_cast<double>(n_t_)) {}

  /// @brief The interval length T / n_t, as every operation computes it (once, here).
  [[nodiscard]] double h() const noexcept { return h_; }

  /// @brief Number of DOFs, n_t * (degree + 1), computed in 64 bits.
  [[nodiscard]] std::uint64_t dof_count() const noexcept {
    return static_cast<std::uint64_t>(n_t) * (static_cast<std::uint64_t>(degree) + 1);
  }

  /// @brief Interval c = floor(t / h) saturated and clamped, and x in [-1, 1] (NaN kept).
  [[nodiscard]] IntervalPosition locate_interval(double t) const noexcept;

  /// @brief The kernel's view of an expansion whose DOFs fit the basis (fits(dofs)).
  [[nodiscard]] kernel::Expansion expansion(const DofMatrix& dofs) const noexcept {
    return {h(), static_cast<double>(n_t) - 1.0, degree, dofs.data(),
            static_cast<std::size_t>(dofs.rows())};
  }

  /// @brief Sum of P_i(x) * dofs(c, i); fails on a DofMatrix too small for the basis.
  [[nodiscard]] double evaluate(const DofMatrix& dofs, double t) const;

  /// @brief Time derivative (2 / h) * sum of P'_i(x) * dofs(c, i).
  [[nodiscard]] double evaluate_derivative(const DofMatrix& dofs, double t) const;

  /// @brief True when every time lands on a row and column of dofs, so that
  /// evaluate and evaluate_derivative cannot fail for it.
  [[nodiscard]] bool fits(const DofMatrix& dofs) const noexcept;

  /// @brief Values of all n_t * (degree + 1) basis functions at t, in DOF layout.
  [[nodiscard]] std::vector<double> evaluate_all_basis_functions(double t) const;

  /// @brief Time derivatives of all basis functions at t, in DOF layout.
  [[nodiscard]] std::vector<double> evaluate_all_basis_function_derivatives(double t) const;

  /// @brief The interval of t, and in @p values (degree + 1 slots) the order-th time
  /// derivatives of its basis functions P_0 ... P_degree at t: order 0 and 1 as the
  /// all-basis operations give them, +0.0 for orders of 2 or more above the degree.
  /// Needs n_t >= 1.
  std::uint32_t basis_derivatives_at(double t, std::uint64_t order, std::span<double> values) const;

  /// @brief Fails as evaluate() does for a DOF matrix that cannot hold interval c.
  void check_dofs(const DofMatrix& dofs, std::uint32_t c) const;

 private:
  double h_;
};

}  // namespace quorvel
