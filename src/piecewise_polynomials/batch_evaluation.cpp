#include "batch_evaluation.hpp"

#include "legendre_kernel.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

using SingleEvaluation = double (LegendreBasis::*)(const DofMatrix&, double) const;

// A range of the batch: result[i] for i in [begin, end), in increasing order.
using RangeFunction = void (*)(const LegendreBasis& basis, const DofMatrix& dofs,
                               const double* times, double* result, std::size_t begin,
                               std::size_t end);

// The checked loop: each element may fail, exactly as a single evaluation does.
template <bool derivative>
void evaluate_range_checked(const LegendreBasis& basis, const DofMatrix& dofs, const double* times,
                            double* result, std::size_t begin, std::size_t end) {
  constexpr SingleEvaluation evaluate_one =
      derivative ? &LegendreBasis::evaluate_derivative : &LegendreBasis::evaluate;
  for (std::size_t i = begin; i < end; ++i) {
    result[i] = (basis.*evaluate_one)(dofs, times[i]);
  }
}

// The loop for a DOF matrix that fits the basis: no element can fail, so the
// kernel is inlined with the degree fixed at compile time where it is small.
// Same operations in the same order as the single evaluation, hence the same bits.
template <bool derivative, int Degree>
void evaluate_range_fitted(const LegendreBasis& basis, const DofMatrix& dofs, const double* times,
                           double* result, std::size_t begin, std::size_t end) {
  const double h = basis.T / static_cast<double>(basis.n_t);
  const double* values = dofs.data();
  const auto stride = static_cast<std::size_t>(dofs.rows());
  for (std::size_t i = begin; i < end; ++i) {
    result[i] = kernel::evaluate_fitted<derivative, Degree>(h, basis.n_t, basis.degree, values,
                                                            stride, times[i]);
  }
}

template <bool derivative>
RangeFunction select_range_function(const LegendreBasis& basis, const DofMatrix& dofs) {
  if (!basis.fits(dofs)) {
    return &evaluate_range_checked<derivative>;
  }
  switch (basis.degree) {
    case 0: return &evaluate_range_fitted<derivative, 0>;
    case 1: return &evaluate_range_fitted<derivative, 1>;
    case 2: return &evaluate_range_fitted<derivative, 2>;
    case 3: return &evaluate_range_fitted<derivative, 3>;
    case 4: return &evaluate_range_fitted<derivative, 4>;
    case 5: return &evaluate_range_fitted<derivative, 5>;
    case 6: return &evaluate_range_fitted<derivative, 6>;
    default: return &evaluate_range_fitted<derivative, kernel::runtime_degree>;
  }
}

// Each element costs the inlined kernel and one store: no allocation, lock or
// atomic operation per element.
template <bool derivative>
std::vector<double> evaluate_batch(const LegendreBasis& basis, const DofMatrix& dofs,
                                   std::span<const double> times, LazyThreadPool& pool) {
  // The whole result is reserved before any element is computed.
  std::vector<double> result(checked_storage_count(times.size(), sizeof(double)));
  const std::size_t n = result.size();
  const RangeFunction range = select_range_function<derivative>(basis, dofs);
  if (n < parallel_threshold) {
    range(basis, dofs, times.data(), result.data(), 0, n);
    return result;
  }
  double* const out = result.data();
  pool.get().for_each_piece(
      n, [&basis, &dofs, in = times.data(), out, range](std::size_t begin, std::size_t end) {
        range(basis, dofs, in, out, begin, end);
      });
  return result;
}

}  // namespace

std::vector<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                  std::span<const double> times) {
  return evaluate_batch<false>(basis, dofs, times, global_thread_pool());
}

std::vector<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                             std::span<const double> times) {
  return evaluate_batch<true>(basis, dofs, times, global_thread_pool());
}

std::vector<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                  std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_batch<false>(basis, dofs, times, pool);
}

std::vector<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                             std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_batch<true>(basis, dofs, times, pool);
}

}  // namespace quorvel
