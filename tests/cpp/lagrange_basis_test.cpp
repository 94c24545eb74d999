#include "piecewise_polynomials/lagrange_basis.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "piecewise_polynomials/legendre_basis.hpp"
#include "sparse_test_support.hpp"

namespace quorvel {
namespace {

using testing::as_eigen;
using testing::bits_of;
using testing::CsrMatrix;
using testing::expect_bits;
using testing::expect_row;
using testing::expect_triplets;
using testing::failure_message;

CsrMatrix prolongation(std::uint32_t nt_coarse, std::uint32_t nt_fine, std::uint32_t degree) {
  return as_eigen(
      LagrangeBasis::create(degree, nt_coarse, 1.0).get_prolongation_matrix_to(nt_fine, nullptr));
}

CsrMatrix to_legendre(std::uint32_t degree, std::uint32_t n_t) {
  return as_eigen(
      LagrangeBasis::create(degree, n_t, 1.0).get_transormation_matrix_to_legendre(nullptr));
}

// Values of f at the nodes of basis, as a DOF vector.
template <class F>
Eigen::VectorXd sampled(const LagrangeBasis& basis, F f) {
  Eigen::VectorXd u(static_cast<Eigen::Index>(basis.points().size()));
  for (Eigen::Index k = 0; k < u.size(); ++k) {
    u[k] = f(basis.points()[static_cast<std::size_t>(k)]);
  }
  return u;
}

TEST(LagrangeNodes, DofOrderBitForBit) {
  expect_bits(LagrangeBasis::create(2, 2, 1.0).points(), {0.0, 0.25, 0.5, 0.75, 1.0});
  expect_bits(LagrangeBasis::create(3, 1, 3.0).points(), {0.0, 1.0, 2.0, 3.0});
  expect_bits(LagrangeBasis::create(1, 3, 1.0).points(),
              {0.0, 0.3333333333333333, 0.6666666666666666, 1.0});
  expect_bits(LagrangeBasis::create(2, 2, -1.0).points(), {-0.0, -0.25, -0.5, -0.75, -1.0});
  expect_bits(LagrangeBasis::create(0, 5, 2.0).points(), {2.0});
  expect_bits(LagrangeBasis::create(4, 0, 1.0).points(), {1.0});
  expect_bits(LagrangeBasis::create(2, 3, 0.0).points(), std::vector<double>(7, 0.0));
  EXPECT_EQ(LagrangeBasis::create(4, 10, 1.0).points().size(), 41U);
  // h + h * 5 is 0.9999999999999999 for h = 1/6, but the last node is T itself.
  EXPECT_EQ(bits_of(LagrangeBasis::create(1, 6, 1.0).points().back()), bits_of(1.0));
  // Bounds h * k and h + h * k, then a + ((b - a) * i) / degree: other groupings
  // change nodes 11 and 20 here.
  expect_bits(LagrangeBasis::create(3, 7, 3.0).points(), {0.0,
                                                          0.14285714285714285,
                                                          0.2857142857142857,
                                                          0.42857142857142855,
                                                          0.5714285714285714,
                                                          0.7142857142857142,
                                                          0.8571428571428571,
                                                          0.9999999999999999,
                                                          1.1428571428571428,
                                                          1.2857142857142856,
                                                          1.4285714285714284,
                                                          1.5714285714285714,
                                                          1.7142857142857142,
                                                          1.857142857142857,
                                                          2.0,
                                                          2.142857142857143,
                                                          2.2857142857142856,
                                                          2.4285714285714284,
                                                          2.571428571428571,
                                                          2.714285714285714,
                                                          2.8571428571428568,
                                                          3.0});
}

TEST(LagrangeNodes, ReferenceNodesAndLimits) {
  expect_bits(equispaced_nodes(-1.0, 1.0, 4), {-1.0, -0.5, 0.0, 0.5, 1.0});
  EXPECT_TRUE(std::isnan(equispaced_nodes(2.0, 5.0, 0).at(0)));
  EXPECT_EQ(failure_message([] { (void)LagrangeBasis::create(4294967295U, 4294967295U, 1.0); }),
            "capacity overflow");
}

TEST(Prolongation, SmallMeshesBitForBit) {
  expect_triplets(prolongation(1, 2, 1), {0, 1, 1, 2}, {0, 0, 1, 1}, {1.0, 0.5, 0.5, 1.0});
  expect_triplets(prolongation(5, 1, 1), {0, 1}, {0, 5}, {1.0, 1.0});
  expect_triplets(
      prolongation(2, 3, 1), {0, 1, 1, 2, 2, 3}, {0, 0, 1, 1, 2, 2},
      {1.0, 0.3333333333333333, 0.6666666666666665, 0.6666666666666667, 0.3333333333333332, 1.0});

  // Rows at xi = -0.5 and xi = 0.5 are not mirror images bit for bit.
  const std::vector<double> left{0.375, 0.75, -0.125};
  const std::vector<double> right{-0.12499999999999999, 0.7499999999999999, 0.37499999999999994};
  const CsrMatrix p122 = prolongation(1, 2, 2);
  ASSERT_EQ(p122.rows(), 5);
  ASSERT_EQ(p122.cols(), 3);
  for (std::int64_t r : {0, 2, 4}) {
    expect_row(p122, r, {static_cast<std::size_t>(r / 2)}, {1.0});
  }
  expect_row(p122, 1, {0, 1, 2}, left);
  expect_row(p122, 3, {0, 1, 2}, right);

  const CsrMatrix p322 = prolongation(3, 2, 2);
  ASSERT_EQ(p322.rows(), 5);
  ASSERT_EQ(p322.cols(), 7);
  expect_row(p322, 1, {0, 1, 2}, right);
  expect_row(p322, 2, {3}, {1.0});
  expect_row(p322, 3, {4, 5, 6}, left);
  expect_row(p322, 4, {6}, {1.0});
}

TEST(Prolongation, EqualCountsGiveTheIdentity) {
  for (std::uint32_t degree : {1U, 2U, 3U, 4U}) {
    for (std::uint32_t n : {1U, 2U, 7U}) {
      const CsrMatrix p = prolongation(n, n, degree);
      const std::int64_t size = std::int64_t{n} * degree + 1;
      ASSERT_EQ(p.rows(), size);
      ASSERT_EQ(p.cols(), size);
      for (std::int64_t r = 0; r < size; ++r) {
        expect_row(p, r, {static_cast<std::size_t>(r)}, {1.0});
      }
    }
  }
}

TEST(Prolongation, CoincidingNodesCanMissTheAbsoluteTolerance) {
  const CsrMatrix p = prolongation(333, 999, 4);
  expect_row(p, 504, {164, 165, 166, 167, 168},
             {-7.105427357600632e-15, 3.789561257387012e-14, -8.526512829120819e-14,
              1.1368683772161253e-13, 0.9999999999999407});
  // Fine DOF 3k lies on coarse DOF k; the others of these rows hold 1.0 alone.
  int coinciding = 0;
  int full_rows = 0;
  for (std::int64_t t = 0; t < p.rows(); t += 3, ++coinciding) {
    if (p.outerIndexPtr()[t + 1] - p.outerIndexPtr()[t] == 5) {
      ++full_rows;
    } else {
      expect_row(p, t, {static_cast<std::size_t>(t / 3)}, {1.0});
    }
  }
  EXPECT_EQ(coinciding, 1333);
  EXPECT_EQ(full_rows, 144);
}

TEST(Prolongation, ReproducesPiecewisePolynomialsOnUnrelatedMeshes) {
  // A global cubic is a piecewise cubic on every mesh.
  const auto f = [](double t) { return ((2.0 * t - 1.5) * t + 0.25) * t - 3.0; };
  const auto coarse = LagrangeBasis::create(3, 7, 1.0);
  const auto fine = sampled(LagrangeBasis::create(3, 5, 1.0), f);
  const Eigen::VectorXd v = prolongation(7, 5, 3) * sampled(coarse, f);
  ASSERT_EQ(v.size(), fine.size());
  EXPECT_LT((v - fine).lpNorm<Eigen::Infinity>(), 1e-13);
}

TEST(Prolongation, PreconditionsInOrderAndSupportedRange) {
  EXPECT_EQ(failure_message([] { (void)prolongation(0, 0, 0); }),
            "Lagrange prolongation requires polynomial degree at least 1");
  EXPECT_EQ(failure_message([] { (void)prolongation(0, 0, 1); }),
            "Lagrange prolongation requires at least one coarse interval");
  EXPECT_EQ(failure_message([] { (void)prolongation(1, 0, 1); }),
            "Lagrange prolongation requires at least one fine interval");
  EXPECT_EQ(failure_message([] { (void)prolongation(1, 1U << 30, 4); }),
            "Lagrange prolongation supports at most 4294967295 DOFs per mesh");
}

TEST(ToLegendre, FixedTablesForDegreesOneAndTwo) {
  expect_triplets(to_legendre(1, 2), {0, 0, 1, 1, 2, 2, 3, 3}, {0, 1, 1, 2, 0, 1, 1, 2},
                  {0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5});
  expect_triplets(to_legendre(2, 1), {0, 0, 0, 1, 1, 1, 2, 2, 2}, {0, 1, 2, 0, 1, 2, 0, 1, 2},
                  {1.0 / 6, 2.0 / 3, 1.0 / 6, -0.5, 0.0, 0.5, 1.0 / 3, -2.0 / 3, 1.0 / 3});
}

TEST(ToLegendre, InvertedMatrixMatchesExactFractions) {
  const CsrMatrix g = to_legendre(3, 1);
  const double exact[4][4] = {{5.0, 15.0, 15.0, 5.0},
                              {-11.0, -27.0, 27.0, 11.0},
                              {15.0, -15.0, -15.0, 15.0},
                              {-9.0, 27.0, -27.0, 9.0}};
  ASSERT_EQ(g.nonZeros(), 16);
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR(g.coeff(r, c), exact[r][c] / 40.0, 1e-15) << r << ", " << c;
    }
  }
}

TEST(ToLegendre, ShapeEntryCountAndRowSums) {
  const std::uint32_t n_t = 3;
  for (std::uint32_t degree = 1; degree <= 9; ++degree) {
    const CsrMatrix g = to_legendre(degree, n_t);
    ASSERT_EQ(g.rows(), (degree + 1) * n_t);
    ASSERT_EQ(g.cols(), n_t * degree + 1);
    EXPECT_EQ(g.nonZeros(), n_t * (degree + 1) * (degree + 1));
    for (std::int64_t r = 0; r < g.rows(); ++r) {
      EXPECT_NEAR(g.row(r).sum(), r < n_t ? 1.0 : 0.0, 1e-12) << degree << ", row " << r;
    }
  }
  const CsrMatrix empty = to_legendre(2, 0);
  EXPECT_EQ(empty.rows(), 0);
  EXPECT_EQ(empty.cols(), 1);
  expect_triplets(empty, {}, {}, {});
}

TEST(ToLegendre, LegendreEvaluationReproducesTheLagrangeFunction) {
  // Continuous, and one polynomial of degree <= 5 on each of [0, 1], [1, 2], [2, 3].
  const auto f = [](double t) {
    return t <= 1.0 ? t * t * t * t * t - t : (t - 1.0) * (t - 1.0) * (t - 3.0);
  };
  const auto lagrange = LagrangeBasis::create(5, 3, 3.0);
  const Eigen::VectorXd flat = to_legendre(5, 3) * sampled(lagrange, f);
  const DofMatrix dofs = Eigen::Map<const DofMatrix>(flat.data(), 3, 6);
  const LegendreBasis legendre{5, 3, 3.0};
  for (int k = 0; k <= 60; ++k) {
    EXPECT_NEAR(legendre.evaluate(dofs, 0.05 * k), f(0.05 * k), 1e-12) << "t = " << 0.05 * k;
  }
}

TEST(ToLegendre, IllConditionedButRegularMatricesAreInverted) {
  const CsrMatrix g = to_legendre(64, 1);
  ASSERT_EQ(g.nonZeros(), 65 * 65);
  EXPECT_TRUE(Eigen::Map<const Eigen::VectorXd>(g.valuePtr(), g.nonZeros()).allFinite());
}

TEST(ToLegendre, Failures) {
  const std::string degree_zero = "Lagrange to Legendre conversion not meaningful for degree 0";
  EXPECT_EQ(failure_message([] { (void)to_legendre(0, 0); }), degree_zero);
  EXPECT_EQ(failure_message([] { (void)to_legendre(0, 3); }), degree_zero);
}

}  // namespace
}  // namespace quorvel
