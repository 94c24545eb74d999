#pragma once
// The worker pool that runs large batches, and the process-wide instance.
//
// A pool has a fixed number of worker threads, all started when it is built.
// A thread outside the pool hands it an index range and blocks until every
// piece of that range has run; it computes nothing itself. The range is cut
// into contiguous pieces, a small multiple of the thread count, which idle
// workers claim one after another; each piece runs in increasing index order
// on one thread. A failure ends only its own piece: the other pieces run to
// their end, and then one failure is re-thrown to the submitter. Several
// outside threads may have ranges in the pool at once.
//
// Our own pool on std::thread: oneTBB was ruled out because its arenas count
// the submitting thread as a participant and start workers lazily, while here
// the submitter blocks without computing and every worker runs from the build.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>

namespace quorvel {

/// @brief Test seam: called with a worker's index just before that worker is
/// started; throwing std::system_error makes the start fail.
using ThreadStartCheck = void (*)(std::size_t worker_index);

/// @brief A fixed set of worker threads with a blocking fork-join over index ranges.
class ThreadPool {
 public:
  /// @brief Runs the indices [begin, end) of one piece in increasing order.
  using PieceFunction = void (*)(const void* context, std::size_t begin, std::size_t end);

  /// @brief Starts @p thread_count (at least 1) workers; throws std::system_error
  /// (after stopping those already started) when one cannot be started.
  explicit ThreadPool(std::size_t thread_count, ThreadStartCheck start_check = nullptr);

  /// @brief Stops and releases the workers; no range may be running.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  [[nodiscard]] std::size_t thread_count() const noexcept { return thread_count_; }

  /// @brief Number of pieces a range of @p n indices is cut into.
  [[nodiscard]] std::size_t piece_count(std::size_t n) const noexcept;

  /// @brief Runs @p piece over [0, n) on the workers and blocks until all pieces
  /// have stopped; re-throws one piece's exception. Called from one of this
  /// pool's own workers, it runs the whole range on that worker instead.
  void run(std::size_t n, PieceFunction piece, const void* context);

  /// @brief run() with a callable body(begin, end); one indirect call per piece.
  template <class Body>
  void for_each_piece(std::size_t n, const Body& body) {
    run(
        n,
        [](const void* context, std::size_t begin, std::size_t end) {
          (*static_cast<const Body*>(context))(begin, end);
        },
        &body);
  }

  /// @brief Fork support of the process-wide pool: the child's workers are gone,
  /// so its state is reset and the workers are started again on its next run.
  void lock_for_fork() noexcept;
  void unlock_after_fork() noexcept;
  void reset_in_forked_child() noexcept;

 private:
  struct Job;

  void start_missing_workers(std::unique_lock<std::mutex>& lock);
  void worker_main() noexcept;
  void stop_workers() noexcept;

  std::size_t thread_count_;
  ThreadStartCheck start_check_;
  std::mutex mutex_;
  std::condition_variable work_available_;
  std::condition_variable workers_changed_;
  Job* queue_head_ = nullptr;  // FIFO of ranges with unclaimed pieces
  Job* queue_tail_ = nullptr;
  std::size_t live_workers_ = 0;
  bool stopping_ = false;
};

/// @brief A pool built on first use and never retried when building fails.
///
/// get() builds it with the count that @p thread_count gives at that moment.
/// If a worker cannot be started, that call and every later one fails with
/// "The global thread pool has not been initialized." followed by ": " and a
/// description of the error.
class LazyThreadPool {
 public:
  explicit LazyThreadPool(std::function<std::size_t()> thread_count,
                          ThreadStartCheck start_check = nullptr);
  ~LazyThreadPool();

  LazyThreadPool(const LazyThreadPool&) = delete;
  LazyThreadPool& operator=(const LazyThreadPool&) = delete;

  /// @brief The pool, built now if this is the first call.
  [[nodiscard]] ThreadPool& get();

  /// @brief The pool if it has been built, else nullptr; never builds it.
  [[nodiscard]] ThreadPool* built() const noexcept { return pool_.load(std::memory_order_acquire); }

  /// @brief Fork support: the slot and its pool are held across a fork and
  /// reset in the child, whose pool then restarts its workers on first use.
  void lock_for_fork() noexcept;
  void unlock_after_fork() noexcept;
  void reset_in_forked_child() noexcept;

 private:
  std::function<std::size_t()> thread_count_;
  ThreadStartCheck start_check_;
  std::mutex build_mutex_;
  std::atomic<ThreadPool*> pool_{nullptr};
  std::string build_error_;  // set when building failed; never cleared
};

/// @brief Runs body(begin, end) over [0, n): as one piece on the calling thread unless
/// @p on_pool, else in pieces on @p pool (built now if it was not).
template <class Body>
void run_pieces(LazyThreadPool& pool, bool on_pool, std::size_t n, const Body& body) {
  if (!on_pool) {
    body(std::size_t{0}, n);
    return;
  }
  pool.get().for_each_piece(n, body);
}

/// @brief The process-wide pool slot: sized from the environment when first
/// built, kept until the process ends, and restarted in a forked child.
[[nodiscard]] LazyThreadPool& global_thread_pool();

/// @brief Whether the process-wide pool has been built (never builds it).
[[nodiscard]] bool global_thread_pool_is_built() noexcept;

/// @brief Worker count of the process-wide pool; 0 while it is not built.
[[nodiscard]] std::size_t global_thread_pool_thread_count() noexcept;

}  // namespace quorvel
