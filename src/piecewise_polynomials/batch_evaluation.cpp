#include "batch_evaluation.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "batch_kernel.hpp"
#include "support/failure.hpp"
#include "support/messages.hpp"

namespace quorvel {

namespace {

// Runs body(begin, end) over [0, n): on the calling thread for small batches,
// on the pool's pieces from parallel_threshold on.
template <class Body>
void run_batch(std::uint64_t n, bool may_split, LazyThreadPool& pool, const Body& body) {
  run_pieces(pool, may_split && n >= parallel_threshold, static_cast<std::size_t>(n), body);
}

// The interval-by-interval DOF copy when the batch is large enough to repay it.
std::vector<double> rows_if_worthwhile(const kernel::Expansion& expansion, std::uint32_t n_t,
                                       std::uint64_t times) {
  if (times < n_t || !reads_interval_rows(expansion.degree)) {
    return {};
  }
  return interval_rows(expansion, n_t);
}

// The placement of the times from index `first` of a run on.
Placement shifted(const Placement& where, std::uint64_t first) {
  return {where.rule, where.intervals != nullptr ? where.intervals + first : nullptr};
}

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

double read_double(const std::byte* from) {
  double value;
  std::memcpy(&value, from, sizeof value);
  return value;
}

// n times read with one stride, results written with another. Aligned
// contiguous runs go straight to the kernel; anything else passes through a
// small buffer, element by element (which also serves unaligned memory).
void evaluate_strided_run(const kernel::Expansion& expansion, std::uint64_t order,
                          const Placement& where, const std::byte* in, std::int64_t in_stride,
                          std::byte* out, std::int64_t out_stride, std::size_t n) {
  constexpr auto unit = static_cast<std::int64_t>(sizeof(double));
  if (in_stride == unit && out_stride == unit && aligned(in) && aligned(out)) {
    evaluate_contiguous(expansion, order, reinterpret_cast<const double*>(in),
                        reinterpret_cast<double*>(out), n, where);
    return;
  }
  constexpr std::size_t block = 256;
  double times[block];
  double results[block];
  for (std::size_t done = 0; done < n; done += block) {
    const std::size_t m = std::min(block, n - done);
    for (std::size_t j = 0; j < m; ++j) {
      times[j] = read_double(in + static_cast<std::int64_t>(done + j) * in_stride);
    }
    evaluate_contiguous(expansion, order, times, results, m, shifted(where, done));
    for (std::size_t j = 0; j < m; ++j) {
      std::memcpy(out + static_cast<std::int64_t>(done + j) * out_stride, &results[j],
                  sizeof(double));
    }
  }
}

// The same run for DOFs that do not fit the basis: each time alone, checked.
void evaluate_checked_run(const LegendreBasis& basis, const DofMatrix& dofs, std::uint64_t order,
                          const std::byte* in, std::int64_t in_stride, std::byte* out,
                          std::int64_t out_stride, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    const double t = read_double(in + static_cast<std::int64_t>(j) * in_stride);
    const double value = order == 0 ? basis.evaluate(dofs, t) : basis.evaluate_derivative(dofs, t);
    std::memcpy(out + static_cast<std::int64_t>(j) * out_stride, &value, sizeof(double));
  }
}

// n times read with one stride, tabulated into contiguous rows.
void tabulate_strided_run(const kernel::Expansion& mesh, std::uint64_t order,
                          const Placement& where, const std::byte* in, std::int64_t in_stride,
                          std::int64_t* intervals, double* values, std::size_t n) {
  const std::size_t width = static_cast<std::size_t>(mesh.degree) + 1;
  if (in_stride == static_cast<std::int64_t>(sizeof(double)) && aligned(in)) {
    tabulate_contiguous(mesh, order, reinterpret_cast<const double*>(in), intervals, values, n,
                        where);
    return;
  }
  constexpr std::size_t block = 256;
  double times[block];
  for (std::size_t done = 0; done < n; done += block) {
    const std::size_t m = std::min(block, n - done);
    for (std::size_t j = 0; j < m; ++j) {
      times[j] = read_double(in + static_cast<std::int64_t>(done + j) * in_stride);
    }
    tabulate_contiguous(mesh, order, times, intervals + done, values + done * width, m,
                        shifted(where, done));
  }
}

}  // namespace

namespace {

// The times and results of one batch, walked together: the times are read from a copy
// when the results would overwrite times not yet read.
struct Walk {
  StridedDoubles<const std::byte> times;
  std::vector<double> copy;
  std::vector<std::int64_t> copy_strides;
  PairedLayout layout;
  std::int64_t in_stride;
  std::int64_t out_stride;
  bool may_split;  // several indices writing one element must not do so from several threads

  Walk(StridedDoubles<const std::byte> t, std::byte* results,
       std::span<const std::int64_t> results_strides)
      : times(t) {
    const StridedDoubles<std::byte> written{results, times.shape, results_strides};
    if (may_overlap(times, written) && !same_elements(times, written)) {
      copy = contiguous_copy(times);
      copy_strides = c_order_strides(times.shape, sizeof(double));
      times = {reinterpret_cast<const std::byte*>(copy.data()), times.shape, copy_strides};
    }
    layout = paired_layout(times.shape, times.strides, results_strides);
    in_stride = layout.first_strides.back();
    out_stride = layout.second_strides.back();
    may_split = !has_repeated_elements(written);
  }
};

}  // namespace

void evaluate_expansion_strided(const kernel::Expansion& shared, std::uint32_t n_t,
                                std::uint64_t order, StridedDoubles<const std::byte> times,
                                std::byte* results, std::span<const std::int64_t> results_strides,
                                LazyThreadPool& pool, const Placement& where) {
  const std::uint64_t count = element_count(times.shape);
  if (count == 0) {
    return;
  }
  const Walk walk(times, results, results_strides);
  kernel::Expansion expansion = shared;
  const std::vector<double> rows = rows_if_worthwhile(expansion, n_t, count);
  expansion.rows = rows.empty() ? nullptr : rows.data();
  run_batch(count, walk.may_split, pool, [&](std::uint64_t begin, std::uint64_t end) {
    for_each_run(walk.layout, begin, end,
                 [&](std::uint64_t first, std::int64_t in, std::int64_t out, std::size_t length) {
                   evaluate_strided_run(expansion, order, shifted(where, first),
                                        walk.times.data + in, walk.in_stride, results + out,
                                        walk.out_stride, length);
                 });
  });
}

void evaluate_strided(const LegendreBasis& basis, const DofMatrix& dofs, std::uint64_t order,
                      StridedDoubles<const std::byte> times, std::byte* results,
                      std::span<const std::int64_t> results_strides, LazyThreadPool& pool,
                      const Placement& where) {
  const std::uint64_t count = element_count(times.shape);
  if (count == 0) {
    return;
  }
  if (basis.fits(dofs)) {
    evaluate_expansion_strided(basis.expansion(dofs), basis.n_t, order, times, results,
                               results_strides, pool, where);
    return;
  }
  if (order >= 2) {
    // Only the one-time orders evaluate DOFs that do not fit; the last interval is
    // the one such DOFs cannot hold, so this fails.
    basis.check_dofs(dofs, basis.n_t - 1);
  }
  const Walk walk(times, results, results_strides);
  run_batch(count, walk.may_split, pool, [&](std::uint64_t begin, std::uint64_t end) {
    for_each_run(walk.layout, begin, end,
                 [&](std::uint64_t, std::int64_t in, std::int64_t out, std::size_t length) {
                   evaluate_checked_run(basis, dofs, order, walk.times.data + in, walk.in_stride,
                                        results + out, walk.out_stride, length);
                 });
  });
}

namespace {

BulkArray<double> evaluate_vector(const LegendreBasis& basis, const DofMatrix& dofs,
                                  std::uint64_t order, std::span<const double> times,
                                  LazyThreadPool& pool) {
  // The whole result is reserved before any element is computed.
  BulkArray<double> result(checked_storage_count(times.size(), sizeof(double)));
  const std::int64_t length = static_cast<std::int64_t>(times.size());
  const std::int64_t stride = sizeof(double);
  evaluate_strided(basis, dofs, order,
                   {reinterpret_cast<const std::byte*>(times.data()), {&length, 1}, {&stride, 1}},
                   reinterpret_cast<std::byte*>(result.data()), {&stride, 1}, pool);
  return result;
}

}  // namespace

BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_vector(basis, dofs, 0, times, pool);
}

BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                           std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_vector(basis, dofs, 1, times, pool);
}

void tabulate_strided(const LegendreBasis& basis, std::uint64_t order,
                      StridedDoubles<const std::byte> times, std::int64_t* intervals,
                      double* values, LazyThreadPool& pool, const Placement& where) {
  const std::uint64_t count = element_count(times.shape);
  if (count == 0) {
    return;
  }
  if (basis.n_t == 0) {
    fail(messages::slicing_out_of_bounds);
  }
  const std::size_t width = static_cast<std::size_t>(basis.degree) + 1;
  const kernel::Expansion mesh{basis.h(), static_cast<double>(basis.n_t) - 1.0, basis.degree,
                               nullptr, 0};
  const PairedLayout layout = paired_layout(times.shape, times.strides, times.strides);
  run_batch(count, true, pool, [&](std::uint64_t begin, std::uint64_t end) {
    for_each_run(layout, begin, end,
                 [&](std::uint64_t first, std::int64_t in, std::int64_t, std::size_t length) {
                   tabulate_strided_run(mesh, order, shifted(where, first), times.data + in,
                                        layout.first_strides.back(), intervals + first,
                                        values + first * width, length);
                 });
  });
}

}  // namespace quorvel
