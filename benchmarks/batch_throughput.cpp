// The batch kernel on one thread, per instruction set, against the one-time
// evaluation in a loop; and the worker pool of two threads against one.
//
// 10^6 random times in [0, T], degree 3, n_t = 1000. Each configuration is
// timed in several rounds and the median is reported; configurations take
// turns within each round, so that a machine whose speed drifts (shared
// hosts do) slows all of them alike. Every run's results are checked against
// the one-time evaluation bit for bit. Last, the floor of the arithmetic: the three
// IEEE divisions that every time needs (t / h, the reference coordinate's, and the
// recurrence's by 3 at degree 3), alone, as latency (one time after another, as one
// evaluate_at call runs them) and as throughput in the widest lanes. Usage:
//   batch_throughput [repeats]

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/batch_kernel.hpp"
#include "support/lanes.hpp"

namespace {

using quorvel::DofMatrix;
using quorvel::LegendreBasis;

struct Configuration {
  std::string name;
  std::function<void(quorvel::BulkArray<double>&)> run;
  std::vector<double> seconds{};  // filled by the measurement
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 == 1 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

const char* verdict(bool pass) { return pass ? "PASS" : "MISS"; }

template <class Run>
double median_seconds(int repeats, Run&& run) {
  std::vector<double> seconds;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return median(std::move(seconds));
}

// The divisions of a time alone, in the kernel's dependence order: the quotient, the
// reference coordinate's quotient of the shifted time, the recurrence's by 3.
template <class V>
inline V three_divisions(V t, double h, double width) {
  const V q = t / h;
  const V x = (q + q) / width;
  return x / 3.0;
}

// Throughput: eight times per step in the AVX-512 registers.
[[gnu::target("avx512f")]] [[gnu::noinline]] void divisions_avx512(const double* t, double* out,
                                                                   std::size_t n, double h,
                                                                   double width) {
  using V = quorvel::simd::Vec<8>;
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    V v;
    __builtin_memcpy(&v, t + i, sizeof v);
    v = three_divisions(v, h, width);
    __builtin_memcpy(out + i, &v, sizeof v);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const std::size_t n = 1'000'000;
  const LegendreBasis basis{3, 1000, 1.0};

  std::mt19937_64 random(20240601);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::uniform_real_distribution<double> time(0.0, basis.T);
  DofMatrix dofs(basis.n_t, basis.degree + 1);
  for (Eigen::Index i = 0; i < dofs.size(); ++i) dofs.data()[i] = value(random);
  std::vector<double> times(n);
  for (double& t : times) t = time(random);

  std::vector<double> expected(n);
  for (std::size_t i = 0; i < n; ++i) expected[i] = basis.evaluate(dofs, times[i]);

  quorvel::LazyThreadPool one([] { return std::size_t{1}; });
  quorvel::LazyThreadPool two([] { return std::size_t{2}; });
  (void)one.get();  // built outside the timings
  (void)two.get();
  const quorvel::kernel::Expansion expansion = basis.expansion(dofs);

  std::vector<Configuration> configurations;
  // The one-time kernel in a loop: what every batch ran before the kernel was
  // vectorised (the degree fixed at compile time, one time per step).
  configurations.push_back({"scalar loop",
                            [&](quorvel::BulkArray<double>& result) {
                              for (std::size_t i = 0; i < n; ++i) {
                                result[i] = quorvel::kernel::evaluate<1, 3, 0>(expansion, times[i],
                                                                               0, nullptr);
                              }
                            },
                            {}});
  // Each variant as batches run it: with the interval-by-interval DOF copy
  // where the variant reads one (built outside the timing).
  std::vector<std::vector<double>> rows;
  for (const quorvel::InstructionSet set : quorvel::supported_instruction_sets()) {
    const quorvel::ForcedInstructionSet forced(set);
    rows.push_back(quorvel::reads_interval_rows(basis.degree)
                       ? quorvel::interval_rows(expansion, basis.n_t)
                       : std::vector<double>{});
    configurations.push_back(
        {std::string("kernel, ") + quorvel::name_of(set),
         [&, set, copy = rows.back().data()](quorvel::BulkArray<double>& result) {
           const quorvel::ForcedInstructionSet forced_here(set);
           quorvel::kernel::Expansion e = expansion;
           e.rows = copy;
           quorvel::evaluate_contiguous(e, 0, times.data(), result.data(), n);
         },
         {}});
  }
  const std::size_t first_pool = configurations.size();
  configurations.push_back({"pool of 1 thread",
                            [&](quorvel::BulkArray<double>& result) {
                              result = quorvel::evaluate_many(basis, dofs, times, one);
                            },
                            {}});
  configurations.push_back({"pool of 2 threads",
                            [&](quorvel::BulkArray<double>& result) {
                              result = quorvel::evaluate_many(basis, dofs, times, two);
                            },
                            {}});

  quorvel::BulkArray<double> result(n);
  std::vector<double> round_speedups;
  const std::size_t count = configurations.size();
  for (int r = 0; r < repeats; ++r) {
    std::vector<double> round(count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t which = (r + k) % count;
      std::fill(result.begin(), result.end(), -1.0);
      const auto start = std::chrono::steady_clock::now();
      configurations[which].run(result);
      const auto stop = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < n; ++i) {
        if (std::bit_cast<std::uint64_t>(result[i]) != std::bit_cast<std::uint64_t>(expected[i])) {
          std::fprintf(stderr, "%s: result %zu differs from the one-time evaluation\n",
                       configurations[which].name.c_str(), i);
          return 1;
        }
      }
      round[which] = std::chrono::duration<double>(stop - start).count();
      configurations[which].seconds.push_back(round[which]);
    }
    round_speedups.push_back(round[first_pool] / round[first_pool + 1]);
  }

  std::printf("batch kernel, %zu random times, degree %u, n_t %u, median of %d runs\n", n,
              basis.degree, basis.n_t, repeats);
  for (const Configuration& c : configurations) {
    const double seconds = median(c.seconds);
    std::printf("  %-24s %8.2f ms  %6.2f ns per evaluation\n", c.name.c_str(), 1e3 * seconds,
                1e9 * seconds / double(n));
  }
  const double scalar = median(configurations[0].seconds);
  const double best = median(configurations[first_pool - 1].seconds);
  const double per_evaluation = 1e9 * best / double(n);
  std::printf(
      "kernel on one thread (%s): %.2f ns per evaluation (target <= 4), %.2fx the scalar loop "
      "(target >= 3.5): %s\n",
      quorvel::name_of(quorvel::supported_instruction_sets().back()), per_evaluation, scalar / best,
      verdict(per_evaluation <= 4.0 || scalar / best >= 3.5));
  const double speedup = median(round_speedups);
  std::printf(
      "pool of 2 threads over pool of 1 at %zu times, taking turns with the other runs: %.2fx "
      "(a 1.6 ms batch: the second worker's wake-up on a shared host is a large part of it)\n",
      n, speedup);

  // The pool's scaling on a batch ten times as large, the two pools back to back.
  const std::size_t large = 10 * n;
  std::vector<double> many(large);
  for (std::size_t i = 0; i < large; ++i) many[i] = times[i % n];
  std::vector<double> large_speedups;
  for (int r = 0; r < repeats; ++r) {
    double seconds[2];
    for (int k = 0; k < 2; ++k) {
      quorvel::LazyThreadPool& pool = ((r + k) % 2 == 0) ? one : two;
      const auto start = std::chrono::steady_clock::now();
      const auto values = quorvel::evaluate_many(basis, dofs, many, pool);
      const auto stop = std::chrono::steady_clock::now();
      if (std::bit_cast<std::uint64_t>(values[large - 1]) !=
          std::bit_cast<std::uint64_t>(expected[(large - 1) % n])) {
        std::fprintf(stderr, "the large batch differs from the one-time evaluation\n");
        return 1;
      }
      seconds[&pool == &one ? 0 : 1] = std::chrono::duration<double>(stop - start).count();
    }
    large_speedups.push_back(seconds[0] / seconds[1]);
  }
  const double large_speedup = median(large_speedups);
  std::printf(
      "pool of 2 threads over pool of 1 at %zu times: %.2fx, median of rounds (target >= 1.8): "
      "%s\n",
      large, large_speedup, verdict(large_speedup >= 1.8));

  // The floor of the arithmetic. Latency: each time waits for the previous result (0.0
  // times a finite result adds nothing but the dependence), as one call's does.
  const double h = basis.h();
  const double width = (h + h * 500.0) - h * 500.0;
  double chained = 0.0;
  const double latency_divisions = median_seconds(repeats, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      chained = three_divisions(times[i] + 0.0 * chained, h, width);
    }
  });
  const double latency_evaluation = median_seconds(repeats, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      chained = basis.evaluate(dofs, times[i] + 0.0 * chained);
    }
  });
  std::printf(
      "the arithmetic of one call, one time after another: three dependent divisions %.2f ns, "
      "the one-time evaluation (LegendreBasis::evaluate) %.2f ns, %.2fx the divisions\n",
      1e9 * latency_divisions / double(n), 1e9 * latency_evaluation / double(n),
      latency_evaluation / latency_divisions);
  volatile double kept = chained;  // the chains' results are used, so they are computed
  (void)kept;
  const bool has_avx512 =
      quorvel::supported_instruction_sets().back() == quorvel::InstructionSet::avx512;
  if (has_avx512) {
    std::vector<double> out(n);
    const double throughput =
        median_seconds(repeats, [&] { divisions_avx512(times.data(), out.data(), n, h, width); });
    const double copy =
        median_seconds(repeats, [&] { std::copy(times.begin(), times.end(), out.begin()); });
    std::printf(
        "the arithmetic of a batch on one thread (avx512): three divisions per time %.2f ns, "
        "copying a time %.2f ns; the avx512 kernel above is %.2fx the divisions\n",
        1e9 * throughput / double(n), 1e9 * copy / double(n), best / throughput);
  }
  return 0;
}
