#pragma once
// Evaluation of a Legendre expansion at many times.
//
// Small batches run as a plain loop on the calling thread; from
// parallel_threshold times on, the batch is cut into contiguous pieces that
// run on the process-wide worker pool while the caller blocks. Either way
// result[i] is exactly the single evaluation at times[i]: the pieces only
// decide which thread computes which slot. Callers from Python release the
// interpreter lock around these calls; nothing here touches Python.

#include <cstddef>
#include <span>
#include <vector>

#include "legendre_basis.hpp"
#include "support/thread_pool.hpp"

namespace quorvel {

/// @brief Batches of at least this many times run on the worker pool.
inline constexpr std::size_t parallel_threshold = 2048;

/// @brief basis.evaluate(dofs, t) for every t of @p times, in order.
///
/// Fails like evaluate() on a DofMatrix too small for the basis; on the pool,
/// the other pieces still run to their end before one failure is re-thrown.
[[nodiscard]] std::vector<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                                std::span<const double> times);

/// @brief basis.evaluate_derivative(dofs, t) for every t of @p times, in order.
[[nodiscard]] std::vector<double> evaluate_derivative_many(const LegendreBasis& basis,
                                                           const DofMatrix& dofs,
                                                           std::span<const double> times);

/// @brief evaluate_many on the given pool slot instead of the process-wide
/// one (tests and benchmarks); the slot is built only by a large batch.
[[nodiscard]] std::vector<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                                std::span<const double> times,
                                                LazyThreadPool& pool);

/// @brief evaluate_derivative_many on the given pool slot.
[[nodiscard]] std::vector<double> evaluate_derivative_many(const LegendreBasis& basis,
                                                           const DofMatrix& dofs,
                                                           std::span<const double> times,
                                                           LazyThreadPool& pool);

}  // namespace quorvel
