#include "block_assembly.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/failure.hpp"

namespace quorvel {

namespace {

[[noreturn]] void fail_inconsistent(const char* what, std::size_t index, Eigen::Index left,
                                    Eigen::Index right) {
  fail(std::string("assertion `left == right` failed: inconsistent ") + what + " " +
       std::to_string(index) + "\n  left: " + std::to_string(left) +
       "\n right: " + std::to_string(right));
}

// Running offsets of the given extents; the last element is their total.
std::vector<std::uint64_t> offsets_of(const std::vector<Eigen::Index>& extents) {
  std::vector<std::uint64_t> offsets(extents.size() + 1, 0);
  for (std::size_t k = 0; k < extents.size(); ++k) {
    const auto extent = static_cast<std::uint64_t>(extents[k]);
    if (offsets[k] > std::numeric_limits<std::uint64_t>::max() - extent) {
      fail("capacity overflow");
    }
    offsets[k + 1] = offsets[k] + extent;
  }
  return offsets;
}

}  // namespace

BlockGrid::BlockGrid(std::span<const BlockRef> blocks, std::size_t rows, std::size_t cols)
    : BlockGrid(blocks.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1) {
  const bool matches =
      cols == 0 ? blocks.empty() : blocks.size() % cols == 0 && blocks.size() / cols == rows;
  if (!matches) {
    fail("block grid of " + std::to_string(rows) + " x " + std::to_string(cols) + " blocks given " +
         std::to_string(blocks.size()) + " blocks");
  }
}

CsrMatrix csr_block_from_ndarray(const BlockGrid& grid) {
  const std::size_t R = grid.rows();
  const std::size_t C = grid.cols();
  if (R == 0 || C == 0) {
    fail("empty block grid");
  }

  // Every block row is checked before any block column.
  std::vector<Eigen::Index> heights(R);
  for (std::size_t r = 0; r < R; ++r) {
    heights[r] = grid(r, 0).rows();
    for (std::size_t c = 1; c < C; ++c) {
      if (grid(r, c).rows() != heights[r]) {
        fail_inconsistent("block-row height at row", r, grid(r, c).rows(), heights[r]);
      }
    }
  }
  std::vector<Eigen::Index> widths(C);
  for (std::size_t c = 0; c < C; ++c) {
    widths[c] = grid(0, c).cols();
    for (std::size_t r = 1; r < R; ++r) {
      if (grid(r, c).cols() != widths[c]) {
        fail_inconsistent("block-col width at col", c, grid(r, c).cols(), widths[c]);
      }
    }
  }

  const auto row_offsets = offsets_of(heights);
  const auto col_offsets = offsets_of(widths);
  check_sparse_shape(row_offsets.back(), col_offsets.back());

  std::uint64_t entry_count = 0;
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t c = 0; c < C; ++c) {
      const auto block_entries = static_cast<std::uint64_t>(grid(r, c).nonZeros());
      if (entry_count > std::numeric_limits<std::uint64_t>::max() - block_entries) {
        fail("capacity overflow");
      }
      entry_count += block_entries;
    }
  }

  // The blocks cover disjoint rectangles, each holds its rows' entries by
  // ascending column, and the block columns ascend: so row ro_r + i is the
  // concatenation of row i of the blocks (r, 0), (r, 1), ... shifted by their
  // column offsets, and the compressed storage is written in one pass, without
  // the detour through coordinate lists.
  CsrMatrix assembled(static_cast<Eigen::Index>(row_offsets.back()),
                      static_cast<Eigen::Index>(col_offsets.back()));
  assembled.resizeNonZeros(static_cast<Eigen::Index>(
      checked_storage_count(entry_count, sizeof(double) + sizeof(std::int64_t))));
  std::int64_t* offsets = assembled.outerIndexPtr();
  std::int64_t* columns = assembled.innerIndexPtr();
  double* values = assembled.valuePtr();
  std::int64_t k = 0;
  offsets[0] = 0;
  for (std::size_t r = 0; r < R; ++r) {
    for (Eigen::Index i = 0; i < heights[r]; ++i) {
      for (std::size_t c = 0; c < C; ++c) {
        const auto shift = static_cast<std::int64_t>(col_offsets[c]);
        for (CsrMatrix::InnerIterator it(grid(r, c), i); it; ++it) {
          columns[k] = shift + it.col();
          values[k] = it.value();
          ++k;
        }
      }
      offsets[static_cast<Eigen::Index>(row_offsets[r]) + i + 1] = k;
    }
  }
  return assembled;
}

}  // namespace quorvel
