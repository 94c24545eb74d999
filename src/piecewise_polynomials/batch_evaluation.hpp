#pragma once
// Evaluation of a Legendre expansion at many times.
//
// Times are read in place, at any strides (support/strided_arrays.hpp), and
// results written in place. Small batches run on the calling thread; from
// parallel_threshold times on, the batch is cut into contiguous pieces that
// run on the worker pool while the caller blocks. Either way result i is
// exactly the one-time evaluation at time i: the pieces only decide which
// thread computes which slot, and the vectorised kernel gives the one-time
// bits on every instruction set. Callers from Python release the interpreter
// lock around these calls; nothing here touches Python.

#include <cstddef>
#include <cstdint>
#include <span>

#include "batch_kernel.hpp"
#include "legendre_basis.hpp"
#include "support/bulk_array.hpp"
#include "support/strided_arrays.hpp"
#include "support/thread_pool.hpp"

namespace quorvel {

/// @brief Batches of at least this many times run on the worker pool.
inline constexpr std::size_t parallel_threshold = 2048;

/// @brief For every index i of the times' shape: the order-th time derivative of the
/// expansion at times[i], placed by @p where, written to the element of @p results at
/// the byte offset i . results_strides. Given intervals lie in C order of the times'
/// shape, without gaps.
///
/// Results may be the times themselves (same elements in the same order); any other
/// overlap is resolved by reading the times from a copy. DOFs that do not fit the
/// basis are evaluated time by time as evaluate() and evaluate_derivative() do, by
/// the quotient rule, and fail as they do (orders 0 and 1 only). Large batches run on @p pool; on
/// the pool, a failing piece does not stop the others, which run to their end before one failure is
/// re-thrown.
void evaluate_strided(const LegendreBasis& basis, const DofMatrix& dofs, std::uint64_t order,
                      StridedDoubles<const std::byte> times, std::byte* results,
                      std::span<const std::int64_t> results_strides, LazyThreadPool& pool,
                      const Placement& where = {});

/// @brief evaluate_strided for an expansion whose DOFs fit its n_t intervals.
void evaluate_expansion_strided(const kernel::Expansion& expansion, std::uint32_t n_t,
                                std::uint64_t order, StridedDoubles<const std::byte> times,
                                std::byte* results, std::span<const std::int64_t> results_strides,
                                LazyThreadPool& pool, const Placement& where);

/// @brief basis.evaluate(dofs, t) for every t of @p times, in order: evaluate_strided on
/// a one-dimensional view, into a new array that the threads which compute it touch
/// first (it is not zeroed before).
[[nodiscard]] BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                              std::span<const double> times, LazyThreadPool& pool);

/// @brief basis.evaluate_derivative(dofs, t) for every t of @p times, in order.
[[nodiscard]] BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis,
                                                         const DofMatrix& dofs,
                                                         std::span<const double> times,
                                                         LazyThreadPool& pool);

/// @brief For every index i of times (in C order of its shape): its interval (placed by
/// @p where) in intervals[i] and the order-th time derivatives of its basis functions
/// P_0 ... P_degree in values[i (degree + 1) + k], as tabulate_contiguous gives
/// them. The basis needs an interval unless there are no times; large batches
/// run on @p pool.
void tabulate_strided(const LegendreBasis& basis, std::uint64_t order,
                      StridedDoubles<const std::byte> times, std::int64_t* intervals,
                      double* values, LazyThreadPool& pool, const Placement& where = {});

/// @brief For every index i of the times' shape and every component j: the order-th
/// time derivative of component j at times[i], placed by @p where, written at byte
/// offset i . time_strides + j . component_strides of @p results (j in C order of
/// component_shape): bit for bit what evaluate_strided gives for component j alone.
/// Results that overlap the times are computed from a copy of them. Large batches run
/// on @p pool.
void evaluate_components_strided(const ComponentExpansion& expansion, std::uint64_t order,
                                 StridedDoubles<const std::byte> times, std::byte* results,
                                 std::span<const std::int64_t> time_strides,
                                 std::span<const std::int64_t> component_shape,
                                 std::span<const std::int64_t> component_strides,
                                 LazyThreadPool& pool, const Placement& where);

}  // namespace quorvel
