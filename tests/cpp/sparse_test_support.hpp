#pragma once
// Helpers shared by the tests of the sparse tools and the Lagrange matrices.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics_capture.hpp"
#include "sparse_matrix_tools/sparse_matrix.hpp"

namespace quorvel::testing {

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
  for_each_stored_entry(m, [&](std::int64_t row, std::int64_t col, double value) {
    got_rows.push_back(static_cast<std::size_t>(row));
    got_cols.push_back(static_cast<std::size_t>(col));
    got_values.push_back(value);
  });
  EXPECT_EQ(got_rows, rows);
  EXPECT_EQ(got_cols, cols);
  expect_bits(got_values, values);
}

}  // namespace quorvel::testing
