#include "legendre_basis.hpp"

#include <cmath>

#include "legendre_kernel.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

// Carries P_(m-1), P_m along the recurrence, with m as a double counter.
struct LegendreRecurrence {
  double x;
  double previous = 1.0;  // P_(m-1)
  double current;         // P_m
  double m = 1.0;

  explicit LegendreRecurrence(double x_) : x(x_), current(x_) {}

  void advance() noexcept {
    const double next = (current * (x * ((m + m) + 1.0)) - previous * m) / (m + 1.0);
    previous = current;
    current = next;
    m += 1.0;
  }
};

// Checks shared by evaluate and evaluate_derivative: the interval must be a
// row of the DOF matrix and every degree a column of it.
void check_dof_shape(const LegendreBasis& basis, const DofMatrix& dofs, std::uint32_t c) {
  if (basis.n_t == 0 || static_cast<Eigen::Index>(c) >= dofs.rows()) {
    fail("Matrix slicing out of bounds.");
  }
  if (static_cast<Eigen::Index>(basis.degree) >= dofs.cols()) {
    fail("Matrix index out of bounds.");
  }
}

std::vector<double> all_basis_vector(const LegendreBasis& basis) {
  if (basis.n_t == 0) {
    fail("Matrix slicing out of bounds.");
  }
  const auto count = checked_storage_count(basis.dof_count(), sizeof(double));
  return std::vector<double>(count, 0.0);
}

}  // namespace

double legendre_value(std::uint32_t k, double x) noexcept {
  if (k == 0) {
    return 1.0;
  }
  LegendreRecurrence rec(x);
  for (std::uint32_t i = 1; i < k; ++i) {
    rec.advance();
  }
  return rec.current;
}

double legendre_derivative_value(std::uint32_t k, double x) noexcept {
  if (k == 0) {
    return 0.0;
  }
  LegendreRecurrence rec(x);  // rec.previous is P_(j-1) while dp is P'_j
  double dp = 1.0;
  double j = 1.0;
  for (std::uint32_t i = 1; i < k; ++i) {
    // P'_(j+1) = (j + 1) * P_j + x * P'_j
    const double next = (j + 1.0) * rec.current + x * dp;
    rec.advance();
    dp = next;
    j += 1.0;
  }
  return dp;
}

IntervalPosition LegendreBasis::locate_interval(double t) const noexcept {
  IntervalPosition position;
  kernel::locate(T / static_cast<double>(n_t), n_t, t, position.interval, position.x);
  return position;
}

double LegendreBasis::evaluate(const DofMatrix& dofs, double t) const {
  const auto [c, x] = locate_interval(t);
  check_dof_shape(*this, dofs, c);
  return kernel::weighted_sum<false>(dofs.data() + c, static_cast<std::size_t>(dofs.rows()), degree,
                                     x);
}

double LegendreBasis::evaluate_derivative(const DofMatrix& dofs, double t) const {
  const auto [c, x] = locate_interval(t);
  check_dof_shape(*this, dofs, c);
  const double sum =
      kernel::weighted_sum<true>(dofs.data() + c, static_cast<std::size_t>(dofs.rows()), degree, x);
  const double h = T / static_cast<double>(n_t);
  return (sum + sum) / h;
}

bool LegendreBasis::fits(const DofMatrix& dofs) const noexcept {
  return n_t != 0 && dofs.rows() >= static_cast<Eigen::Index>(n_t) &&
         dofs.cols() > static_cast<Eigen::Index>(degree);
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
  const auto [c, x] = locate_interval(t);
  auto values = all_basis_vector(*this);
  values[c] = 1.0;
  if (degree >= 1) {
    LegendreRecurrence rec(x);
    values[c + static_cast<std::size_t>(n_t)] = rec.current;
    for (std::uint32_t k = 2; k <= degree; ++k) {
      rec.advance();
      values[c + static_cast<std::size_t>(n_t) * k] = rec.current;
    }
  }
  return values;
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
  const auto [c, x] = locate_interval(t);
  auto values = all_basis_vector(*this);
  const double h = T / static_cast<double>(n_t);
  values[c] = 0.0 / h;
  if (degree >= 1) {
    LegendreRecurrence rec(x);
    double dp = 1.0;
    double j = 1.0;
    values[c + static_cast<std::size_t>(n_t)] = (dp + dp) / h;
    for (std::uint32_t k = 2; k <= degree; ++k) {
      dp = (j + 1.0) * rec.current + x * dp;
      rec.advance();
      j += 1.0;
      values[c + static_cast<std::size_t>(n_t) * k] = (dp + dp) / h;
    }
  }
  return values;
}

}  // namespace quorvel
