#include "thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "support/failure.hpp"
#include "support/messages.hpp"
#include "support/thread_count.hpp"

namespace quorvel {

namespace {

// Enough pieces per worker that a worker slowed down by the machine does not
// hold up the whole range, few enough that the hand-off cost stays small.
constexpr std::size_t pieces_per_thread = 4;

// The pool whose worker the current thread is, if any.
thread_local const ThreadPool* current_worker_pool = nullptr;

}  // namespace

// One submitted range. It lives on the submitter's stack, which is safe
// because the submitter leaves run() only after the last piece has reported
// back, and every access to the job's shared fields happens under the pool's
// mutex.
struct ThreadPool::Job {
  PieceFunction piece;
  const void* context;
  std::size_t n;
  std::size_t pieces;
  std::size_t next_piece = 0;  // first piece no worker has claimed yet
  std::size_t unfinished;      // pieces not yet reported back
  std::exception_ptr failure;  // the first failure reported
  bool finished = false;
  std::condition_variable done;  // wakes the submitter
  Job* next_in_queue = nullptr;

  Job(PieceFunction piece_, const void* context_, std::size_t n_, std::size_t pieces_)
      : piece(piece_), context(context_), n(n_), pieces(pieces_), unfinished(pieces_) {}

  // Contiguous pieces whose lengths differ by at most one.
  [[nodiscard]] std::size_t piece_begin(std::size_t k) const noexcept {
    const std::size_t base = n / pieces;
    const std::size_t extra = n % pieces;
    return k * base + std::min(k, extra);
  }
};

ThreadPool::ThreadPool(std::size_t thread_count, ThreadStartCheck start_check)
    : thread_count_(std::max<std::size_t>(thread_count, 1)), start_check_(start_check) {
  std::unique_lock lock(mutex_);
  try {
    start_missing_workers(lock);
  } catch (...) {
    lock.unlock();
    stop_workers();
    throw;
  }
}

ThreadPool::~ThreadPool() { stop_workers(); }

std::size_t ThreadPool::piece_count(std::size_t n) const noexcept {
  const std::size_t most =
      thread_count_ > SIZE_MAX / pieces_per_thread ? SIZE_MAX : thread_count_ * pieces_per_thread;
  return std::min(n, most);
}

void ThreadPool::start_missing_workers(std::unique_lock<std::mutex>& lock) {
  (void)lock;  // held: the new workers wait for it before they look at the queue
  while (live_workers_ < thread_count_) {
    try {
      if (start_check_ != nullptr) {
        start_check_(live_workers_);
      }
      // Detached: the workers of the process-wide pool are never stopped, and
      // a forked child has no thread handles to join.
      std::thread(&ThreadPool::worker_main, this).detach();
    } catch (const std::system_error& error) {
      throw std::system_error(error.code(), "could not start worker thread " +
                                                std::to_string(live_workers_ + 1) + " of " +
                                                std::to_string(thread_count_));
    }
    ++live_workers_;
  }
}

void ThreadPool::stop_workers() noexcept {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  work_available_.notify_all();
  workers_changed_.wait(lock, [this] { return live_workers_ == 0; });
}

void ThreadPool::worker_main() noexcept {
  current_worker_pool = this;
  std::unique_lock lock(mutex_);
  for (;;) {
    work_available_.wait(lock, [this] { return stopping_ || queue_head_ != nullptr; });
    if (queue_head_ == nullptr) {
      break;
    }
    Job& job = *queue_head_;
    const std::size_t k = job.next_piece++;
    if (job.next_piece == job.pieces) {
      queue_head_ = job.next_in_queue;
      if (queue_head_ == nullptr) {
        queue_tail_ = nullptr;
      }
    }
    lock.unlock();

    std::exception_ptr failure;
    try {
      job.piece(job.context, job.piece_begin(k), job.piece_begin(k + 1));
    } catch (...) {
      failure = std::current_exception();
    }

    lock.lock();
    if (failure && !job.failure) {
      job.failure = std::move(failure);
    }
    if (--job.unfinished == 0) {
      job.finished = true;
      job.done.notify_one();
    }
  }
  --live_workers_;
  workers_changed_.notify_all();
}

void ThreadPool::run(std::size_t n, PieceFunction piece, const void* context) {
  if (n == 0) {
    return;
  }
  if (current_worker_pool == this) {
    // Waiting for our own workers from inside one of them could deadlock.
    piece(context, 0, n);
    return;
  }
  Job job(piece, context, n, piece_count(n));

  std::unique_lock lock(mutex_);
  if (live_workers_ < thread_count_) {
    // Only after a fork: the child has none of the parent's workers.
    try {
      start_missing_workers(lock);
    } catch (const std::system_error& error) {
      if (live_workers_ == 0) {
        lock.unlock();
        fail(std::string("The thread pool could not restart its workers after fork: ") +
             error.what());
      }
    }
  }
  if (queue_tail_ == nullptr) {
    queue_head_ = &job;
  } else {
    queue_tail_->next_in_queue = &job;
  }
  queue_tail_ = &job;
  work_available_.notify_all();
  job.done.wait(lock, [&job] { return job.finished; });
  lock.unlock();

  if (job.failure) {
    std::rethrow_exception(job.failure);
  }
}

void ThreadPool::lock_for_fork() noexcept { mutex_.lock(); }

void ThreadPool::unlock_after_fork() noexcept { mutex_.unlock(); }

void ThreadPool::reset_in_forked_child() noexcept {
  // The parent's workers and submitters do not exist here; their waits and
  // jobs are abandoned, and the synchronisation objects start afresh (the
  // mutex was held across the fork).
  new (&mutex_) std::mutex;
  new (&work_available_) std::condition_variable;
  new (&workers_changed_) std::condition_variable;
  queue_head_ = nullptr;
  queue_tail_ = nullptr;
  live_workers_ = 0;
}

LazyThreadPool::LazyThreadPool(std::function<std::size_t()> thread_count,
                               ThreadStartCheck start_check)
    : thread_count_(std::move(thread_count)), start_check_(start_check) {}

LazyThreadPool::~LazyThreadPool() { delete pool_.load(std::memory_order_acquire); }

ThreadPool& LazyThreadPool::get() {
  if (ThreadPool* pool = pool_.load(std::memory_order_acquire)) {
    return *pool;
  }
  std::string description;
  {
    std::lock_guard lock(build_mutex_);
    if (ThreadPool* pool = pool_.load(std::memory_order_relaxed)) {
      return *pool;
    }
    if (!build_error_.empty()) {
      description = "its initialization was already attempted and failed, and is not retried (" +
                    build_error_ + ")";
    } else {
      try {
        auto* pool = new ThreadPool(thread_count_(), start_check_);
        pool_.store(pool, std::memory_order_release);
        return *pool;
      } catch (const std::system_error& error) {
        build_error_ =
            std::string(error.what()) + " (os error " + std::to_string(error.code().value()) + ")";
      } catch (const std::bad_alloc&) {
        build_error_ = "out of memory while starting the worker threads";
      }
      description = build_error_;
    }
  }
  fail(std::string(messages::pool_not_initialized) + ": " + description);
}

void LazyThreadPool::lock_for_fork() noexcept {
  build_mutex_.lock();
  if (ThreadPool* pool = pool_.load(std::memory_order_relaxed)) {
    pool->lock_for_fork();
  }
}

void LazyThreadPool::unlock_after_fork() noexcept {
  if (ThreadPool* pool = pool_.load(std::memory_order_relaxed)) {
    pool->unlock_after_fork();
  }
  build_mutex_.unlock();
}

void LazyThreadPool::reset_in_forked_child() noexcept {
  if (ThreadPool* pool = pool_.load(std::memory_order_relaxed)) {
    pool->reset_in_forked_child();
  }
  new (&build_mutex_) std::mutex;
}

namespace {

std::atomic<LazyThreadPool*> global_slot{nullptr};

void global_prepare_fork() noexcept {
  if (LazyThreadPool* slot = global_slot.load(std::memory_order_acquire)) {
    slot->lock_for_fork();
  }
}

void global_after_fork_in_parent() noexcept {
  if (LazyThreadPool* slot = global_slot.load(std::memory_order_acquire)) {
    slot->unlock_after_fork();
  }
}

void global_after_fork_in_child() noexcept {
  if (LazyThreadPool* slot = global_slot.load(std::memory_order_acquire)) {
    slot->reset_in_forked_child();
  }
}

}  // namespace

LazyThreadPool& global_thread_pool() {
  // Never destroyed: workers may still wait on it while the process exits.
  static LazyThreadPool* const slot = [] {
    auto* created = new LazyThreadPool(thread_count_from_environment);
    global_slot.store(created, std::memory_order_release);
    ::pthread_atfork(global_prepare_fork, global_after_fork_in_parent, global_after_fork_in_child);
    return created;
  }();
  return *slot;
}

bool global_thread_pool_is_built() noexcept {
  const LazyThreadPool* slot = global_slot.load(std::memory_order_acquire);
  return slot != nullptr && slot->built() != nullptr;
}

std::size_t global_thread_pool_thread_count() noexcept {
  const LazyThreadPool* slot = global_slot.load(std::memory_order_acquire);
  const ThreadPool* pool = slot == nullptr ? nullptr : slot->built();
  return pool == nullptr ? 0 : pool->thread_count();
}

}  // namespace quorvel
