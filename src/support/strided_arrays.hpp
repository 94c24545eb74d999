#pragma once
// Arrays of doubles in place, as the buffer protocol describes them: a first
// element, a shape, and the distance in bytes between neighbours along each
// axis (any sign, any alignment). Batches walk such arrays in runs along one
// axis, so that every element is visited in C order of the shape whatever the
// strides.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvel {

/// @brief An n-dimensional array of doubles in place; Byte is std::byte or const std::byte.
template <class Byte>
struct StridedDoubles {
  Byte* data;
  std::span<const std::int64_t> shape;
  std::span<const std::int64_t> strides;  // bytes, one per axis
};

/// @brief The number of elements of a shape; fails for a negative extent or a product
/// beyond 64 bits.
[[nodiscard]] std::uint64_t element_count(std::span<const std::int64_t> shape);

/// @brief The byte strides of an array of this shape written without gaps in C order.
[[nodiscard]] std::vector<std::int64_t> c_order_strides(std::span<const std::int64_t> shape,
                                                        std::int64_t item_size);

/// @brief The byte strides of an array of this shape written without gaps in Fortran order.
[[nodiscard]] std::vector<std::int64_t> fortran_order_strides(std::span<const std::int64_t> shape,
                                                              std::int64_t item_size);

/// @brief Two arrays of one shape, walked together: their common index space with axes
/// of extent 1 dropped and neighbouring axes merged where both arrays step through
/// them evenly, innermost axis last (one axis of extent 1 when nothing is left).
struct PairedLayout {
  std::vector<std::int64_t> extents;
  std::vector<std::int64_t> first_strides;
  std::vector<std::int64_t> second_strides;
};

/// @brief The paired layout of two arrays of @p shape with the given byte strides.
[[nodiscard]] PairedLayout paired_layout(std::span<const std::int64_t> shape,
                                         std::span<const std::int64_t> first,
                                         std::span<const std::int64_t> second);

/// @brief Calls run(index, first_offset, second_offset, length) for the indices [begin, end)
/// of the layout, in runs along its innermost axis: `index` is the C-order index of the
/// run's first element, the offsets are in bytes from each array's first element.
template <class Run>
void for_each_run(const PairedLayout& layout, std::uint64_t begin, std::uint64_t end, Run&& run) {
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
    std::int64_t first_offset = 0;
    std::int64_t second_offset = 0;
    for (std::size_t axis = 0; axis < axes; ++axis) {
      first_offset += index[axis] * layout.first_strides[axis];
      second_offset += index[axis] * layout.second_strides[axis];
    }
    const auto length = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(layout.extents[inner] - index[inner]), end - at);
    run(at, first_offset, second_offset, static_cast<std::size_t>(length));
    at += length;
    index[inner] += static_cast<std::int64_t>(length);
    for (std::size_t axis = inner; axis > 0 && index[axis] == layout.extents[axis]; --axis) {
      index[axis] = 0;
      ++index[axis - 1];
    }
  }
}

/// @brief Whether the bytes two arrays may touch overlap (a cheap, conservative test: the
/// spans from lowest to highest element are compared).
[[nodiscard]] bool may_overlap(const StridedDoubles<const std::byte>& a,
                               const StridedDoubles<std::byte>& b) noexcept;

/// @brief Whether two arrays of one shape are the same elements in the same order.
[[nodiscard]] bool same_elements(const StridedDoubles<const std::byte>& a,
                                 const StridedDoubles<std::byte>& b) noexcept;

/// @brief Whether two indices of the array name one element (an axis of stride 0).
[[nodiscard]] bool has_repeated_elements(const StridedDoubles<std::byte>& array) noexcept;

/// @brief Whether two elements of the array share a byte: an axis of stride 0, or strides
/// that bring two elements closer than 8 bytes. Exact: layouts whose axes do not nest
/// (each stride beyond the span of the smaller ones) have their element offsets compared.
[[nodiscard]] bool has_overlapping_elements(std::span<const std::int64_t> shape,
                                            std::span<const std::int64_t> strides);

/// @brief The elements of @p array (8-byte items: doubles, or Item) in C order, copied into
/// a new contiguous vector.
template <class Item = double>
[[nodiscard]] std::vector<Item> contiguous_copy(const StridedDoubles<const std::byte>& array);

}  // namespace quorvel
