#include "strided_arrays.hpp"

#include <algorithm>
#include <cstring>

#include "support/failure.hpp"

namespace quorvel {

namespace {

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

}  // namespace

std::uint64_t element_count(std::span<const std::int64_t> shape) {
  std::uint64_t count = 1;
  for (const std::int64_t extent : shape) {
    if (extent < 0 || __builtin_mul_overflow(count, static_cast<std::uint64_t>(extent), &count)) {
      fail("array shape out of range");
    }
  }
  return count;
}

std::vector<std::int64_t> c_order_strides(std::span<const std::int64_t> shape,
                                          std::int64_t item_size) {
  std::vector<std::int64_t> strides(shape.size());
  std::int64_t step = item_size;
  for (std::size_t axis = shape.size(); axis-- > 0;) {
    strides[axis] = step;
    step *= shape[axis];
  }
  return strides;
}

std::vector<std::int64_t> fortran_order_strides(std::span<const std::int64_t> shape,
                                                std::int64_t item_size) {
  std::vector<std::int64_t> strides(shape.size());
  std::int64_t step = item_size;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    strides[axis] = step;
    step *= shape[axis];
  }
  return strides;
}

PairedLayout paired_layout(std::span<const std::int64_t> shape, std::span<const std::int64_t> first,
                           std::span<const std::int64_t> second) {
  PairedLayout layout;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    const std::int64_t extent = shape[axis];
    if (extent == 1) {
      continue;
    }
    if (!layout.extents.empty() && layout.first_strides.back() == extent * first[axis] &&
        layout.second_strides.back() == extent * second[axis]) {
      layout.extents.back() *= extent;
      layout.first_strides.back() = first[axis];
      layout.second_strides.back() = second[axis];
      continue;
    }
    layout.extents.push_back(extent);
    layout.first_strides.push_back(first[axis]);
    layout.second_strides.push_back(second[axis]);
  }
  if (layout.extents.empty()) {
    layout.extents = {1};
    layout.first_strides = {static_cast<std::int64_t>(sizeof(double))};
    layout.second_strides = {static_cast<std::int64_t>(sizeof(double))};
  }
  return layout;
}

bool may_overlap(const StridedDoubles<const std::byte>& a,
                 const StridedDoubles<std::byte>& b) noexcept {
  const ByteRange read = byte_range(a);
  const ByteRange written = byte_range(b);
  return read.first < written.last && written.first < read.last;
}

bool same_elements(const StridedDoubles<const std::byte>& a,
                   const StridedDoubles<std::byte>& b) noexcept {
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

bool has_repeated_elements(const StridedDoubles<std::byte>& array) noexcept {
  for (std::size_t axis = 0; axis < array.shape.size(); ++axis) {
    if (array.shape[axis] > 1 && array.strides[axis] == 0) {
      return true;
    }
  }
  return false;
}

bool has_overlapping_elements(std::span<const std::int64_t> shape,
                              std::span<const std::int64_t> strides) {
  if (element_count(shape) < 2) {
    return false;
  }
  struct Axis {
    std::uint64_t extent;
    std::uint64_t step;  // |stride| in bytes
  };
  std::vector<Axis> axes;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (shape[axis] > 1) {
      const std::int64_t stride = strides[axis];
      axes.push_back({static_cast<std::uint64_t>(shape[axis]),
                      stride < 0 ? 0 - static_cast<std::uint64_t>(stride)
                                 : static_cast<std::uint64_t>(stride)});
    }
  }
  std::sort(axes.begin(), axes.end(), [](const Axis& a, const Axis& b) { return a.step < b.step; });
  // Nested axes (every step beyond the span the smaller ones cover) cannot overlap; a
  // span beyond 64 bits means the steps are not nested either.
  std::uint64_t span = 0;  // the farthest two elements of the axes so far lie apart
  bool nested = true;
  for (const Axis& axis : axes) {
    std::uint64_t reach = 0;
    if (axis.step < span + sizeof(double) ||
        __builtin_mul_overflow(axis.step, axis.extent - 1, &reach) ||
        __builtin_add_overflow(span, reach, &span)) {
      nested = false;
      break;
    }
  }
  if (nested) {
    return false;
  }
  // Any other layout: the byte offsets of all elements, sorted, are at least 8 apart.
  std::vector<std::int64_t> offsets;
  offsets.reserve(checked_storage_count(element_count(shape), sizeof(std::int64_t)));
  offsets.push_back(0);
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    const std::size_t inner = offsets.size();
    for (std::int64_t i = 1; i < shape[axis]; ++i) {
      for (std::size_t j = 0; j < inner; ++j) {
        offsets.push_back(offsets[j] + i * strides[axis]);
      }
    }
  }
  std::sort(offsets.begin(), offsets.end());
  for (std::size_t k = 1; k < offsets.size(); ++k) {
    if (offsets[k] - offsets[k - 1] < static_cast<std::int64_t>(sizeof(double))) {
      return true;
    }
  }
  return false;
}

template <class Item>
std::vector<Item> contiguous_copy(const StridedDoubles<const std::byte>& array) {
  static_assert(sizeof(Item) == sizeof(double));
  const std::uint64_t count = element_count(array.shape);
  std::vector<Item> copy(checked_storage_count(count, sizeof(Item)));
  const PairedLayout layout = paired_layout(array.shape, array.strides, array.strides);
  const std::int64_t stride = layout.first_strides.back();
  for_each_run(layout, 0, count,
               [&](std::uint64_t index, std::int64_t offset, std::int64_t, std::size_t length) {
                 for (std::size_t j = 0; j < length; ++j) {
                   std::memcpy(&copy[index + j],
                               array.data + offset + static_cast<std::int64_t>(j) * stride,
                               sizeof(Item));
                 }
               });
  return copy;
}

template std::vector<double> contiguous_copy<double>(const StridedDoubles<const std::byte>&);
template std::vector<std::int64_t> contiguous_copy<std::int64_t>(
    const StridedDoubles<const std::byte>&);

}  // namespace quorvel
