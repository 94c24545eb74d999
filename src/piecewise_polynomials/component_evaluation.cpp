// Every component of a vector-valued expansion at times read in place: runs of
// times gathered a block at a time, evaluated by the components kernel, and
// written straight into the results when their components lie side by side,
// else through a block of scratch.

#include <algorithm>
#include <cstring>
#include <vector>

#include "batch_evaluation.hpp"

namespace quorvel {

namespace {

constexpr auto unit = static_cast<std::int64_t>(sizeof(double));

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

// The byte offset of each component from its time's first, in C order of the components.
std::vector<std::int64_t> component_offsets(std::span<const std::int64_t> shape,
                                            std::span<const std::int64_t> strides) {
  std::vector<std::int64_t> offsets(static_cast<std::size_t>(element_count(shape)), 0);
  std::size_t filled = 1;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    // Every offset so far, repeated for each index along this axis.
    const auto extent = static_cast<std::size_t>(shape[axis]);
    for (std::size_t k = filled; k-- > 0;) {
      for (std::size_t r = extent; r-- > 0;) {
        offsets[k * extent + r] = offsets[k] + static_cast<std::int64_t>(r) * strides[axis];
      }
    }
    filled *= extent;
  }
  return offsets;
}

}  // namespace

void evaluate_components_strided(const ComponentExpansion& expansion, std::uint64_t order,
                                 StridedDoubles<const std::byte> times, std::byte* results,
                                 std::span<const std::int64_t> time_strides,
                                 std::span<const std::int64_t> component_shape,
                                 std::span<const std::int64_t> component_strides,
                                 LazyThreadPool& pool, const Placement& where) {
  const std::uint64_t count = element_count(times.shape);
  const std::uint64_t m = expansion.components;
  if (count == 0 || m == 0) {
    return;
  }
  std::vector<std::int64_t> shape(times.shape.begin(), times.shape.end());
  std::vector<std::int64_t> strides(time_strides.begin(), time_strides.end());
  shape.insert(shape.end(), component_shape.begin(), component_shape.end());
  strides.insert(strides.end(), component_strides.begin(), component_strides.end());
  const StridedDoubles<std::byte> written{results, shape, strides};

  // Results that would overwrite times not yet read: read the times from a copy.
  std::vector<double> copy;
  std::vector<std::int64_t> copy_strides;
  if (may_overlap(times, written)) {
    copy = contiguous_copy(times);
    copy_strides = c_order_strides(times.shape, sizeof(double));
    times = {reinterpret_cast<const std::byte*>(copy.data()), times.shape, copy_strides};
  }

  const std::vector<std::int64_t> offsets = component_offsets(component_shape, component_strides);
  bool side_by_side = true;
  for (std::uint64_t j = 0; j < m; ++j) {
    side_by_side = side_by_side && offsets[j] == static_cast<std::int64_t>(j) * unit;
  }
  const PairedLayout layout = paired_layout(times.shape, times.strides, time_strides);
  const std::int64_t in_stride = layout.first_strides.back();
  const std::int64_t out_stride = layout.second_strides.back();
  const bool direct = side_by_side && out_stride == static_cast<std::int64_t>(m) * unit;
  // A block of times per kernel call: a few hundred, fewer when each has many components.
  const std::size_t block = std::clamp<std::uint64_t>(65536 / m, 1, 256);
  const bool on_pool =
      !has_repeated_elements(written) && count >= 2 && count * m >= parallel_threshold;

  run_pieces(
      pool, on_pool, static_cast<std::size_t>(count), [&](std::size_t begin, std::size_t end) {
        std::vector<double> gathered(block);
        std::vector<double> scratch(direct ? 0 : block * m);
        for_each_run(
            layout, begin, end,
            [&](std::uint64_t first, std::int64_t in, std::int64_t out, std::size_t length) {
              for (std::size_t done = 0; done < length; done += block) {
                const std::size_t n = std::min(block, length - done);
                const std::byte* source =
                    times.data + in + static_cast<std::int64_t>(done) * in_stride;
                const double* t = reinterpret_cast<const double*>(source);
                if (in_stride != unit || !aligned(source)) {
                  for (std::size_t q = 0; q < n; ++q) {
                    std::memcpy(&gathered[q], source + static_cast<std::int64_t>(q) * in_stride,
                                sizeof(double));
                  }
                  t = gathered.data();
                }
                const Placement here{where.rule, where.intervals != nullptr
                                                     ? where.intervals + first + done
                                                     : nullptr};
                std::byte* target = results + out + static_cast<std::int64_t>(done) * out_stride;
                if (direct && aligned(target)) {
                  evaluate_components_contiguous(expansion, order, t,
                                                 reinterpret_cast<double*>(target), n, here);
                  continue;
                }
                if (scratch.empty()) {
                  scratch.resize(block * m);
                }
                evaluate_components_contiguous(expansion, order, t, scratch.data(), n, here);
                for (std::size_t q = 0; q < n; ++q) {
                  std::byte* row = target + static_cast<std::int64_t>(q) * out_stride;
                  for (std::uint64_t j = 0; j < m; ++j) {
                    std::memcpy(row + offsets[j], &scratch[q * m + j], sizeof(double));
                  }
                }
              }
            });
      });
}

}  // namespace quorvel
