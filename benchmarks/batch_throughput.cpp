// Throughput of evaluate_many on worker pools of one and two threads.
//
// 10^6 random times in [0, T], degree 3, n_t = 1000. Each configuration is
// timed in several rounds and the median is reported. The floors measured in
// the same run are the plain loop on the calling thread (for one worker) and
// two plain threads that each compute one half (for two workers). Usage:
//   batch_throughput [repeats]

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "piecewise_polynomials/batch_evaluation.hpp"

namespace {

using quorvel::DofMatrix;
using quorvel::LegendreBasis;

using Run = std::function<std::vector<double>()>;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 == 1 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

double seconds_of(const Run& run, const std::vector<double>& expected) {
  const auto start = std::chrono::steady_clock::now();
  const std::vector<double> result = run();
  const auto stop = std::chrono::steady_clock::now();
  // A run that computed something else would time nothing worth reporting.
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(result[i]) != std::bit_cast<std::uint64_t>(expected[i])) {
      std::fprintf(stderr, "result %zu differs from the single evaluation\n", i);
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(stop - start).count();
}

void report(const char* name, double seconds, std::size_t n) {
  std::printf("%-26s %9.2f ms  %8.2f M evaluations/s\n", name, 1e3 * seconds,
              double(n) / seconds / 1e6);
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

  // The configurations take turns within each round, so that a machine
  // whose speed drifts (shared hosts do) slows all of them alike; the
  // speed-up is also taken round by round.
  const Run runs[] = {[&] {
                        std::vector<double> result(n);
                        for (std::size_t i = 0; i < n; ++i)
                          result[i] = basis.evaluate(dofs, times[i]);
                        return result;
                      },
                      [&] { return quorvel::evaluate_many(basis, dofs, times, one); },
                      [&] { return quorvel::evaluate_many(basis, dofs, times, two); },
                      [&] {
                        // What two threads give on this machine right now, without any pool:
                        // two fresh threads, each computing one half.
                        std::vector<double> result(n);
                        auto half = [&](std::size_t begin, std::size_t end) {
                          for (std::size_t i = begin; i < end; ++i)
                            result[i] = basis.evaluate(dofs, times[i]);
                        };
                        std::thread first(half, 0, n / 2);
                        half(n / 2, n);
                        first.join();
                        return result;
                      }};
  constexpr int configurations = std::size(runs);
  std::vector<double> seconds[configurations];
  std::vector<double> round_speedups;
  for (int r = 0; r < repeats; ++r) {
    double round[configurations];
    for (int k = 0; k < configurations; ++k) {
      const int which = (r + k) % configurations;
      round[which] = seconds_of(runs[which], expected);
      seconds[which].push_back(round[which]);
    }
    round_speedups.push_back(round[1] / round[2]);
  }
  const double loop = median(seconds[0]);
  const double pool_one = median(seconds[1]);
  const double pool_two = median(seconds[2]);
  const double halves = median(seconds[3]);

  std::printf("evaluate_many, %zu times, degree %u, n_t %u, median of %d runs\n", n, basis.degree,
              basis.n_t, repeats);
  report("plain loop, caller thread", loop, n);
  report("pool of 1 thread", pool_one, n);
  report("pool of 2 threads", pool_two, n);
  report("two plain threads, halves", halves, n);
  std::printf("time ratio, pool of 1 / plain loop:          %.3f\n", pool_one / loop);
  std::printf("time ratio, pool of 2 / two plain threads:   %.3f\n", pool_two / halves);
  std::printf("speed-up, two plain threads over the loop:  %.2fx (what the machine gives)\n",
              loop / halves);
  std::printf(
      "speed-up, pool of 2 over pool of 1:          %.2fx (of medians), %.2fx (median of "
      "rounds)\n",
      pool_one / pool_two, median(round_speedups));
  return 0;
}
