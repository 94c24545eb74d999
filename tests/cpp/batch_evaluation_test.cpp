#include "piecewise_polynomials/batch_evaluation.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics_capture.hpp"
#include "piecewise_polynomials/batch_kernel.hpp"
#include "support/failure.hpp"
#include "support/thread_count.hpp"

namespace quorvel {
namespace {

// The batches on the process-wide pool, as the module runs them.
BulkArray<double> evaluate_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                std::span<const double> times) {
  return quorvel::evaluate_many(basis, dofs, times, global_thread_pool());
}
BulkArray<double> evaluate_derivative_many(const LegendreBasis& basis, const DofMatrix& dofs,
                                           std::span<const double> times) {
  return quorvel::evaluate_derivative_many(basis, dofs, times, global_thread_pool());
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

DofMatrix random_dofs(const LegendreBasis& basis, std::uint32_t seed, Eigen::Index cols) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  DofMatrix dofs(basis.n_t, cols);
  for (Eigen::Index i = 0; i < dofs.size(); ++i) dofs.data()[i] = value(random);
  return dofs;
}

// Random times over and beyond [0, T], mixed with mesh nodes and special values.
std::vector<double> mixed_times(const LegendreBasis& basis, std::size_t n, std::uint32_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> time(-0.5 * basis.T, 1.5 * basis.T);
  const double h = basis.T / basis.n_t;
  const double specials[] = {nan, inf, -inf, -0.0, 0.0, basis.T, 1e300, -1e300, 5e-324};
  std::vector<double> times(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (i % 7) {
      case 3: times[i] = specials[(i / 7) % std::size(specials)]; break;
      case 5: times[i] = h * double(i % (basis.n_t + 1)); break;
      default: times[i] = time(random);
    }
  }
  return times;
}

// Every result must carry exactly the bits of the single evaluation.
template <class Batch, class Single>
void expect_bitwise_single(const std::vector<double>& times, Batch batch, Single single) {
  const auto results = batch(times);
  ASSERT_EQ(results.size(), times.size());
  for (std::size_t i = 0; i < times.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(results[i]),
              std::bit_cast<std::uint64_t>(single(times[i])))
        << "index " << i << " of " << times.size() << ", time " << times[i];
  }
}

TEST(BatchEvaluation, MatchesSingleEvaluationBitForBit) {
  LazyThreadPool one([] { return std::size_t{1}; });
  LazyThreadPool three([] { return std::size_t{3}; });
  LazyThreadPool eight([] { return std::size_t{8}; });
  // Degrees 0 to 6 run compile-time instantiations of the kernel, 7 and 8 the general one.
  for (const std::uint32_t degree : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    const LegendreBasis basis{degree, 13, 2.5};
    const DofMatrix dofs = random_dofs(basis, degree, degree + 1);
    auto value = [&](double t) { return basis.evaluate(dofs, t); };
    auto slope = [&](double t) { return basis.evaluate_derivative(dofs, t); };
    for (const std::size_t n : {0u, 1u, 7u, 2047u, 2048u, 2049u, 10007u}) {
      SCOPED_TRACE("degree " + std::to_string(degree) + ", " + std::to_string(n) + " times");
      const auto times = mixed_times(basis, n, static_cast<std::uint32_t>(n));
      expect_bitwise_single(times, [&](auto& t) { return evaluate_many(basis, dofs, t); }, value);
      expect_bitwise_single(
          times, [&](auto& t) { return evaluate_derivative_many(basis, dofs, t); }, slope);
      for (LazyThreadPool* pool : {&one, &three, &eight}) {
        expect_bitwise_single(
            times, [&](auto& t) { return evaluate_many(basis, dofs, t, *pool); }, value);
        expect_bitwise_single(
            times, [&](auto& t) { return evaluate_derivative_many(basis, dofs, t, *pool); }, slope);
      }
    }
  }
}

TEST(BatchEvaluation, LargerDofMatricesAreReadWithTheirOwnStride) {
  const LegendreBasis basis{3, 13, 2.5};
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  DofMatrix dofs(basis.n_t + 4, 6);  // extra rows and columns are never read
  for (Eigen::Index i = 0; i < dofs.size(); ++i) dofs.data()[i] = value(random);
  const auto times = mixed_times(basis, 4096, 11);
  expect_bitwise_single(
      times, [&](auto& t) { return evaluate_many(basis, dofs, t); },
      [&](double t) { return basis.evaluate(dofs, t); });
}

TEST(BatchEvaluation, TooFewColumnsFailsAndThePoolStaysUsable) {
  const LegendreBasis basis{3, 50, 1.0};
  const DofMatrix narrow = random_dofs(basis, 2, 3);
  const DofMatrix proper = random_dofs(basis, 2, 4);
  for (const std::size_t n : {10u, 10000u}) {
    const auto times = mixed_times(basis, n, 3);
    for (const bool derivative : {false, true}) {
      testing::CapturedStderr captured;
      try {
        (void)(derivative ? evaluate_derivative_many(basis, narrow, times)
                          : evaluate_many(basis, narrow, times));
        ADD_FAILURE() << "no failure for " << n << " times";
      } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "Matrix index out of bounds.");
      }
      // On the pool every piece fails and reports, each from its own thread.
      const auto diagnostics = captured.take();
      EXPECT_FALSE(diagnostics.empty());
      for (const auto& message : diagnostics) EXPECT_EQ(message, "Matrix index out of bounds.");
    }
    expect_bitwise_single(
        times, [&](auto& t) { return evaluate_many(basis, proper, t); },
        [&](double t) { return basis.evaluate(proper, t); });
  }
}

TEST(BatchEvaluation, SharedPoolServesConcurrentCallers) {
  LazyThreadPool slot([] { return std::size_t{2}; });  // the first callers race to build it
  std::vector<std::thread> callers;
  for (std::uint32_t c = 0; c < 4; ++c) {
    callers.emplace_back([&slot, c] {
      const LegendreBasis basis{c + 1, 17, 3.0};
      const DofMatrix dofs = random_dofs(basis, c, c + 2);
      for (std::uint32_t round = 0; round < 20; ++round) {
        expect_bitwise_single(
            mixed_times(basis, 2048 + round * 997, c * 100 + round),
            [&](auto& t) { return evaluate_many(basis, dofs, t, slot); },
            [&](double t) { return basis.evaluate(dofs, t); });
      }
    });
  }
  for (auto& caller : callers) caller.join();
}

// The process-wide pool is built once per process, so these run in a fresh one.
void expect_in_fresh_process(const std::function<int()>& check) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(check()), ::testing::ExitedWithCode(0), "");
}

const LegendreBasis global_basis{3, 20, 2.0};

bool global_batch_is_exact(std::size_t n) {
  const DofMatrix dofs = random_dofs(global_basis, 7, 4);
  const auto times = mixed_times(global_basis, n, 11);
  const auto results = evaluate_many(global_basis, dofs, times);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::bit_cast<std::uint64_t>(results[i]) !=
        std::bit_cast<std::uint64_t>(global_basis.evaluate(dofs, times[i]))) {
      return false;
    }
  }
  return results.size() == n;
}

struct EnvironmentCase {
  const char* num_threads;
  const char* num_cpus;
  std::size_t expected;  // 0: the default count
};

int global_pool_follows_environment(const EnvironmentCase& c) {
  ::setenv("RAYON_NUM_THREADS", c.num_threads, 1);
  ::setenv("RAYON_RS_NUM_CPUS", c.num_cpus, 1);
  const std::size_t expected = c.expected == 0 ? default_thread_count() : c.expected;
  if (!global_batch_is_exact(0) || !global_batch_is_exact(2047) || global_thread_pool_is_built()) {
    return 1;  // small batches must not build the pool
  }
  if (!global_batch_is_exact(2048) || global_thread_pool_thread_count() != expected) {
    return 2;
  }
  ::setenv("RAYON_NUM_THREADS", "6", 1);  // read only when the pool is built
  return global_batch_is_exact(50000) && global_thread_pool_thread_count() == expected ? 0 : 3;
}

TEST(GlobalThreadPool, IsSizedFromTheEnvironmentWhenFirstNeeded) {
  for (const EnvironmentCase& c : {EnvironmentCase{"3", "7", 3}, EnvironmentCase{" 3", "2", 2},
                                   EnvironmentCase{"0", "5", 0}}) {
    SCOPED_TRACE(std::string(c.num_threads) + " / " + c.num_cpus);
    expect_in_fresh_process([&c] { return global_pool_follows_environment(c); });
  }
}

int global_pool_works_in_forked_child() {
  ::setenv("RAYON_NUM_THREADS", "2", 1);
  if (!global_batch_is_exact(4096)) return 1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(30);  // a child waiting for its parent's workers would hang
    ::_exit(global_batch_is_exact(100000) && global_thread_pool_thread_count() == 2 ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return 2;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 3;
  return global_batch_is_exact(100000) ? 0 : 4;
}

TEST(GlobalThreadPool, WorksAgainInAForkedChild) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#endif
  expect_in_fresh_process(global_pool_works_in_forked_child);
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// ------------------------------------------------ the vectorised kernel

// The one-time evaluation of any order: the same kernel on a single lane.
double one_time(const LegendreBasis& basis, const DofMatrix& dofs, std::uint32_t order, double t) {
  if (order == 0) return basis.evaluate(dofs, t);
  if (order == 1) return basis.evaluate_derivative(dofs, t);
  if (order > basis.degree) return 0.0;
  std::vector<double> scratch(kernel::scratch_size(order));
  return kernel::evaluate<1, kernel::runtime_degree, kernel::runtime_order>(
      basis.expansion(dofs), t, order, scratch.data());
}

TEST(BatchKernel, EveryInstructionSetGivesTheOneTimeBits) {
  // NaN and infinite DOFs, a zero, negative, infinite and NaN T: every NaN that
  // arises must come out as the same quiet NaN on every path.
  const double Ts[] = {2.5, 0.0, -1.0, inf, nan};
  for (const InstructionSet set : supported_instruction_sets()) {
    const ForcedInstructionSet forced(set);
    for (const std::uint32_t degree : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u}) {
      for (const double T : Ts) {
        const LegendreBasis basis{degree, 7, T};
        DofMatrix dofs = random_dofs(basis, degree, degree + 1);
        if (degree >= 2) {
          dofs(3, 2) = nan;
          dofs(5, degree) = -inf;
        }
        const auto times = mixed_times(LegendreBasis{degree, 7, 2.5}, 203, degree);
        for (std::uint32_t order = 0; order <= degree + 2; ++order) {
          SCOPED_TRACE(std::string(name_of(set)) + ", degree " + std::to_string(degree) +
                       ", order " + std::to_string(order) + ", T " + std::to_string(T));
          // The DOFs as they are, and copied interval by interval.
          kernel::Expansion expansion = basis.expansion(dofs);
          const std::vector<double> rows = interval_rows(expansion, basis.n_t);
          for (const double* copy : {static_cast<const double*>(nullptr), rows.data()}) {
            expansion.rows = copy;
            std::vector<double> results(times.size());
            evaluate_contiguous(expansion, order, times.data(), results.data(), times.size());
            for (std::size_t i = 0; i < times.size(); ++i) {
              const double expected = one_time(basis, dofs, order, times[i]);
              ASSERT_EQ(std::bit_cast<std::uint64_t>(results[i]),
                        std::bit_cast<std::uint64_t>(expected))
                  << "time " << times[i] << (copy ? ", rows" : "");
              if (std::isnan(expected)) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(expected), 0x7ff8000000000000U);
              }
            }
          }
        }
      }
    }
  }
}

TEST(BatchKernel, EveryInstructionSetTabulatesTheOneTimeBits) {
  for (const InstructionSet set : supported_instruction_sets()) {
    const ForcedInstructionSet forced(set);
    for (const std::uint32_t degree : {0u, 1u, 3u, 6u, 9u}) {
      for (const double T : {2.5, 0.0, -1.0, nan}) {
        const LegendreBasis basis{degree, 7, T};
        const auto times = mixed_times(LegendreBasis{degree, 7, 2.5}, 101, degree + 3);
        const kernel::Expansion mesh{basis.h(), 6.0, degree, nullptr, 0};
        const std::size_t width = degree + 1;
        for (std::uint32_t order = 0; order <= degree + 2; ++order) {
          SCOPED_TRACE(std::string(name_of(set)) + ", degree " + std::to_string(degree) +
                       ", order " + std::to_string(order));
          std::vector<std::int64_t> intervals(times.size());
          std::vector<double> values(times.size() * width);
          tabulate_contiguous(mesh, order, times.data(), intervals.data(), values.data(),
                              times.size());
          std::vector<double> expected(width);
          for (std::size_t i = 0; i < times.size(); ++i) {
            const auto c = basis.basis_derivatives_at(times[i], order, expected);
            ASSERT_EQ(intervals[i], c);
            for (std::size_t k = 0; k < width; ++k) {
              ASSERT_EQ(std::bit_cast<std::uint64_t>(values[i * width + k]),
                        std::bit_cast<std::uint64_t>(expected[k]))
                  << "time " << times[i] << ", k " << k;
            }
          }
        }
      }
    }
  }
}

TEST(BatchKernel, HugeMeshesEvaluateAsTheSameMeshScaledDown) {
  // Beyond half the largest double, a + b of an interval's ends overflows. Scaling T
  // and t by 2^-600 scales every step of the location exactly and leaves x as it is,
  // so the scaled-down mesh, where nothing overflows, is an exact reference.
  const double scale = std::ldexp(1.0, -600);
  for (const InstructionSet set : supported_instruction_sets()) {
    const ForcedInstructionSet forced(set);
    for (const double T : {1.5e308, std::numeric_limits<double>::max(), 9.5e307}) {
      for (const std::uint32_t n_t : {2u, 3u, 7u}) {
        for (const std::uint32_t degree : {1u, 4u, 9u}) {
          SCOPED_TRACE(std::string(name_of(set)) + ", T " + std::to_string(T) + ", n_t " +
                       std::to_string(n_t) + ", degree " + std::to_string(degree));
          const LegendreBasis huge{degree, n_t, T};
          // Meshes whose last end h + h (n_t - 1) is no double have no reference here.
          if (!std::isfinite(huge.h() + huge.h() * (n_t - 1.0))) continue;
          const LegendreBasis small{degree, n_t, T * scale};
          const DofMatrix dofs = random_dofs(huge, degree, degree + 1);
          std::mt19937_64 random(n_t);
          std::uniform_real_distribution<double> time(-0.2 * T, T);
          std::vector<double> times{inf, -inf, nan, T, -T};
          for (std::uint32_t c = 0; c <= n_t; ++c) times.push_back(huge.h() * c);
          while (times.size() < 301) times.push_back(time(random));
          std::vector<double> scaled(times.size());
          for (std::size_t i = 0; i < times.size(); ++i) scaled[i] = times[i] * scale;

          std::vector<double> values(times.size());
          evaluate_contiguous(huge.expansion(dofs), 0, times.data(), values.data(), times.size());
          const std::size_t width = degree + 1;
          std::vector<std::int64_t> intervals(times.size());
          std::vector<double> table(times.size() * width);
          const kernel::Expansion mesh{huge.h(), n_t - 1.0, degree, nullptr, 0};
          tabulate_contiguous(mesh, 0, times.data(), intervals.data(), table.data(), times.size());
          std::vector<double> expected(width);
          for (std::size_t i = 0; i < times.size(); ++i) {
            const double reference = small.evaluate(dofs, scaled[i]);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(huge.evaluate(dofs, times[i])),
                      std::bit_cast<std::uint64_t>(reference))
                << "time " << times[i];
            ASSERT_EQ(std::bit_cast<std::uint64_t>(values[i]),
                      std::bit_cast<std::uint64_t>(reference))
                << "time " << times[i];
            ASSERT_EQ(intervals[i], small.basis_derivatives_at(scaled[i], 0, expected));
            for (std::size_t k = 0; k < width; ++k) {
              ASSERT_EQ(std::bit_cast<std::uint64_t>(table[i * width + k]),
                        std::bit_cast<std::uint64_t>(expected[k]))
                  << "time " << times[i] << ", k " << k;
            }
          }
        }
      }
    }
  }
}

TEST(BatchKernel, ForcingAVariantTheCpuLacksFails) {
  const auto sets = supported_instruction_sets();
  ASSERT_EQ(sets.front(), InstructionSet::baseline);
  EXPECT_EQ(active_instruction_set(), sets.back());
  for (const InstructionSet set : {InstructionSet::avx2, InstructionSet::avx512}) {
    if (std::find(sets.begin(), sets.end(), set) == sets.end()) {
      EXPECT_EQ(testing::failure_message([&] { const ForcedInstructionSet forced{set}; }),
                std::string("this CPU cannot run the ") + name_of(set) + " kernel");
    }
  }
}

// ------------------------------------------------ strided arrays

struct Strided {
  std::vector<std::int64_t> shape;
  std::vector<std::int64_t> strides;  // bytes
  std::ptrdiff_t origin;              // bytes from the start of the memory
};

// Results at every index of a layout compared with the contiguous batch of the
// same times read in C order.
void expect_strided_matches(const LegendreBasis& basis, const DofMatrix& dofs, const Strided& in,
                            const Strided& out, std::vector<std::byte>& in_memory,
                            std::vector<std::byte>& out_memory, std::size_t pool_threads) {
  std::vector<double> times;  // C order of the input layout
  std::vector<std::int64_t> index(in.shape.size(), 0);
  std::int64_t count = 1;
  for (const auto extent : in.shape) count *= extent;
  auto offset = [&](const Strided& s) {
    std::int64_t o = s.origin;
    for (std::size_t a = 0; a < index.size(); ++a) o += index[a] * s.strides[a];
    return o;
  };
  auto advance = [&] {
    for (std::size_t a = index.size(); a-- > 0;) {
      if (++index[a] < in.shape[a]) return;
      index[a] = 0;
    }
  };
  for (std::int64_t i = 0; i < count; ++i, advance()) {
    double t;
    std::memcpy(&t, in_memory.data() + offset(in), sizeof t);
    times.push_back(t);
  }
  const auto expected = evaluate_derivative_many(basis, dofs, times);
  LazyThreadPool pool([pool_threads] { return pool_threads; });
  evaluate_strided(basis, dofs, 1, {in_memory.data() + in.origin, in.shape, in.strides},
                   out_memory.data() + out.origin, out.strides, pool);
  std::fill(index.begin(), index.end(), 0);
  for (std::int64_t i = 0; i < count; ++i, advance()) {
    double r;
    std::memcpy(&r, out_memory.data() + offset(out), sizeof r);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(r), std::bit_cast<std::uint64_t>(expected[i]))
        << "element " << i;
  }
}

TEST(StridedEvaluation, AnyLayoutGivesTheContiguousResults) {
  const LegendreBasis basis{4, 9, 3.0};
  const DofMatrix dofs = random_dofs(basis, 4, 5);
  const std::int64_t d = sizeof(double);
  // Separate memory for times and results (2-D, 60 x 70 = 4200 elements, so
  // that the pool runs): C order, transposed, reversed rows, every other
  // column, broadcast rows (stride 0), unaligned, and 0-d.
  const std::vector<Strided> layouts = {
      {{60, 70}, {70 * d, d}, 0},
      {{60, 70}, {d, 60 * d}, 0},
      {{60, 70}, {-70 * d, d}, 59 * 70 * d},
      {{60, 70}, {140 * d, 2 * d}, 0},
      {{60, 70}, {0, d}, 0},
      {{60, 70}, {70 * d, d}, 3},
  };
  for (std::size_t threads : {1u, 3u}) {
    for (std::size_t a = 0; a < layouts.size(); ++a) {
      for (std::size_t b = 0; b < layouts.size(); ++b) {
        if (layouts[b].strides[0] == 0) continue;  // results need their own elements
        SCOPED_TRACE("times layout " + std::to_string(a) + ", results layout " + std::to_string(b));
        std::vector<std::byte> in_memory(60 * 140 * d + 8);
        std::vector<std::byte> out_memory(60 * 140 * d + 8);
        const auto source = mixed_times(basis, in_memory.size() / d - 1, 17);
        std::memcpy(in_memory.data(), source.data(), source.size() * d);
        expect_strided_matches(basis, dofs, layouts[a], layouts[b], in_memory, out_memory, threads);
      }
    }
  }
  std::vector<std::byte> one(8);
  std::vector<std::byte> result(8);
  const double t = 1.7;
  std::memcpy(one.data(), &t, 8);
  expect_strided_matches(basis, dofs, {{}, {}, 0}, {{}, {}, 0}, one, result, 1);
}

TEST(StridedEvaluation, OverlappingResultsReadTheTimesFirst) {
  const LegendreBasis basis{3, 11, 2.0};
  const DofMatrix dofs = random_dofs(basis, 3, 4);
  const std::int64_t d = sizeof(double);
  const auto source = mixed_times(basis, 5000, 23);
  for (const std::size_t threads : {1u, 2u}) {
    // In place, the results over their own times.
    std::vector<std::byte> memory(source.size() * d);
    std::memcpy(memory.data(), source.data(), memory.size());
    const std::vector<std::int64_t> shape{5000};
    const std::vector<std::int64_t> unit{d};
    expect_strided_matches(basis, dofs, {shape, unit, 0}, {shape, unit, 0}, memory, memory,
                           threads);
    // Reversed onto the same memory, and shifted by one element.
    std::memcpy(memory.data(), source.data(), memory.size());
    expect_strided_matches(basis, dofs, {shape, unit, 0}, {shape, {-d}, 4999 * d}, memory, memory,
                           threads);
    std::vector<std::byte> wider((source.size() + 1) * d);
    std::memcpy(wider.data(), source.data(), source.size() * d);
    expect_strided_matches(basis, dofs, {shape, unit, 0}, {shape, unit, d}, wider, wider, threads);
  }
}

}  // namespace
}  // namespace quorvel
