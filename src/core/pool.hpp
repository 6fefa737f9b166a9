// Worker pools on std::thread: the process-wide shared pool and per-call pools.
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

#include "core/result.hpp"

namespace kelvara {

/// A fixed set of worker threads that runs jobs of independent tasks. Several threads
/// may hand jobs to one pool at once; the jobs are served in arrival order.
class WorkerPool {
public:
    /// The most threads one pool starts; larger requests start this many.
    static constexpr std::uint64_t max_threads = 65535;

    /// Starts exactly min(n_threads, max_threads) workers. When one cannot start, the
    /// started ones are stopped and the result is "could not start {n_threads} worker
    /// threads: {system error text}".
    static Result<std::unique_ptr<WorkerPool>> start(std::uint64_t n_threads);

    /// Tells the workers to stop once idle and joins them.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const { return workers_.size(); }

    /// Runs task(0) .. task(n_tasks - 1) on the workers and returns once all have
    /// finished; the calling thread only waits (unless the pool has no workers or the
    /// caller is one of them, in which case it runs the tasks itself). An exception
    /// thrown by a task comes back as its message; the other tasks still run.
    /// A `small` job on the shared pool runs on the calling thread: waking workers
    /// would cost more than the job.
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

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<Job*> queue_;
    bool stopping_ = false;
    bool shared_ = false;  // the process-wide pool, whose callers may do small jobs themselves
    std::vector<std::thread> workers_;
    friend WorkerPool& shared_pool();
};

/// The process-wide pool, created on first use with `shared_pool_size()` workers and
/// never torn down. A child process created by fork() gets a fresh one: the parent's
/// workers do not exist there.
WorkerPool& shared_pool();

/// Threads for the shared pool: "RAYON_NUM_THREADS" (a decimal integer, 0 meaning the
/// processor count), else a positive "RAYON_RS_NUM_CPUS", else the online processor
/// count; at most WorkerPool::max_threads.
std::size_t shared_pool_size();

/// Number of online processors (at least 1).
std::size_t processor_count();

/// The most threads one call may ask for: 8 per processor, at least 16. More only
/// adds start-up cost and memory (a thousand threads per call exhausted processes).
std::uint64_t max_threads_per_call();

}  // namespace kelvara
