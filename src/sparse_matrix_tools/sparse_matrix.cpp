#include "sparse_matrix.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "support/failure.hpp"

namespace quorvel {

namespace {

// Largest row or column count: the row offsets (nrows + 1 indices) must fit in
// addressable memory, and every index in the signed storage index.
constexpr std::uint64_t max_dimension =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(std::int64_t) -
    1;

// Feeds the three entry lists to Eigen's triplet conversion without first
// copying them into a list of triplet objects.
class CooEntryIterator {
 public:
  struct Entry {
    const CooMatrix* matrix;
    std::size_t k;
    [[nodiscard]] Eigen::Index row() const { return matrix->row_indices()[k]; }
    [[nodiscard]] Eigen::Index col() const { return matrix->col_indices()[k]; }
    [[nodiscard]] double value() const { return matrix->values()[k]; }
  };

  CooEntryIterator(const CooMatrix& matrix, std::size_t k) : entry_{&matrix, k} {}

  const Entry* operator->() const noexcept { return &entry_; }
  CooEntryIterator& operator++() noexcept {
    ++entry_.k;
    return *this;
  }
  bool operator==(const CooEntryIterator& other) const noexcept {
    return entry_.k == other.entry_.k;
  }
  bool operator!=(const CooEntryIterator& other) const noexcept { return !(*this == other); }

 private:
  Entry entry_;
};

}  // namespace

void check_sparse_shape(std::uint64_t nrows, std::uint64_t ncols) {
  if (nrows > max_dimension || ncols > max_dimension) {
    fail("capacity overflow");
  }
}

CooMatrix::CooMatrix(std::uint64_t nrows, std::uint64_t ncols) {
  check_sparse_shape(nrows, ncols);
  nrows_ = static_cast<std::int64_t>(nrows);
  ncols_ = static_cast<std::int64_t>(ncols);
}

void CooMatrix::reserve(std::uint64_t count) {
  const auto n = checked_storage_count(count, sizeof(std::int64_t));
  rows_.reserve(n);
  cols_.reserve(n);
  values_.reserve(n);
}

void CooMatrix::append(std::uint64_t row, std::uint64_t col, double value) {
  if (row >= static_cast<std::uint64_t>(nrows_) || col >= static_cast<std::uint64_t>(ncols_)) {
    fail("sparse entry (" + std::to_string(row) + ", " + std::to_string(col) +
         ") lies outside the " + std::to_string(nrows_) + " x " + std::to_string(ncols_) +
         " matrix");
  }
  rows_.push_back(static_cast<std::int64_t>(row));
  cols_.push_back(static_cast<std::int64_t>(col));
  values_.push_back(value);
}

bool CooMatrix::is_in_storage_order() const noexcept {
  for (std::size_t k = 1; k < values_.size(); ++k) {
    if (rows_[k] < rows_[k - 1] || (rows_[k] == rows_[k - 1] && cols_[k] <= cols_[k - 1])) {
      return false;
    }
  }
  return true;
}

CsrMatrix CooMatrix::to_csr() const {
  CsrMatrix result(nrows_, ncols_);
  if (is_in_storage_order()) {
    // Entries already by row, columns strictly ascending: they are the compressed
    // storage as it stands. Eigen's triplet pass would cost time and memory in
    // proportion to the column count, whatever the number of entries.
    result.resizeNonZeros(static_cast<Eigen::Index>(values_.size()));
    std::int64_t* offsets = result.outerIndexPtr();
    std::fill(offsets, offsets + nrows_ + 1, std::int64_t{0});
    for (std::size_t k = 0; k < values_.size(); ++k) {
      ++offsets[rows_[k] + 1];
      result.innerIndexPtr()[k] = cols_[k];
      result.valuePtr()[k] = values_[k];
    }
    for (std::int64_t r = 0; r < nrows_; ++r) {
      offsets[r + 1] += offsets[r];
    }
    return result;
  }
  // Eigen's triplet conversion sums duplicates (in append order) and copies
  // every value through its transposed pass without pruning, so zeros stay.
  result.setFromTriplets(CooEntryIterator(*this, 0), CooEntryIterator(*this, size()));
  result.makeCompressed();
  return result;
}

}  // namespace quorvel
