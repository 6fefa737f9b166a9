// Worker pools on std::thread: the process-wide shared pool and per-call pools; the
// thread that hands in a job works on it too.
#pragma once

#include <condition_variable>
#include <cstddef>  // for std::size_t
#include <cstdint>  // for std::uint64_t
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/util/result.hpp"

namespace kelvara {

/// A fixed set of worker threads that runs jobs of independent tasks together with the
/// thread that hands the job in. Several threads may hand jobs to one pool at once;
/// the workers serve the jobs in arrival order.
class WorkerPool {
public:
    /// The most threads one pool works with; larger requests get this many.
    static constexpr std::uint64_t max_threads = 65535;

    /// A pool of min(n_threads, max_threads) threads: the caller of `run` and one
    /// worker fewer (none for n_threads <= 1). When a worker cannot start, the started
    /// ones are stopped and the result is "could not start {n_threads} worker
    /// threads: {system error text}".
    static Result<std::unique_ptr<WorkerPool>> start(std::uint64_t n_threads);

    /// Tells the workers to stop once idle and joins them.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// Threads that work on one caller's job: the workers and the caller.
    std::size_t threads() const { return workers_.size() + 1; }

    /// Runs task(0) .. task(n_tasks - 1) and returns once all have finished. The
    /// calling thread takes tasks of its job like a worker; it runs them all itself
    /// when the pool has no workers, when it is one of the workers, when the job has
    /// one task, or when the job is `small` (waking workers would cost more than it).
    /// An exception thrown by a task comes back as its message; the other tasks still
    /// run.
    /// When the calling thread has a cancel token (core/cancel.hpp), every task runs
    /// under it, the caller polls it while it waits, and a stop request ends the job
    /// early: no further task starts, the running ones finish (they poll too), and
    /// the result is `interrupted_message`. The pool stays usable.
    Result<void> run(std::size_t n_tasks, const std::function<void(std::size_t)>& task,
                     bool small = false);

private:
    struct Job;
    WorkerPool() = default;
    void work();
    void stop_and_join();
    /// Hands out the next task of `job` (the lock held); false when none is left.
    bool take(Job& job, std::size_t& index);

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<Job*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

/// The process-wide pool, created on first use with `shared_pool_size()` threads (the
/// caller and one worker fewer) and never torn down. A child process created by fork() gets a fresh one: the parent's
/// workers do not exist there.
WorkerPool& shared_pool();

/// Threads of the shared pool, the caller included: "RAYON_NUM_THREADS" (a decimal integer, 0 meaning the
/// processor count), else a positive "RAYON_RS_NUM_CPUS", else the online processor
/// count; at most WorkerPool::max_threads.
std::size_t shared_pool_size();

/// Number of online processors (at least 1).
std::size_t processor_count();

/// The most threads one call may ask for: 8 per processor, at least
/// `min_threads_per_call`. More only adds start-up cost and memory (a thousand
/// threads per call exhausted processes).
std::uint64_t max_threads_per_call();
inline constexpr std::uint64_t min_threads_per_call = 16;

}  // namespace kelvara
