#pragma once
// Sparse matrices of doubles: the coordinate form every matrix is built in,
// the compressed-row form it is converted to, and the triplet export.
//
// Stored entries are never dropped for their value: an explicit 0.0, and a
// sum of duplicates that cancels to 0.0, stay stored entries. Callers of the
// exported triplets rely on the number and positions of stored entries.

#include <Eigen/SparseCore>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvel {

/// @brief Compressed-sparse-row matrix of doubles with 64-bit indices.
using CsrMatrix = Eigen::SparseMatrix<double, Eigen::RowMajor, std::int64_t>;

/// @brief Fails with "capacity overflow" for a shape whose compressed-row form
/// could not be stored (row offsets or indices beyond the signed storage index).
void check_sparse_shape(std::uint64_t nrows, std::uint64_t ncols);

/// @brief A matrix under construction: its shape and three parallel entry lists.
class CooMatrix {
 public:
  /// @brief An empty nrows x ncols matrix; fails with "capacity overflow" for
  /// shapes whose compressed-row form could not be stored.
  CooMatrix(std::uint64_t nrows, std::uint64_t ncols);

  /// @brief Reserves room for count entries; fails with "capacity overflow" if too large.
  void reserve(std::uint64_t count);

  /// @brief Appends one entry; fails if (row, col) lies outside the shape.
  void append(std::uint64_t row, std::uint64_t col, double value);

  /// @brief Number of rows.
  [[nodiscard]] std::int64_t nrows() const noexcept { return nrows_; }
  /// @brief Number of columns.
  [[nodiscard]] std::int64_t ncols() const noexcept { return ncols_; }
  /// @brief Number of appended entries, duplicates included.
  [[nodiscard]] std::size_t size() const noexcept { return values_.size(); }

  /// @brief Row indices of the appended entries, in append order.
  [[nodiscard]] std::span<const std::int64_t> row_indices() const noexcept { return rows_; }
  /// @brief Column indices of the appended entries, in append order.
  [[nodiscard]] std::span<const std::int64_t> col_indices() const noexcept { return cols_; }
  /// @brief Values of the appended entries, in append order.
  [[nodiscard]] std::span<const double> values() const noexcept { return values_; }

  /// @brief The compressed-row form: entries by row, ascending columns within a
  /// row, duplicates summed, every value kept (zeros included).
  [[nodiscard]] CsrMatrix to_csr() const;

 private:
  [[nodiscard]] bool is_in_storage_order() const noexcept;

  std::int64_t nrows_;
  std::int64_t ncols_;
  std::vector<std::int64_t> rows_;
  std::vector<std::int64_t> cols_;
  std::vector<double> values_;
};

/// @brief Calls visit(row, column, value) for every stored entry of matrix, explicit
/// zeros included, by row and then by ascending column: the triplet order in which
/// sparse matrices leave the library.
template <class Visit>
void for_each_stored_entry(const CsrMatrix& matrix, Visit&& visit) {
  for (Eigen::Index row = 0; row < matrix.outerSize(); ++row) {
    for (CsrMatrix::InnerIterator it(matrix, row); it; ++it) {
      visit(static_cast<std::int64_t>(row), static_cast<std::int64_t>(it.col()), it.value());
    }
  }
}

}  // namespace quorvel
