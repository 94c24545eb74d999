#include "compressed_rows.hpp"

#include <cstddef>
#include <limits>

namespace quorvel {

namespace {

constexpr std::uint64_t int32_max = std::numeric_limits<std::int32_t>::max();

template <class Index>
CompressedRows<Index> allocate(const CompressedRowsSize& size) {
  CompressedRows<Index> matrix;
  matrix.nrows = size.nrows;
  matrix.ncols = size.ncols;
  matrix.row_offsets.resize(static_cast<std::size_t>(size.nrows) + 1);
  matrix.columns.resize(static_cast<std::size_t>(size.entries));
  matrix.values.resize(static_cast<std::size_t>(size.entries));
  return matrix;
}

}  // namespace

bool fits_32_bit_indices(const CompressedRowsSize& size) noexcept {
  // An empty dimension puts no bound on the other: SciPy then judges by the
  // index arrays' contents alone, which are the offsets 0 ... entries.
  const bool empty = size.nrows == 0 || size.ncols == 0;
  return size.entries <= int32_max &&
         (empty || (size.nrows <= int32_max && size.ncols <= int32_max));
}

bool is_addressable(const CompressedRowsSize& size) noexcept {
  constexpr std::uint64_t max_bytes = std::numeric_limits<std::ptrdiff_t>::max();
  std::uint64_t offset_bytes = 0;
  std::uint64_t entry_bytes = 0;
  std::uint64_t total = 0;
  return size.ncols <= max_bytes && size.nrows < max_bytes &&
         !__builtin_mul_overflow(size.nrows + 1, sizeof(std::int64_t), &offset_bytes) &&
         !__builtin_mul_overflow(size.entries, sizeof(std::int64_t) + sizeof(double),
                                 &entry_bytes) &&
         !__builtin_add_overflow(offset_bytes, entry_bytes, &total) && total <= max_bytes;
}

AnyCompressedRows allocate_compressed_rows(const CompressedRowsSize& size) {
  if (!is_addressable(size)) {
    throw std::bad_alloc();
  }
  if (fits_32_bit_indices(size)) {
    return allocate<std::int32_t>(size);
  }
  return allocate<std::int64_t>(size);
}

}  // namespace quorvel
