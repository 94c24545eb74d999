#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "diagnostics_capture.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "support/failure.hpp"
#include "support/thread_count.hpp"

namespace quorvel {
namespace {

std::size_t task_count() {
  const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Threads of pools from earlier tests leave a moment after those pools; the
// count is taken once it has stopped changing.
std::size_t settled_task_count() {
  std::size_t count = task_count();
  for (int unchanged = 0, attempt = 0; unchanged < 5 && attempt < 200; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::size_t now = task_count();
    unchanged = now == count ? unchanged + 1 : 0;
    count = now;
  }
  return count;
}

TEST(ThreadCountSetting, ParsesOnlyPlainUnsignedDecimals) {
  const std::pair<const char*, std::optional<std::size_t>> cases[] = {
      {"3", 3},
      {"+3", 3},
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", SIZE_MAX},
      {"18446744073709551616", {}},
      {"abc", {}},
      {"-2", {}},
      {"-0", {}},
      {" 3", {}},
      {"3 ", {}},
      {"", {}},
      {"+", {}},
      {"++3", {}},
      {"3a", {}}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_thread_count(text), expected) << '"' << text << '"';
  }
  // RAYON_NUM_THREADS decides when it parses (0: the default count, nullopt);
  // otherwise RAYON_RS_NUM_CPUS, where only n >= 1 counts.
  EXPECT_EQ(requested_thread_count("+3", "2"), 3u);
  EXPECT_EQ(requested_thread_count("0", "5"), std::nullopt);
  for (const char* ignored : {"abc", "-2", " 3", "", "99999999999999999999"}) {
    EXPECT_EQ(requested_thread_count(ignored, "2"), 2u) << '"' << ignored << '"';
  }
  EXPECT_EQ(requested_thread_count(nullptr, "+2"), 2u);
  EXPECT_EQ(requested_thread_count("abc", "0"), std::nullopt);
  EXPECT_EQ(requested_thread_count(nullptr, nullptr), std::nullopt);
}

TEST(ThreadCountSetting, ControlGroupQuotaIsTheLeastOverAncestors) {
  const auto root =
      std::filesystem::temp_directory_path() / ("quorvel_cgroup_" + std::to_string(::getpid()));
  for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
           {"a/b/cpu.max", "max 100000"},
           {"a/cpu.max", "250000 100000"},
           {"c/cpu.max", "50000 100000"},
           {"cpu,cpuacct/x/cpu.cfs_quota_us", "300000"},
           {"cpu,cpuacct/x/cpu.cfs_period_us", "100000"},
           {"cpu,cpuacct/y/cpu.cfs_quota_us", "-1"},
           {"cpu,cpuacct/y/cpu.cfs_period_us", "100000"}}) {
    std::filesystem::create_directories((root / file).parent_path());
    std::ofstream(root / file) << text << '\n';
  }
  const std::string r = root.string();
  EXPECT_EQ(cgroup_cpu_limit("0::/a/b\n", r), 2u);  // set on the parent only
  EXPECT_EQ(cgroup_cpu_limit("0::/c\n", r), 1u);    // half a CPU still gives one
  EXPECT_EQ(cgroup_cpu_limit("0::/\n", r), std::nullopt);
  EXPECT_EQ(cgroup_cpu_limit("0::/a/../c\n", r), std::nullopt);  // never leaves the root
  EXPECT_EQ(cgroup_cpu_limit("1:name=systemd:/\n5:cpu,cpuacct:/x\n", r), 3u);
  EXPECT_EQ(cgroup_cpu_limit("5:cpu,cpuacct:/y\n", r), std::nullopt);
  EXPECT_EQ(cgroup_cpu_limit("5:cpu,cpuacct:/x\n0::/a/b\n", r), 2u);  // hybrid: least wins
  EXPECT_EQ(cgroup_cpu_limit("5:cpuacct:/x\n", r), std::nullopt);
  std::filesystem::remove_all(root);
  EXPECT_GE(default_thread_count(), 1u);
}

TEST(ThreadPool, StartsEveryWorkerWhenBuiltAndIdlesWithoutSpinning) {
  const std::size_t before = settled_task_count();
  {
    ThreadPool pool(5);
    EXPECT_EQ(task_count(), before + 5);
    timespec start{}, stop{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &stop);
    EXPECT_LT(double(stop.tv_sec - start.tv_sec) + 1e-9 * double(stop.tv_nsec - start.tv_nsec),
              0.05)
        << "idle workers are using CPU";
  }
  EXPECT_EQ(settled_task_count(), before);
}

TEST(ThreadPool, CutsRangesIntoContiguousPiecesRunOnlyByWorkers) {
  struct Piece {
    std::size_t begin, end;
    std::thread::id thread;
  };
  ThreadPool pool(3);
  for (const std::size_t n : {1u, 11u, 12u, 13u, 100003u}) {
    std::mutex mutex;
    std::vector<Piece> pieces;
    pool.for_each_piece(n, [&](std::size_t begin, std::size_t end) {
      // Slow pieces: the submitter must still wait for the last of them.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::lock_guard lock(mutex);
      pieces.push_back({begin, end, std::this_thread::get_id()});
    });
    EXPECT_EQ(pieces.size(), std::min<std::size_t>(n, 12));
    std::sort(pieces.begin(), pieces.end(), [](auto& a, auto& b) { return a.begin < b.begin; });
    std::set<std::thread::id> threads;
    std::size_t covered = 0;
    for (const auto& piece : pieces) {
      EXPECT_EQ(piece.begin, covered);
      EXPECT_LT(piece.begin, piece.end);
      EXPECT_NE(piece.thread, std::this_thread::get_id()) << "the submitter computed a piece";
      covered = piece.end;
      threads.insert(piece.thread);
    }
    EXPECT_EQ(covered, n);
    EXPECT_LE(threads.size(), 3u);
  }
  // A worker that submits to its own pool runs the inner range itself.
  std::vector<int> inner(100, 0);
  pool.for_each_piece(1, [&](std::size_t, std::size_t) {
    pool.for_each_piece(inner.size(), [&](std::size_t begin, std::size_t end) {
      std::fill(inner.begin() + begin, inner.begin() + end, 1);
    });
  });
  EXPECT_EQ(std::count(inner.begin(), inner.end(), 1), 100);
}

TEST(ThreadPool, FailingPiecesLeaveTheOthersToFinish) {
  ThreadPool pool(2);
  const std::size_t n = 8000;  // eight pieces of 1000
  std::vector<char> visited(n, 0);
  testing::CapturedStderr captured;
  try {
    pool.for_each_piece(n, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        if (i == 1500 || i == 6000) fail(i == 1500 ? "first failure" : "second failure");
        visited[i] = 1;
      }
    });
    ADD_FAILURE() << "no failure re-thrown";
  } catch (const InternalFailure& failure) {
    EXPECT_TRUE(failure.message() == "first failure" || failure.message() == "second failure");
  }
  // Both failures reported themselves, whichever was re-thrown.
  auto diagnostics = captured.take();
  std::sort(diagnostics.begin(), diagnostics.end());
  EXPECT_EQ(diagnostics, (std::vector<std::string>{"first failure", "second failure"}));
  for (std::size_t i = 0; i < n; ++i) {
    const bool after_failure = (i >= 1500 && i < 2000) || (i >= 6000 && i < 7000);
    ASSERT_EQ(visited[i], after_failure ? 0 : 1) << "index " << i;
  }
}

std::atomic<int> start_attempts{0};

void refuse_third_worker(std::size_t worker_index) {
  ++start_attempts;
  if (worker_index == 2) throw std::system_error(EAGAIN, std::generic_category());
}

TEST(LazyThreadPool, BuildFailureIsReportedAndNeverRetried) {
  start_attempts = 0;
  const std::size_t before = settled_task_count();
  LazyThreadPool slot([] { return std::size_t{4}; }, refuse_third_worker);
  const LegendreBasis basis{1, 8, 1.0};
  const DofMatrix dofs = DofMatrix::Constant(8, 2, 0.5);
  const std::string prefix = "The global thread pool has not been initialized.: ";
  const std::string first_error =
      "could not start worker thread 3 of 4: Resource temporarily unavailable (os error 11)";
  for (const std::string& expected :
       {prefix + first_error, prefix +
                                  "its initialization was already attempted and failed, "
                                  "and is not retried (" +
                                  first_error + ")"}) {
    testing::CapturedStderr captured;
    try {
      (void)evaluate_many(basis, dofs, std::vector<double>(2048, 0.25), slot);
      ADD_FAILURE() << "a large batch did not fail";
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.message(), expected);
    }
    EXPECT_EQ(captured.take(), std::vector<std::string>{expected});
    EXPECT_EQ(start_attempts.load(), 3);
    EXPECT_EQ(slot.built(), nullptr);
    EXPECT_EQ(settled_task_count(), before) << "workers of the failed build are left running";
    EXPECT_EQ(evaluate_many(basis, dofs, std::vector<double>(2047, 0.25), slot).back(),
              basis.evaluate(dofs, 0.25));
  }
}

}  // namespace
}  // namespace quorvel
