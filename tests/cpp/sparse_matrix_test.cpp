#include "sparse_matrix_tools/sparse_matrix.hpp"

#include <gtest/gtest.h>

#include "sparse_matrix_tools/block_assembly.hpp"
#include "sparse_test_support.hpp"

namespace quorvel {
namespace {

using testing::expect_triplets;
using testing::failure_message;

struct Entry {
  std::uint64_t row;
  std::uint64_t col;
  double value;
};

CsrMatrix matrix_of(std::uint64_t nrows, std::uint64_t ncols, const std::vector<Entry>& entries) {
  CooMatrix coo(nrows, ncols);
  for (const auto& e : entries) {
    coo.append(e.row, e.col, e.value);
  }
  return coo.to_csr();
}

TEST(CooToCsr, SumsDuplicatesAndKeepsEveryZero) {
  // Rows out of order, a duplicate, a sum that cancels, explicit (signed) zeros.
  const CsrMatrix csr = matrix_of(
      3, 4, {{2, 3, -0.0}, {0, 1, 1.5}, {0, 1, 1.5}, {0, 0, 2.0}, {0, 0, -2.0}, {2, 0, 0.0}});
  EXPECT_EQ(csr.rows(), 3);
  EXPECT_EQ(csr.cols(), 4);
  EXPECT_TRUE(csr.isCompressed());
  expect_triplets(csr, {0, 0, 2, 2}, {0, 1, 0, 3}, {0.0, 3.0, 0.0, -0.0});
}

TEST(CooToCsr, AppendOutsideTheShapeFails) {
  CooMatrix coo(2, 3);
  EXPECT_EQ(failure_message([&] { coo.append(2, 0, 1.0); }),
            "sparse entry (2, 0) lies outside the 2 x 3 matrix");
  EXPECT_EQ(failure_message([&] { coo.append(0, 3, 1.0); }),
            "sparse entry (0, 3) lies outside the 2 x 3 matrix");
  EXPECT_EQ(coo.size(), 0U);
  EXPECT_EQ(failure_message([] { CooMatrix(std::uint64_t{1} << 62, 1); }), "capacity overflow");
}

TEST(TripletOrder, ListsStoredEntriesByRowThenColumn) {
  expect_triplets(matrix_of(2, 3, {{1, 1, 7.0}, {0, 2, 5.0}, {0, 0, 6.0}}), {0, 0, 1}, {0, 2, 1},
                  {6.0, 5.0, 7.0});
  expect_triplets(matrix_of(3, 3, {}), {}, {}, {});
  expect_triplets(matrix_of(0, 4, {}), {}, {}, {});
}

TEST(BlockAssembly, PlacesBlocksAtRunningOffsets) {
  const CsrMatrix a = matrix_of(2, 3, {{0, 0, 1.0}, {1, 2, 0.0}});
  const CsrMatrix b = matrix_of(4, 3, {{0, 1, 2.0}, {3, 0, 3.0}});
  const CsrMatrix c = matrix_of(2, 1, {{1, 0, 4.0}});
  const CsrMatrix d = matrix_of(4, 1, {{0, 0, 5.0}});
  const CsrMatrix hollow = matrix_of(0, 3, {});
  // A 1 x 1 grid reproduces its block, explicit zero included.
  const std::vector<BlockRef> one{a};
  expect_triplets(csr_block_from_ndarray(BlockGrid(one, 1, 1)), {0, 1}, {0, 2}, {1.0, 0.0});

  // A block row of zero height adds nothing.
  const std::vector<BlockRef> stacked{a, hollow, b};
  const CsrMatrix s = csr_block_from_ndarray(BlockGrid(stacked, 3, 1));
  EXPECT_EQ(s.rows(), 6);
  EXPECT_EQ(s.cols(), 3);
  expect_triplets(s, {0, 1, 2, 5}, {0, 2, 1, 0}, {1.0, 0.0, 2.0, 3.0});

  // 2 x 2 stored column by column: the view's strides give the layout.
  const std::vector<BlockRef> by_column{a, b, c, d};
  const CsrMatrix g = csr_block_from_ndarray(BlockGrid(by_column.data(), 2, 2, 1, 2));
  EXPECT_EQ(g.rows(), 6);
  EXPECT_EQ(g.cols(), 4);
  expect_triplets(g, {0, 1, 1, 2, 2, 5}, {0, 2, 3, 1, 3, 0}, {1.0, 0.0, 4.0, 2.0, 5.0, 3.0});
}

TEST(BlockAssembly, RejectsEmptyAndInconsistentGrids) {
  const CsrMatrix r2c3 = matrix_of(2, 3, {});
  const CsrMatrix r3c3 = matrix_of(3, 3, {});
  const CsrMatrix r3c4 = matrix_of(3, 4, {});
  const CsrMatrix r2c4 = matrix_of(2, 4, {});
  const auto message = [](const std::vector<BlockRef>& blocks, std::size_t rows, std::size_t cols) {
    return failure_message([&] { (void)csr_block_from_ndarray(BlockGrid(blocks, rows, cols)); });
  };
  EXPECT_EQ(message({}, 0, 3), "empty block grid");
  EXPECT_EQ(message({}, 2, 0), "empty block grid");
  EXPECT_EQ(message({r2c3, r3c3}, 1, 2),
            "assertion `left == right` failed: inconsistent block-row height at row 0\n"
            "  left: 3\n right: 2");
  EXPECT_EQ(message({r2c3, r2c3, r2c3, r3c3}, 2, 2),
            "assertion `left == right` failed: inconsistent block-row height at row 1\n"
            "  left: 3\n right: 2");
  EXPECT_EQ(message({r3c3, r3c4}, 2, 1),
            "assertion `left == right` failed: inconsistent block-col width at col 0\n"
            "  left: 4\n right: 3");
  // Heights are checked first: (1, 1) also disagrees in width with (0, 1).
  EXPECT_EQ(message({r2c3, r2c3, r3c3, r2c4}, 2, 2),
            "assertion `left == right` failed: inconsistent block-row height at row 1\n"
            "  left: 2\n right: 3");
  EXPECT_EQ(message({r2c3, r3c3}, 2, 2), "block grid of 2 x 2 blocks given 2 blocks");
}

}  // namespace
}  // namespace quorvel
