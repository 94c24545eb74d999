#pragma once
// Assembly of one compressed-row matrix from a two-dimensional grid of
// compressed-row blocks.

#include <cstddef>
#include <functional>
#include <span>

#include "sparse_matrix.hpp"

namespace quorvel {

/// @brief A non-owning reference to one block of a grid.
using BlockRef = std::reference_wrapper<const CsrMatrix>;

/// @brief A read-only R x C view of block references with arbitrary strides.
///
/// The view owns neither the references nor the blocks; both must outlive it.
class BlockGrid {
 public:
  /// @brief Row-major view of blocks; fails unless blocks holds rows * cols references.
  BlockGrid(std::span<const BlockRef> blocks, std::size_t rows, std::size_t cols);

  /// @brief Strided view: element (r, c) is origin[r * row_stride + c * col_stride].
  BlockGrid(const BlockRef* origin, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
            std::ptrdiff_t col_stride) noexcept
      : origin_(origin),
        rows_(rows),
        cols_(cols),
        row_stride_(row_stride),
        col_stride_(col_stride) {}

  /// @brief Number of block rows.
  [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
  /// @brief Number of block columns.
  [[nodiscard]] std::size_t cols() const noexcept { return cols_; }

  /// @brief The block in block row r and block column c (r < rows(), c < cols()).
  [[nodiscard]] const CsrMatrix& operator()(std::size_t r, std::size_t c) const noexcept {
    return origin_[static_cast<std::ptrdiff_t>(r) * row_stride_ +
                   static_cast<std::ptrdiff_t>(c) * col_stride_]
        .get();
  }

 private:
  const BlockRef* origin_;
  std::size_t rows_;
  std::size_t cols_;
  std::ptrdiff_t row_stride_;
  std::ptrdiff_t col_stride_;
};

/// @brief The block matrix of grid: blocks placed at the running sums of the
/// block-row heights and block-column widths, every stored entry kept.
///
/// Fails with "empty block grid" for a grid without blocks, and with an
/// assertion message naming the first block row (then block column) whose
/// blocks disagree in height (width).
[[nodiscard]] CsrMatrix csr_block_from_ndarray(const BlockGrid& grid);

}  // namespace quorvel
