#pragma once
// Evaluation of a Legendre expansion at many times.
//
// Small batches run on the calling thread; from parallel_threshold times on,
// the batch is cut into contiguous pieces that run on the process-wide worker
// pool while the caller blocks. Either way result i is exactly the one-time
// evaluation at time i: the pieces only decide which thread computes which
// slot, and the vectorised kernel gives the one-time bits on every
// instruction set. Callers from Python release the interpreter lock around
// these calls; nothing here touches Python.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "legendre_basis.hpp"
#include "support/bulk_array.hpp"
#include "support/thread_pool.hpp"

namespace quorvel {

/// @brief Batches of at least this many times run on the worker pool.
inline constexpr std::size_t parallel_threshold = 2048;

/// @brief basis.evaluate(dofs, t) for every t of @p times, in order.
///
/// Fails like evaluate() on a DofMatrix too small for the basis; on the pool,
/// the other pieces still run to their end before one failure is re-thrown.
/// The result is first written by the threads that compute it, not zeroed before.
[[nodiscard]] BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                              std::span<const double> times);

/// @brief basis.evaluate_derivative(dofs, t) for every t of @p times, in order.
[[nodiscard]] BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis,
                                                         const DofMatrix& dofs,
                                                         std::span<const double> times);

/// @brief evaluate_many on the given pool slot instead of the process-wide
/// one (tests and benchmarks); the slot is built only by a large batch.
[[nodiscard]] BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                              std::span<const double> times, LazyThreadPool& pool);

/// @brief evaluate_derivative_many on the given pool slot.
[[nodiscard]] BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis,
                                                         const DofMatrix& dofs,
                                                         std::span<const double> times,
                                                         LazyThreadPool& pool);

/// @brief An n-dimensional array of doubles in place: its shape, and the byte
/// distance between neighbours along each axis (any sign, any alignment).
template <class Byte>
struct StridedDoubles {
  Byte* data;
  std::span<const std::int64_t> shape;
  std::span<const std::int64_t> strides;
};

/// @brief results[i] = the order-th time derivative at times[i], for every index i
/// of the common shape, as evaluate_contiguous gives it.
///
/// The DOFs must fit the basis (basis.fits(dofs)) unless there are no times. The two arrays may be
/// the same memory with the same layout (evaluation in place); any other overlap is resolved by
/// reading the times from a copy. Large batches run on @p pool.
void evaluate_strided(const LegendreBasis& basis, const DofMatrix& dofs, std::uint64_t order,
                      StridedDoubles<const std::byte> times, StridedDoubles<std::byte> results,
                      LazyThreadPool& pool);

/// @brief For every index i of times (in C order of its shape): its interval in
/// intervals[i] and the order-th time derivatives of its basis functions
/// P_0 ... P_degree in values[i (degree + 1) + k], as tabulate_contiguous gives
/// them. The basis needs an interval unless there are no times; large batches
/// run on @p pool.
void tabulate_strided(const LegendreBasis& basis, std::uint64_t order,
                      StridedDoubles<const std::byte> times, std::int64_t* intervals,
                      double* values, LazyThreadPool& pool);

}  // namespace quorvel
