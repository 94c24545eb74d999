#include "piecewise_polynomials/batch_evaluation.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "diagnostics_capture.hpp"
#include "support/failure.hpp"
#include "support/thread_count.hpp"

namespace quorvel {
namespace {

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
  const std::vector<double> results = batch(times);
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
