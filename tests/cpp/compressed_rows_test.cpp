#include "sparse_matrix_tools/compressed_rows.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <string>
#include <variant>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/lagrange_compressed_rows.hpp"
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

// The compressed rows hold exactly the stored entries of the Eigen matrix, bits included.
void expect_same_entries(const AnyCompressedRows& any, const CsrMatrix& expected) {
  std::visit(
      [&](const auto& m) {
        ASSERT_EQ(m.nrows, static_cast<std::uint64_t>(expected.rows()));
        ASSERT_EQ(m.ncols, static_cast<std::uint64_t>(expected.cols()));
        ASSERT_EQ(m.values.size(), static_cast<std::size_t>(expected.nonZeros()));
        for (std::int64_t r = 0; r <= expected.rows(); ++r) {
          ASSERT_EQ(m.row_offsets[r], expected.outerIndexPtr()[r]) << "row " << r;
        }
        for (std::size_t k = 0; k < m.values.size(); ++k) {
          ASSERT_EQ(m.columns[k], expected.innerIndexPtr()[k]) << "entry " << k;
          ASSERT_EQ(bits_of(m.values[k]), bits_of(expected.valuePtr()[k])) << "entry " << k;
        }
      },
      any);
}

TEST(LagrangeCompressedRows, EqualTheCoordinateFormsOnOneChunkAndOnThePool) {
  struct Case {
    std::uint32_t degree, nt_coarse, nt_fine;
  };
  // Nested, equal, coarser, unrelated; more than one chunk of rows from 16385 rows.
  for (const Case& c : {Case{2, 3, 2}, Case{4, 333, 999}, Case{3, 7, 7}, Case{1, 9000, 20000},
                        Case{5, 4000, 3001}, Case{8, 3, 2048}}) {
    SCOPED_TRACE(::testing::Message() << c.degree << ", " << c.nt_coarse << ", " << c.nt_fine);
    expect_same_entries(
        prolongation_compressed_rows(c.degree, c.nt_coarse, c.nt_fine),
        LagrangeBasis::without_points(c.degree, c.nt_coarse).get_prolongation_matrix_to(c.nt_fine));
  }
  for (const std::uint32_t degree : {1U, 2U, 3U, 7U}) {
    for (const std::uint32_t n_t : {0U, 1U, 5000U}) {
      SCOPED_TRACE(::testing::Message() << degree << ", " << n_t);
      expect_same_entries(
          lagrange_to_legendre_compressed_rows(degree, n_t),
          LagrangeBasis::without_points(degree, n_t).get_transormation_matrix_to_legendre());
    }
  }
}

TEST(LagrangeCompressedRows, ExactZerosOffTheNodesAreCountedAgain) {
  // At degree 712 some weights overflow and whole rows come out as exact zeros,
  // fewer entries than the bound that sized the first arrays.
  const ProlongationRows rows(712, 1, 2);
  const std::uint64_t bound = rows.entry_bounds(0, rows.row_count());
  const AnyCompressedRows matrix = prolongation_compressed_rows(712, 1, 2);
  EXPECT_LT(std::visit([](const auto& m) { return m.values.size(); }, matrix), bound);
  expect_same_entries(matrix, LagrangeBasis::without_points(712, 1).get_prolongation_matrix_to(2));
}

TEST(LagrangeCompressedRows, FailLikeTheCoordinateForms) {
  // failure_message also checks that each failure wrote its one diagnostic.
  EXPECT_EQ(failure_message([] { (void)prolongation_compressed_rows(0, 0, 0); }),
            "Lagrange prolongation requires polynomial degree at least 1");
  EXPECT_EQ(failure_message([] { (void)prolongation_compressed_rows(1, 0, 1); }),
            "Lagrange prolongation requires at least one coarse interval");
  EXPECT_EQ(failure_message([] { (void)prolongation_compressed_rows(1, 1, 0); }),
            "Lagrange prolongation requires at least one fine interval");
  EXPECT_EQ(failure_message([] { (void)lagrange_to_legendre_compressed_rows(0, 3); }),
            "Lagrange to Legendre conversion not meaningful for degree 0");
  const CompressedRowsSize huge = lagrange_to_legendre_size(4294967295U, 4294967295U);
  EXPECT_EQ(huge.entries, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(huge.nrows, 4294967296ULL * 4294967295ULL);
}

}  // namespace
}  // namespace quorvel
