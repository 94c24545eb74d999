#include "piecewise_polynomials/legendre_basis.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "sparse_test_support.hpp"

namespace quorvel {
namespace {

using testing::bits_of;
using testing::failure_message;

TEST(LocateInterval, MeshPointsBelongToTheIntervalOnTheirRight) {
  const LegendreBasis basis{2, 4, 1.0};
  EXPECT_EQ(basis.locate_interval(0.25).interval, 1U);
  EXPECT_EQ(basis.locate_interval(0.25).x, -1.0);
  EXPECT_EQ(basis.locate_interval(1.0).interval, 3U);
  EXPECT_EQ(basis.locate_interval(0.9).interval, 3U);
  EXPECT_EQ(basis.locate_interval(0.0).x, -1.0);
}

TEST(LocateInterval, SaturatesAndClamps) {
  const LegendreBasis basis{1, 3, 3.0};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(basis.locate_interval(-5.0).interval, 0U);
  EXPECT_EQ(basis.locate_interval(-5.0).x, -1.0);
  EXPECT_EQ(basis.locate_interval(-inf).interval, 0U);
  EXPECT_EQ(basis.locate_interval(1e300).interval, 2U);
  EXPECT_EQ(basis.locate_interval(1e300).x, 1.0);
  EXPECT_EQ(basis.locate_interval(inf).interval, 2U);
  EXPECT_EQ(basis.locate_interval(nan).interval, 0U);
  EXPECT_TRUE(std::isnan(basis.locate_interval(nan).x));
  // A quotient beyond the 32-bit range saturates rather than wrapping.
  const LegendreBasis wide{0, 4294967295U, 4294967295.0};
  EXPECT_EQ(wide.locate_interval(1e12).interval, 4294967294U);
}

TEST(LegendreKernel, LoopsOverDegreesEndAtTheLargestDegree) {
  // The recurrences run k = 2 ... degree through for_each_index; at the largest
  // degree a 32-bit counter wraps to 0 and never ends. A wrapping loop fails here
  // at its third step instead of hanging.
  constexpr std::uint32_t top = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> seen;
  auto record = [&](std::uint32_t k) {
    if (seen.size() == 2) throw std::runtime_error("past the last index");
    seen.push_back(k);
  };
  EXPECT_NO_THROW(kernel::for_each_index(top - 1, top, record));
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{top - 1, top}));
  seen.clear();
  kernel::for_each_index(top, top - 1, record);
  kernel::for_each_index(3, 2, record);
  EXPECT_TRUE(seen.empty());
}

TEST(LegendreValue, FollowsTheRecurrenceBitForBit) {
  for (double x : {-1.0, -0.7, -0.1, 0.0, 0.3, 0.999, 1.0}) {
    double prev = 1.0;
    double cur = x;
    double m = 1.0;
    EXPECT_EQ(bits_of(legendre_value(0, x)), bits_of(1.0));
    EXPECT_EQ(bits_of(legendre_value(1, x)), bits_of(x));
    for (std::uint32_t k = 2; k <= 20; ++k) {
      const double next = (cur * (x * ((m + m) + 1.0)) - prev * m) / (m + 1.0);
      prev = cur;
      cur = next;
      m += 1.0;
      EXPECT_EQ(bits_of(legendre_value(k, x)), bits_of(cur)) << "k=" << k << " x=" << x;
    }
  }
  EXPECT_EQ(bits_of(legendre_value(3, 0.0)), bits_of(-0.0));
}

// With h = 2 the time derivatives of the basis functions are their x-derivatives
// exactly: (D + D) / 2 = D.
std::vector<double> x_derivatives(std::uint32_t degree, double t) {
  const LegendreBasis basis{degree, 1, 2.0};
  return basis.evaluate_all_basis_function_derivatives(t);
}

TEST(LegendreDerivative, ExactAtBothEnds) {
  const auto at_right = x_derivatives(30, 2.0);  // x = 1
  const auto at_left = x_derivatives(30, 0.0);   // x = -1
  for (std::uint32_t k = 0; k <= 30; ++k) {
    const double value = 0.5 * k * (k + 1.0);
    EXPECT_EQ(at_right[k], value) << k;
    EXPECT_EQ(at_left[k], (k % 2 == 0 ? -value : value)) << k;
  }
}

TEST(LegendreDerivative, MatchesClosedFormsInside) {
  const LegendreBasis basis{4, 1, 2.0};
  for (double t : {1e-7, 0.5, 1.0, 1.25, 1.9999999}) {
    const double x = basis.locate_interval(t).x;
    const auto d = x_derivatives(4, t);
    EXPECT_DOUBLE_EQ(d[2], 3.0 * x);
    EXPECT_DOUBLE_EQ(d[3], 0.5 * (15.0 * x * x - 3.0));
    EXPECT_NEAR(d[4], 0.125 * (140.0 * x * x * x - 60.0 * x), 1e-13);
  }
}

TEST(Evaluate, SumsInDegreeOrderStartingFromNegativeZero) {
  const LegendreBasis basis{0, 2, 1.0};
  DofMatrix dofs(2, 1);
  dofs << -0.0, 5.0;
  EXPECT_EQ(bits_of(basis.evaluate(dofs, 0.1)), bits_of(-0.0));
  EXPECT_EQ(basis.evaluate(dofs, 0.9), 5.0);
  EXPECT_EQ(basis.evaluate(dofs, std::numeric_limits<double>::quiet_NaN()), -0.0);
}

TEST(Evaluate, DerivativeOfLinearPieces) {
  const LegendreBasis basis{1, 2, 2.0};
  DofMatrix dofs(2, 2);
  dofs << 1.0, 3.0, 2.0, 4.0;  // column-major: (1, 2) then (3, 4)
  EXPECT_EQ(basis.evaluate(dofs, 0.5), 1.0);
  EXPECT_EQ(basis.evaluate(dofs, 1.0), -2.0);
  EXPECT_EQ(basis.evaluate(dofs, 2.0), 6.0);
  EXPECT_EQ(basis.evaluate_derivative(dofs, 0.5), 6.0);
  EXPECT_EQ(basis.evaluate_derivative(dofs, 1.5), 8.0);
}

TEST(Evaluate, RejectsTooSmallDofMatrices) {
  const LegendreBasis basis{2, 3, 1.0};
  const DofMatrix too_few_columns = DofMatrix::Zero(3, 2);
  const DofMatrix too_few_rows = DofMatrix::Zero(1, 3);
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate(too_few_columns, 0.5); }),
            "Matrix index out of bounds.");
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate_derivative(too_few_columns, 0.5); }),
            "Matrix index out of bounds.");
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate(too_few_rows, 0.5); }),
            "Matrix slicing out of bounds.");
  // Row 0 exists, so a time in interval 0 is served by the one-row matrix.
  EXPECT_EQ(basis.evaluate(too_few_rows, 0.0), 0.0);
  // Larger matrices are read only where the basis needs them.
  DofMatrix larger = DofMatrix::Constant(5, 6, 1.0);
  EXPECT_EQ(basis.evaluate(larger, 0.0), 1.0 - 1.0 + 1.0);
}

TEST(Evaluate, ZeroIntervalsFailInsteadOfReadingOutside) {
  const LegendreBasis basis{1, 0, 1.0};
  const DofMatrix empty(0, 2);
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate(empty, 0.5); }),
            "Matrix slicing out of bounds.");
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate_all_basis_functions(0.5); }),
            "Matrix slicing out of bounds.");
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate_all_basis_function_derivatives(0.5); }),
            "Matrix slicing out of bounds.");
}

TEST(AllBasisFunctions, LayoutAndDerivativeScaling) {
  const LegendreBasis basis{3, 2, 2.0};
  const auto values = basis.evaluate_all_basis_functions(0.5);
  ASSERT_EQ(values.size(), 8U);
  EXPECT_EQ(values[0], 1.0);
  EXPECT_EQ(values[4], -0.5);
  EXPECT_EQ(bits_of(values[6]), bits_of(-0.0));
  const auto derivatives = basis.evaluate_all_basis_function_derivatives(0.5);
  EXPECT_EQ(bits_of(derivatives[0]), bits_of(0.0));
  EXPECT_EQ(derivatives[2], 2.0);
  EXPECT_EQ(derivatives[4], 0.0);
  EXPECT_EQ(derivatives[6], -3.0);  // P'_3(0) = -3/2, times 2/h with h = 1
}

TEST(AllBasisFunctions, HugeSizesAreCapacityOverflow) {
  const LegendreBasis basis{4294967295U, 4294967295U, 1.0};
  EXPECT_EQ(failure_message([&] { (void)basis.evaluate_all_basis_functions(0.5); }),
            "capacity overflow");
}

}  // namespace
}  // namespace quorvel
