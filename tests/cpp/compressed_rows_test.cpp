#include "sparse_matrix_tools/compressed_rows.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <string>
#include <variant>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/lagrange_to_legendre.hpp"
#include "piecewise_polynomials/prolongation_rows.hpp"
#include "sparse_test_support.hpp"

namespace quorvel {
namespace {

using testing::bits_of;
using testing::failure_message;

constexpr std::uint64_t int32_max = std::numeric_limits<std::int32_t>::max();

TEST(CompressedRows, ThirtyTwoBitIndicesExactlyWhenSizesAndCountFit) {
  struct Case {
    CompressedRowsSize size;
    bool fits;
  };
  const Case cases[] = {
      {{int32_max, int32_max, int32_max}, true},
      {{int32_max + 1, 5, 5}, false},
      {{5, int32_max + 1, 5}, false},
      {{5, 5, int32_max + 1}, false},
      {{0, 0, 0}, true},
      // An empty dimension bounds nothing: SciPy then looks at the offsets alone.
      {{0, int32_max + 1, 0}, true},
      {{int32_max + 1, 0, 0}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fits_32_bit_indices(c.size), c.fits)
        << c.size.nrows << " x " << c.size.ncols << ", " << c.size.entries << " entries";
  }
}

TEST(CompressedRows, AllocationPicksTheWidthAndRefusesWhatCannotBeAddressed) {
  const AnyCompressedRows narrow = allocate_compressed_rows({3, int32_max, 4});
  ASSERT_TRUE(std::holds_alternative<CompressedRows<std::int32_t>>(narrow));
  const AnyCompressedRows wide = allocate_compressed_rows({3, int32_max + 1, 4});
  ASSERT_TRUE(std::holds_alternative<CompressedRows<std::int64_t>>(wide));
  const auto& matrix = std::get<CompressedRows<std::int64_t>>(wide);
  EXPECT_EQ(matrix.row_offsets.size(), 4U);
  EXPECT_EQ(matrix.columns.size(), 4U);
  EXPECT_EQ(matrix.values.size(), 4U);

  const std::uint64_t max_bytes = std::numeric_limits<std::ptrdiff_t>::max();
  EXPECT_TRUE(is_addressable({0, 1, (max_bytes - 8) / 16}));
  EXPECT_FALSE(is_addressable({0, 1, (max_bytes - 8) / 16 + 1}));
  EXPECT_FALSE(is_addressable({1, 1, std::numeric_limits<std::uint64_t>::max()}));
  EXPECT_FALSE(is_addressable({std::numeric_limits<std::uint64_t>::max(), 1, 0}));
  EXPECT_THROW((void)allocate_compressed_rows({1, 1, std::uint64_t{1} << 62}), std::bad_alloc);
}

TEST(CompressedRows, StoredEntriesByRowThenColumnExplicitZerosIncluded) {
  CompressedRows<std::int32_t> m;
  m.nrows = 3;
  m.ncols = 4;
  m.row_offsets = {0, 2, 2, 4};  // row 1 holds nothing
  m.columns = {0, 3, 1, 2};
  m.values = {6.0, 0.0, -0.0, 7.0};
  std::vector<std::uint64_t> rows, cols;
  std::vector<double> values;
  for_each_stored_entry(m, [&](std::uint64_t r, std::uint64_t c, double v) {
    rows.push_back(r);
    cols.push_back(c);
    values.push_back(v);
  });
  EXPECT_EQ(rows, (std::vector<std::uint64_t>{0, 0, 2, 2}));
  EXPECT_EQ(cols, (std::vector<std::uint64_t>{0, 3, 1, 2}));
  testing::expect_bits(values, {6.0, 0.0, -0.0, 7.0});
  EXPECT_EQ(stored_entries(AnyCompressedRows{m}), 4U);
}

// The plain definition of the prolongation, row after row: every entry of the rows in
// order, through the unoptimised per-row path.
testing::CsrMatrix plain_prolongation(std::uint32_t degree, std::uint32_t nt_coarse,
                                      std::uint32_t nt_fine) {
  const ProlongationRows rows(degree, nt_coarse, nt_fine);
  std::vector<double> scratch(rows.nodes_per_interval());
  std::vector<Eigen::Triplet<double, std::int64_t>> entries;
  for (std::uint64_t t = 0; t < rows.row_count(); ++t) {
    rows.for_each_entry(t, std::span(scratch), [&](std::uint64_t column, double value) {
      entries.emplace_back(static_cast<std::int64_t>(t), static_cast<std::int64_t>(column), value);
    });
  }
  testing::CsrMatrix m(static_cast<Eigen::Index>(rows.row_count()),
                       static_cast<Eigen::Index>(rows.column_count()));
  m.setFromTriplets(entries.begin(), entries.end());
  return m;
}

// The plain definition of the change of basis: row p n_t + e holds M(i, p) at column
// e degree + i, for every i.
testing::CsrMatrix plain_to_legendre(std::uint32_t degree, std::uint32_t n_t) {
  const Eigen::MatrixXd weights = node_to_legendre_weights(degree);
  std::vector<Eigen::Triplet<double, std::int64_t>> entries;
  for (std::uint32_t p = 0; p <= degree; ++p) {
    for (std::uint32_t e = 0; e < n_t; ++e) {
      for (std::uint32_t i = 0; i <= degree; ++i) {
        entries.emplace_back(std::int64_t{p} * n_t + e, std::int64_t{e} * degree + i,
                             weights(i, p));
      }
    }
  }
  testing::CsrMatrix m(std::int64_t{degree + 1} * n_t, std::int64_t{n_t} * degree + 1);
  m.setFromTriplets(entries.begin(), entries.end());
  return m;
}

// The same stored entries, bits included, in the same order.
void expect_same_entries(const AnyCompressedRows& any, const testing::CsrMatrix& expected) {
  const testing::CsrMatrix got = testing::as_eigen(any);
  ASSERT_EQ(got.rows(), expected.rows());
  ASSERT_EQ(got.cols(), expected.cols());
  ASSERT_EQ(got.nonZeros(), expected.nonZeros());
  for (std::int64_t r = 0; r <= expected.rows(); ++r) {
    ASSERT_EQ(got.outerIndexPtr()[r], expected.outerIndexPtr()[r]) << "row " << r;
  }
  for (std::int64_t k = 0; k < expected.nonZeros(); ++k) {
    ASSERT_EQ(got.innerIndexPtr()[k], expected.innerIndexPtr()[k]) << "entry " << k;
    ASSERT_EQ(bits_of(got.valuePtr()[k]), bits_of(expected.valuePtr()[k])) << "entry " << k;
  }
}

TEST(LagrangeCompressedRows, EqualThePlainDefinitionOnOneChunkAndOnThePool) {
  LazyThreadPool pool([] { return std::size_t{3}; });
  struct Case {
    std::uint32_t degree, nt_coarse, nt_fine;
  };
  // Nested, equal, coarser, unrelated; more than one chunk of rows from 16385 rows.
  for (const Case& c : {Case{2, 3, 2}, Case{4, 333, 999}, Case{3, 7, 7}, Case{1, 9000, 20000},
                        Case{5, 4000, 3001}, Case{8, 3, 2048}, Case{12, 5, 3}}) {
    SCOPED_TRACE(::testing::Message() << c.degree << ", " << c.nt_coarse << ", " << c.nt_fine);
    const LagrangeBasis coarse = LagrangeBasis::without_points(c.degree, c.nt_coarse);
    const testing::CsrMatrix expected = plain_prolongation(c.degree, c.nt_coarse, c.nt_fine);
    expect_same_entries(coarse.get_prolongation_matrix_to(c.nt_fine, nullptr), expected);
    expect_same_entries(coarse.get_prolongation_matrix_to(c.nt_fine, &pool), expected);
  }
  for (const std::uint32_t degree : {1U, 2U, 3U, 7U, 11U}) {
    for (const std::uint32_t n_t : {0U, 1U, 5000U}) {
      SCOPED_TRACE(::testing::Message() << degree << ", " << n_t);
      const LagrangeBasis basis = LagrangeBasis::without_points(degree, n_t);
      const testing::CsrMatrix expected = plain_to_legendre(degree, n_t);
      expect_same_entries(basis.get_transormation_matrix_to_legendre(nullptr), expected);
      expect_same_entries(basis.get_transormation_matrix_to_legendre(&pool), expected);
    }
  }
}

TEST(LagrangeCompressedRows, ExactZerosOffTheNodesAreCountedAgain) {
  // At degree 712 some weights overflow and whole rows come out as exact zeros,
  // fewer entries than the bound that sized the first arrays.
  const ProlongationRows rows(712, 1, 2);
  const std::uint64_t bound = rows.entry_bounds(0, rows.row_count());
  const AnyCompressedRows matrix =
      LagrangeBasis::without_points(712, 1).get_prolongation_matrix_to(2, nullptr);
  EXPECT_LT(stored_entries(matrix), bound);
  expect_same_entries(matrix, plain_prolongation(712, 1, 2));
}

TEST(LagrangeCompressedRows, SizeOfTheChangeOfBasis) {
  const CompressedRowsSize huge = lagrange_to_legendre_size(4294967295U, 4294967295U);
  EXPECT_EQ(huge.entries, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(huge.nrows, 4294967296ULL * 4294967295ULL);
}

}  // namespace
}  // namespace quorvel
