#include "batch_evaluation.hpp"

#include "../sparse_matrix_tools/failure.hpp"

namespace quorvel {

namespace {

using SingleEvaluation = double (LegendreBasis::*)(const DofMatrix&, double) const;

// The element loop is instantiated per operation, so each element costs one
// direct call and one store: no allocation, lock or atomic operation.
template <SingleEvaluation evaluate_one>
void evaluate_range(const LegendreBasis& basis, const DofMatrix& dofs, const double* times,
                    double* result, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    result[i] = (basis.*evaluate_one)(dofs, times[i]);
  }
}

template <SingleEvaluation evaluate_one>
std::vector<double> evaluate_batch(const LegendreBasis& basis, const DofMatrix& dofs,
                                   std::span<const double> times, LazyThreadPool& pool) {
  // The whole result is reserved before any element is computed.
  std::vector<double> result(checked_storage_count(times.size(), sizeof(double)));
  const std::size_t n = result.size();
  if (n < parallel_threshold) {
    evaluate_range<evaluate_one>(basis, dofs, times.data(), result.data(), 0, n);
    return result;
  }
  double* const out = result.data();
  pool.get().for_each_piece(n, [&basis, &dofs, in = times.data(), out](std::size_t begin,
                                                                       std::size_t end) {
    evaluate_range<evaluate_one>(basis, dofs, in, out, begin, end);
  });
  return result;
}

}  // namespace

std::vector<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                  std::span<const double> times) {
  return evaluate_batch<&LegendreBasis::evaluate>(basis, dofs, times, global_thread_pool());
}

std::vector<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                             std::span<const double> times) {
  return evaluate_batch<&LegendreBasis::evaluate_derivative>(basis, dofs, times,
                                                             global_thread_pool());
}

std::vector<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                  std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_batch<&LegendreBasis::evaluate>(basis, dofs, times, pool);
}

std::vector<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                             std::span<const double> times,
                                             LazyThreadPool& pool) {
  return evaluate_batch<&LegendreBasis::evaluate_derivative>(basis, dofs, times, pool);
}

}  // namespace quorvel
