// Where the batches place times (the quotient rule, the two mesh rules, given
// intervals), and the components kernel against the scalar one.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "piecewise_polynomials/batch_kernel.hpp"

namespace quorvel {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Mesh points h c and h + h c, their neighbours one ulp away, and times beyond.
std::vector<double> mesh_times(std::uint32_t n_t, double T, std::uint32_t seed) {
  const double h = T / n_t;
  std::vector<double> times{nan, inf, -inf, 0.0, -0.0, -T, T, 2 * T, 1e300, -1e300};
  for (std::uint32_t c = 0; c <= n_t; ++c) {
    for (const double point : {h * c, h + h * c}) {
      times.insert(times.end(), {point, std::nextafter(point, -inf), std::nextafter(point, inf)});
    }
  }
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> uniform(-0.1 * T, 1.1 * T);
  for (int k = 0; k < 200; ++k) {
    times.push_back(uniform(random));
  }
  return times;
}

// The definition: with `right`, the last interval whose mesh point h c is at most t;
// with `left`, the first whose right mesh point h (c + 1) is at least t; clamped to the
// mesh, NaN in interval 0.
std::int64_t interval_by_definition(kernel::Rule rule, double t, double h, std::uint32_t n_t) {
  if (std::isnan(t)) {
    return 0;
  }
  if (rule == kernel::Rule::right) {
    std::int64_t c = 0;
    for (std::uint32_t k = 1; k < n_t; ++k) {
      if (h * static_cast<double>(k) <= t) {
        c = k;
      }
    }
    return c;
  }
  for (std::uint32_t k = 0; k < n_t; ++k) {
    if (t <= h * static_cast<double>(k + 1)) {
      return k;
    }
  }
  return n_t - 1;
}

TEST(Placement, MeshRulesFollowTheMeshPointsOnEveryInstructionSet) {
  struct Mesh {
    std::uint32_t n_t;
    double T;
  };
  // h * 15 / h rounds below 15 for n_t = 49: the quotient rule puts that mesh point left.
  for (const Mesh mesh :
       {Mesh{49, 1.0}, Mesh{1000, 3.0}, Mesh{7, 2.5}, Mesh{3, 1e-3}, Mesh{1, 4.0}}) {
    const double h = mesh.T / mesh.n_t;
    const auto times = mesh_times(mesh.n_t, mesh.T, mesh.n_t);
    const kernel::Expansion shape{h, static_cast<double>(mesh.n_t) - 1.0, 2, nullptr, 0};
    std::size_t moved = 0;  // times the mesh rules place apart from the quotient rule
    for (const InstructionSet set : supported_instruction_sets()) {
      const ForcedInstructionSet forced(set);
      for (const kernel::Rule rule : {kernel::Rule::right, kernel::Rule::left}) {
        SCOPED_TRACE(std::string(name_of(set)) + ", n_t " + std::to_string(mesh.n_t) +
                     (rule == kernel::Rule::left ? ", left" : ", right"));
        std::vector<std::int64_t> intervals(times.size());
        std::vector<double> values(times.size() * 3);
        tabulate_contiguous(shape, 0, times.data(), intervals.data(), values.data(), times.size(),
                            {rule, nullptr});
        std::vector<std::int64_t> quotient(times.size());
        tabulate_contiguous(shape, 0, times.data(), quotient.data(), values.data(), times.size());
        for (std::size_t i = 0; i < times.size(); ++i) {
          ASSERT_EQ(intervals[i], interval_by_definition(rule, times[i], h, mesh.n_t))
              << "t = " << times[i];
          // The one-lane rule agrees with the batch.
          const auto one = kernel::place<1>(rule, times[i], h, mesh.n_t - 1.0, nullptr);
          ASSERT_EQ(one.interval, intervals[i]);
          moved += quotient[i] != intervals[i] ? 1 : 0;
        }
      }
    }
    if (mesh.n_t == 49) {
      EXPECT_GT(moved, 0U);  // the trap the mesh rules close
    }
  }
}

TEST(Placement, GivenIntervalsAreTakenAsTheyAre) {
  const double h = 0.125;
  const kernel::Expansion shape{h, 7.0, 3, nullptr, 0};
  // The right end of interval 2 in two forms, and times far off their interval.
  const std::vector<double> times{h + h * 2, h * 3, 0.3, 5.0, -1.0, nan, 0.0};
  const std::vector<std::int64_t> given{2, 2, 0, 7, 3, 5, 6};
  std::vector<std::int64_t> intervals(times.size());
  std::vector<double> values(times.size() * 4);
  tabulate_contiguous(shape, 0, times.data(), intervals.data(), values.data(), times.size(),
                      {kernel::Rule::given, given.data()});
  EXPECT_EQ(intervals, given);
  for (std::size_t i = 0; i < times.size(); ++i) {
    const double a = h * static_cast<double>(given[i]);
    const double x = kernel::reference_coordinate<1>(times[i], a, h + a);
    EXPECT_EQ(bits(values[i * 4 + 1]), bits(x)) << "t = " << times[i];  // P_1(x) = x
  }
  EXPECT_EQ(values[1 * 4 + 1], 1.0);  // h * 3 is the right end of interval 2
}

TEST(ComponentsKernel, EachComponentIsTheScalarEvaluationBitForBit) {
  const std::uint32_t n_t = 9;
  const double T = 2.25;
  const double h = T / n_t;
  const auto times = mesh_times(n_t, T, 11);
  std::vector<std::int64_t> given(times.size());
  for (std::size_t i = 0; i < times.size(); ++i) {
    given[i] = static_cast<std::int64_t>((i * 5) % n_t);
  }
  std::mt19937_64 random(3);
  std::uniform_real_distribution<double> value(-2.0, 2.0);
  for (const InstructionSet set : supported_instruction_sets()) {
    const ForcedInstructionSet forced(set);
    for (const std::uint32_t degree : {0U, 1U, 2U, 3U, 7U, 9U}) {
      for (const std::uint64_t m : {1U, 2U, 3U, 5U, 8U, 17U}) {
        std::vector<double> coefficients((degree + 1) * n_t * m);
        for (double& c : coefficients) {
          c = value(random);
        }
        coefficients[m] = nan;  // NaN and infinite coefficients: one quiet NaN out
        coefficients.back() = -inf;
        const ComponentExpansion expansion{h, n_t - 1.0, degree, n_t, m, coefficients.data()};
        for (const kernel::Rule rule : {kernel::Rule::quotient, kernel::Rule::right,
                                        kernel::Rule::left, kernel::Rule::given}) {
          const Placement where{rule, rule == kernel::Rule::given ? given.data() : nullptr};
          for (std::uint32_t order = 0; order <= degree + 2; ++order) {
            SCOPED_TRACE(std::string(name_of(set)) + ", degree " + std::to_string(degree) + ", m " +
                         std::to_string(m) + ", rule " + std::to_string(static_cast<int>(rule)) +
                         ", order " + std::to_string(order));
            std::vector<double> all(times.size() * m);
            evaluate_components_contiguous(expansion, order, times.data(), all.data(), times.size(),
                                           where);
            for (std::uint64_t j = 0; j < m; ++j) {
              // Component j alone: DOF d(c, k) at coefficients[(k n_t + c) m + j].
              std::vector<double> dofs((degree + 1) * n_t);
              for (std::size_t k = 0; k < dofs.size(); ++k) {
                dofs[k] = coefficients[k * m + j];
              }
              const kernel::Expansion alone{h, n_t - 1.0, degree, dofs.data(), n_t};
              std::vector<double> expected(times.size());
              evaluate_contiguous(alone, order, times.data(), expected.data(), times.size(), where);
              for (std::size_t i = 0; i < times.size(); ++i) {
                ASSERT_EQ(bits(all[i * m + j]), bits(expected[i]))
                    << "component " << j << ", t = " << times[i];
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
