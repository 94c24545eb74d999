#pragma once
// Helpers shared by the tests of the sparse tools and the Lagrange matrices.

#include <gtest/gtest.h>

#include <Eigen/SparseCore>
#include <bit>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "diagnostics_capture.hpp"
#include "sparse_matrix_tools/compressed_rows.hpp"

namespace quorvel::testing {

/// The matrices of the tests: Eigen's compressed rows, for their arithmetic.
using CsrMatrix = Eigen::SparseMatrix<double, Eigen::RowMajor, std::int64_t>;

/// A copy of compressed rows as an Eigen matrix, every stored entry kept.
inline CsrMatrix as_eigen(const AnyCompressedRows& any) {
  return std::visit(
      [](const auto& m) {
        CsrMatrix matrix(static_cast<Eigen::Index>(m.nrows), static_cast<Eigen::Index>(m.ncols));
        matrix.resizeNonZeros(static_cast<Eigen::Index>(m.values.size()));
        for (std::uint64_t r = 0; r <= m.nrows; ++r) {
          matrix.outerIndexPtr()[r] = static_cast<std::int64_t>(m.row_offsets[r]);
        }
        for (std::size_t k = 0; k < m.values.size(); ++k) {
          matrix.innerIndexPtr()[k] = static_cast<std::int64_t>(m.columns[k]);
          matrix.valuePtr()[k] = m.values[k];
        }
        return matrix;
      },
      any);
}

inline std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

/// Values compared bit for bit, so that -0.0 differs from 0.0.
inline void expect_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(bits_of(actual[k]), bits_of(expected[k]))
        << "index " << k << ": " << actual[k] << " vs " << expected[k];
  }
}

/// Columns and values (bit for bit) of the stored entries of one row.
inline void expect_row(const CsrMatrix& m, std::int64_t row, const std::vector<std::size_t>& cols,
                       const std::vector<double>& values) {
  std::vector<std::size_t> got_cols;
  std::vector<double> got_values;
  for (CsrMatrix::InnerIterator it(m, row); it; ++it) {
    got_cols.push_back(static_cast<std::size_t>(it.col()));
    got_values.push_back(it.value());
  }
  EXPECT_EQ(got_cols, cols) << "row " << row;
  expect_bits(got_values, values);
}

/// The triplets of m, as they leave the library, values bit for bit.
inline void expect_triplets(const CsrMatrix& m, const std::vector<std::size_t>& rows,
                            const std::vector<std::size_t>& cols,
                            const std::vector<double>& values) {
  std::vector<std::size_t> got_rows;
  std::vector<std::size_t> got_cols;
  std::vector<double> got_values;
  for (Eigen::Index row = 0; row < m.outerSize(); ++row) {
    for (CsrMatrix::InnerIterator it(m, row); it; ++it) {
      got_rows.push_back(static_cast<std::size_t>(row));
      got_cols.push_back(static_cast<std::size_t>(it.col()));
      got_values.push_back(it.value());
    }
  }
  EXPECT_EQ(got_rows, rows);
  EXPECT_EQ(got_cols, cols);
  expect_bits(got_values, values);
}

}  // namespace quorvel::testing
