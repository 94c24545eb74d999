#include "legendre_basis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "support/failure.hpp"
#include "support/messages.hpp"

namespace quorvel {

namespace {

// The one-time evaluation of order 0 or 1, for a DOF matrix that may not fit:
// rows beyond n_t and columns beyond the degree are simply not read.
template <int Order>
double evaluate_checked(const LegendreBasis& basis, const DofMatrix& dofs, double t) {
  const kernel::Expansion expansion = basis.expansion(dofs);
  // locate_interval, inline: the one-time call's whole arithmetic in one function.
  const auto at = kernel::locate<1>(t, expansion.h, basis.n_t == 0 ? 0.0 : expansion.last_interval);
  if (!basis.fits(dofs)) [[unlikely]] {
    basis.check_dofs(dofs, static_cast<std::uint32_t>(at.interval));
  }
  return kernel::with_degree(basis.degree, [&]<int Degree>() {
    return kernel::evaluate_at<1, Degree, Order>(expansion, at, Order, nullptr);
  });
}

// The all-basis vector: zeros but for interval c, whose degree + 1 entries
// are the order-th derivatives of its basis functions.
std::vector<double> all_basis_vector(const LegendreBasis& basis, double t, std::uint64_t order) {
  if (basis.n_t == 0) {
    fail(messages::slicing_out_of_bounds);
  }
  std::vector<double> values(checked_storage_count(basis.dof_count(), sizeof(double)), 0.0);
  std::vector<double> local(static_cast<std::size_t>(basis.degree) + 1);
  const std::uint32_t c = basis.basis_derivatives_at(t, order, local);
  for (std::size_t k = 0; k < local.size(); ++k) {
    values[c + static_cast<std::size_t>(basis.n_t) * k] = local[k];
  }
  return values;
}

}  // namespace

MeshFault mesh_fault(std::uint32_t n_t, double T) noexcept {
  const double h = T / static_cast<double>(n_t);
  if (!(h >= std::numeric_limits<double>::min())) {
    return MeshFault::step_not_normal;
  }
  const double a = h * (static_cast<double>(n_t) - 1.0);
  const double b = h + a;
  if (!std::isfinite(b)) {
    return MeshFault::end_overflows;
  }
  return std::isfinite(a + b) ? MeshFault::none : MeshFault::ends_sum_overflows;
}

double legendre_value(std::uint32_t k, double x) noexcept {
  double value = 1.0;
  kernel::for_each_term<1, kernel::runtime_degree, 0>(x, k, [&](std::uint32_t i, double p) {
    if (i == k) {
      value = p;
    }
  });
  return value;
}

IntervalPosition LegendreBasis::locate_interval(double t) const noexcept {
  // Without intervals there is nothing to clamp into; the evaluations refuse
  // that case, so interval 0 is as good as any.
  const double last = n_t == 0 ? 0.0 : static_cast<double>(n_t) - 1.0;
  const auto at = kernel::locate<1>(t, h(), last);
  return {static_cast<std::uint32_t>(at.interval), at.x};
}

double LegendreBasis::evaluate(const DofMatrix& dofs, double t) const {
  return evaluate_checked<0>(*this, dofs, t);
}

double LegendreBasis::evaluate_derivative(const DofMatrix& dofs, double t) const {
  return evaluate_checked<1>(*this, dofs, t);
}

void LegendreBasis::check_dofs(const DofMatrix& dofs, std::uint32_t c) const {
  // The interval must be a row of the DOF matrix and every degree a column of it.
  if (n_t == 0 || static_cast<Eigen::Index>(c) >= dofs.rows()) {
    fail(messages::slicing_out_of_bounds);
  }
  if (static_cast<Eigen::Index>(degree) >= dofs.cols()) {
    fail(messages::index_out_of_bounds);
  }
}

bool LegendreBasis::fits(const DofMatrix& dofs) const noexcept {
  return n_t != 0 && dofs.rows() >= static_cast<Eigen::Index>(n_t) &&
         dofs.cols() > static_cast<Eigen::Index>(degree);
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
  return all_basis_vector(*this, t, 0);
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
  return all_basis_vector(*this, t, 1);
}

std::uint32_t LegendreBasis::basis_derivatives_at(double t, std::uint64_t order,
                                                  std::span<double> values) const {
  const IntervalPosition at = locate_interval(t);
  if (kernel::vanishes(order, degree)) {
    std::fill(values.begin(), values.end(), 0.0);
  } else {
    auto store = [&](std::uint32_t k, double v) { values[k] = v; };
    if (order == 0) {
      kernel::for_each_basis_derivative<1, 0>(at.x, degree, h(), 0, nullptr, store);
    } else if (order == 1) {
      kernel::for_each_basis_derivative<1, 1>(at.x, degree, h(), 1, nullptr, store);
    } else {
      const auto scratch = std::make_unique<double[]>(kernel::scratch_size(order));
      kernel::for_each_basis_derivative<1, kernel::runtime_order>(
          at.x, degree, h(), static_cast<std::uint32_t>(order), scratch.get(), store);
    }
  }
  return at.interval;
}

}  // namespace quorvel
