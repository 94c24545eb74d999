#include "batch_evaluation.hpp"

#include <algorithm>
#include <cstring>

#include "batch_kernel.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

// Runs body(begin, end) over [0, n): on the calling thread for small batches,
// on the pool's pieces from parallel_threshold on.
template <class Body>
void run_batch(std::size_t n, bool may_split, LazyThreadPool& pool, const Body& body) {
  if (n < parallel_threshold || !may_split) {
    body(std::size_t{0}, n);
    return;
  }
  pool.get().for_each_piece(n, body);
}

// The interval-by-interval DOF copy when the batch is large enough to repay it.
std::vector<double> rows_if_worthwhile(const kernel::Expansion& expansion, std::uint32_t n_t,
                                       std::uint64_t times) {
  if (times < n_t || !reads_interval_rows(expansion.degree)) {
    return {};
  }
  return interval_rows(expansion, n_t);
}

// The contiguous batch of the original methods: the kernel for DOFs that fit
// the basis; otherwise each time alone, failing exactly as a single evaluation.
template <int Order>
BulkArray<double> evaluate_batch(const LegendreBasis& basis, const DofMatrix& dofs,
                                 std::span<const double> times, LazyThreadPool& pool) {
  // The whole result is reserved before any element is computed.
  BulkArray<double> result(checked_storage_count(times.size(), sizeof(double)));
  const double* in = times.data();
  double* out = result.data();
  if (basis.fits(dofs)) {
    kernel::Expansion expansion = basis.expansion(dofs);
    const std::vector<double> rows = rows_if_worthwhile(expansion, basis.n_t, result.size());
    expansion.rows = rows.empty() ? nullptr : rows.data();
    run_batch(result.size(), true, pool, [&](std::size_t begin, std::size_t end) {
      evaluate_contiguous(expansion, Order, in + begin, out + begin, end - begin);
    });
  } else {
    run_batch(result.size(), true, pool, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        out[i] = Order == 0 ? basis.evaluate(dofs, in[i]) : basis.evaluate_derivative(dofs, in[i]);
      }
    });
  }
  return result;
}

// ---------------------------------------------------------------- strided arrays

// The two arrays' common index space with axes of extent 1 dropped and
// neighbouring axes merged where both arrays step through them evenly;
// innermost axis last. No axes at all is a single element.
struct Layout {
  std::vector<std::int64_t> extents;
  std::vector<std::int64_t> in_strides;
  std::vector<std::int64_t> out_strides;
};

Layout merged_layout(std::span<const std::int64_t> shape, std::span<const std::int64_t> in,
                     std::span<const std::int64_t> out) {
  Layout layout;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    const std::int64_t extent = shape[axis];
    if (extent == 1) {
      continue;
    }
    if (!layout.extents.empty() && layout.in_strides.back() == extent * in[axis] &&
        layout.out_strides.back() == extent * out[axis]) {
      layout.extents.back() *= extent;
      layout.in_strides.back() = in[axis];
      layout.out_strides.back() = out[axis];
      continue;
    }
    layout.extents.push_back(extent);
    layout.in_strides.push_back(in[axis]);
    layout.out_strides.push_back(out[axis]);
  }
  if (layout.extents.empty()) {
    layout.extents = {1};
    layout.in_strides = {static_cast<std::int64_t>(sizeof(double))};
    layout.out_strides = {static_cast<std::int64_t>(sizeof(double))};
  }
  return layout;
}

std::uint64_t element_count(std::span<const std::int64_t> shape) {
  std::uint64_t count = 1;
  for (const std::int64_t extent : shape) {
    if (extent < 0 || __builtin_mul_overflow(count, static_cast<std::uint64_t>(extent), &count)) {
      fail("array shape out of range");
    }
  }
  return count;
}

// The bytes an array may touch: [first, last).
struct ByteRange {
  std::uintptr_t first;
  std::uintptr_t last;
};

template <class Byte>
ByteRange byte_range(const StridedDoubles<Byte>& array) {
  auto first = reinterpret_cast<std::uintptr_t>(array.data);
  auto last = first + sizeof(double);
  for (std::size_t axis = 0; axis < array.shape.size(); ++axis) {
    const std::int64_t span = (array.shape[axis] - 1) * array.strides[axis];
    if (span < 0) {
      first -= static_cast<std::uintptr_t>(-span);
    } else {
      last += static_cast<std::uintptr_t>(span);
    }
  }
  return {first, last};
}

// Whether two of the array's indices share an element (an axis with stride 0).
bool has_repeated_elements(const StridedDoubles<std::byte>& array) {
  for (std::size_t axis = 0; axis < array.shape.size(); ++axis) {
    if (array.shape[axis] > 1 && array.strides[axis] == 0) {
      return true;
    }
  }
  return false;
}

bool same_layout(const StridedDoubles<const std::byte>& a, const StridedDoubles<std::byte>& b) {
  if (a.data != b.data) {
    return false;
  }
  for (std::size_t axis = 0; axis < a.shape.size(); ++axis) {
    if (a.shape[axis] > 1 && a.strides[axis] != b.strides[axis]) {
      return false;
    }
  }
  return true;
}

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

// n times read with one stride, results written with another. Aligned
// contiguous runs go straight to the kernel; anything else passes through a
// small buffer, element by element (which also serves unaligned memory).
void evaluate_run(const kernel::Expansion& expansion, std::uint64_t order, const std::byte* in,
                  std::int64_t in_stride, std::byte* out, std::int64_t out_stride, std::size_t n) {
  constexpr auto unit = static_cast<std::int64_t>(sizeof(double));
  if (in_stride == unit && out_stride == unit && aligned(in) && aligned(out)) {
    evaluate_contiguous(expansion, order, reinterpret_cast<const double*>(in),
                        reinterpret_cast<double*>(out), n);
    return;
  }
  constexpr std::size_t block = 256;
  double times[block];
  double results[block];
  for (std::size_t done = 0; done < n; done += block) {
    const std::size_t m = std::min(block, n - done);
    for (std::size_t j = 0; j < m; ++j) {
      std::memcpy(&times[j], in + static_cast<std::int64_t>(done + j) * in_stride, sizeof(double));
    }
    evaluate_contiguous(expansion, order, times, results, m);
    for (std::size_t j = 0; j < m; ++j) {
      std::memcpy(out + static_cast<std::int64_t>(done + j) * out_stride, &results[j],
                  sizeof(double));
    }
  }
}

// Calls run(first, in_offset, out_offset, length) for the indices [begin, end) of
// the layout's index space, in runs along its innermost axis: `first` is the
// index (in C order) of the run's first element, the offsets are in bytes.
template <class Run>
void for_each_run(const Layout& layout, std::uint64_t begin, std::uint64_t end, Run&& run) {
  const std::size_t axes = layout.extents.size();
  std::vector<std::int64_t> index(axes);
  std::uint64_t rest = begin;
  for (std::size_t axis = axes; axis-- > 0;) {
    const auto extent = static_cast<std::uint64_t>(layout.extents[axis]);
    index[axis] = static_cast<std::int64_t>(rest % extent);
    rest /= extent;
  }
  const std::size_t inner = axes - 1;
  for (std::uint64_t at = begin; at < end;) {
    std::int64_t in_offset = 0;
    std::int64_t out_offset = 0;
    for (std::size_t axis = 0; axis < axes; ++axis) {
      in_offset += index[axis] * layout.in_strides[axis];
      out_offset += index[axis] * layout.out_strides[axis];
    }
    const auto length = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(layout.extents[inner] - index[inner]), end - at);
    run(at, in_offset, out_offset, static_cast<std::size_t>(length));
    at += length;
    index[inner] += static_cast<std::int64_t>(length);
    for (std::size_t axis = inner; axis > 0 && index[axis] == layout.extents[axis]; --axis) {
      index[axis] = 0;
      ++index[axis - 1];
    }
  }
}

// n times read with one stride, tabulated into contiguous rows from index `first`.
void tabulate_run(const kernel::Expansion& mesh, std::uint64_t order, const std::byte* in,
                  std::int64_t in_stride, std::int64_t* intervals, double* values, std::size_t n) {
  const std::size_t width = static_cast<std::size_t>(mesh.degree) + 1;
  if (in_stride == static_cast<std::int64_t>(sizeof(double)) && aligned(in)) {
    tabulate_contiguous(mesh, order, reinterpret_cast<const double*>(in), intervals, values, n);
    return;
  }
  constexpr std::size_t block = 256;
  double times[block];
  for (std::size_t done = 0; done < n; done += block) {
    const std::size_t m = std::min(block, n - done);
    for (std::size_t j = 0; j < m; ++j) {
      std::memcpy(&times[j], in + static_cast<std::int64_t>(done + j) * in_stride, sizeof(double));
    }
    tabulate_contiguous(mesh, order, times, intervals + done, values + done * width, m);
  }
}

}  // namespace

BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                std::span<const double> times) {
  return evaluate_batch<0>(basis, dofs, times, global_thread_pool());
}

BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                           std::span<const double> times) {
  return evaluate_batch<1>(basis, dofs, times, global_thread_pool());
}

BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_batch<0>(basis, dofs, times, pool);
}

BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                           std::span<const double> times, LazyThreadPool& pool) {
  return evaluate_batch<1>(basis, dofs, times, pool);
}

void evaluate_strided(const LegendreBasis& basis, const DofMatrix& dofs, std::uint64_t order,
                      StridedDoubles<const std::byte> times, StridedDoubles<std::byte> results,
                      LazyThreadPool& pool) {
  if (times.shape.size() != results.shape.size() || times.strides.size() != times.shape.size() ||
      results.strides.size() != results.shape.size() ||
      !std::equal(times.shape.begin(), times.shape.end(), results.shape.begin())) {
    fail("times and results differ in shape");
  }
  const std::uint64_t count = element_count(times.shape);
  if (count == 0) {
    return;
  }
  if (!basis.fits(dofs)) {
    fail("the DOFs do not fit the basis");
  }

  // Results that would overwrite times not yet read: read the times from a copy.
  std::vector<double> copy;
  std::vector<std::int64_t> copy_strides;
  const ByteRange read = byte_range(times);
  const ByteRange written = byte_range(results);
  if (read.first < written.last && written.first < read.last && !same_layout(times, results)) {
    copy.resize(checked_storage_count(count, sizeof(double)));
    const Layout source = merged_layout(times.shape, times.strides, times.strides);
    for_each_run(
        source, 0, count,
        [&](std::uint64_t first, std::int64_t in_offset, std::int64_t, std::size_t length) {
          for (std::size_t j = 0; j < length; ++j) {
            std::memcpy(
                &copy[first + j],
                times.data + in_offset + static_cast<std::int64_t>(j) * source.in_strides.back(),
                sizeof(double));
          }
        });
    copy_strides.resize(times.shape.size());
    std::int64_t stride = sizeof(double);
    for (std::size_t axis = times.shape.size(); axis-- > 0;) {
      copy_strides[axis] = stride;
      stride *= times.shape[axis];
    }
    times = {reinterpret_cast<const std::byte*>(copy.data()), times.shape, copy_strides};
  }

  const Layout layout = merged_layout(times.shape, times.strides, results.strides);
  kernel::Expansion expansion = basis.expansion(dofs);
  const std::vector<double> rows = rows_if_worthwhile(expansion, basis.n_t, count);
  expansion.rows = rows.empty() ? nullptr : rows.data();
  // Several indices writing one element must not do so from several threads.
  const bool may_split = !has_repeated_elements(results);
  run_batch(static_cast<std::size_t>(count), may_split, pool,
            [&](std::size_t begin, std::size_t end) {
              for_each_run(layout, begin, end,
                           [&](std::uint64_t, std::int64_t in_offset, std::int64_t out_offset,
                               std::size_t length) {
                             evaluate_run(expansion, order, times.data + in_offset,
                                          layout.in_strides.back(), results.data + out_offset,
                                          layout.out_strides.back(), length);
                           });
            });
}

void tabulate_strided(const LegendreBasis& basis, std::uint64_t order,
                      StridedDoubles<const std::byte> times, std::int64_t* intervals,
                      double* values, LazyThreadPool& pool) {
  const std::uint64_t count = element_count(times.shape);
  if (count == 0) {
    return;
  }
  if (basis.n_t == 0) {
    fail("Matrix slicing out of bounds.");
  }
  const std::size_t width = static_cast<std::size_t>(basis.degree) + 1;
  const kernel::Expansion mesh{basis.h(), static_cast<double>(basis.n_t) - 1.0, basis.degree,
                               nullptr, 0};
  const Layout layout = merged_layout(times.shape, times.strides, times.strides);
  run_batch(static_cast<std::size_t>(count), true, pool, [&](std::size_t begin, std::size_t end) {
    for_each_run(
        layout, begin, end,
        [&](std::uint64_t first, std::int64_t in_offset, std::int64_t, std::size_t length) {
          tabulate_run(mesh, order, times.data + in_offset, layout.in_strides.back(),
                       intervals + first, values + first * width, length);
        });
  });
}

}  // namespace quorvel
