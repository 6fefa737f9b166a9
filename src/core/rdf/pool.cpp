// Worker pools on std::thread: the process-wide shared pool and per-call pools; the
// thread that hands in a job works on it too.
#include "core/rdf/pool.hpp"

#include <cstdlib>       // for std::getenv
#include <exception>     // for std::exception_ptr
#include <new>           // for std::bad_alloc
#include <system_error>  // for std::system_error

#include "core/util/cancel.hpp"
#include "core/util/number.hpp"  // for parse_unsigned
#include "core/util/platform.hpp"

namespace kelvara {

namespace {
/// The pool whose worker is running on this thread, if any.
thread_local const WorkerPool* current_pool = nullptr;

/// The failure a task's exception makes of the whole call. Running out of memory is
/// thrown on to the caller as std::bad_alloc (Python's MemoryError), not reported as a
/// failed computation.
Result<void> failure_of(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        return fail("unknown error in a worker thread");
    }
}
}  // namespace

struct WorkerPool::Job {
    const std::function<void(std::size_t)>* task;
    std::size_t n_tasks;
    std::size_t next = 0;      // next task to hand out (under the pool mutex)
    std::size_t finished = 0;  // tasks done (under the pool mutex)
    std::exception_ptr error{};  // the first exception a task threw
    std::condition_variable done{};
    CancelToken* token = nullptr;  // the caller's, seen by every task
    bool withdrawn = false;        // stopped: no more tasks are handed out

    bool settled() const { return finished == (withdrawn ? next : n_tasks); }
};

Result<std::unique_ptr<WorkerPool>> WorkerPool::start(std::uint64_t n_threads) {
    const std::uint64_t count = n_threads < max_threads ? n_threads : max_threads;
    const std::uint64_t workers = count > 0 ? count - 1 : 0;  // the caller is one of them
    std::unique_ptr<WorkerPool> pool(new WorkerPool());
    try {
        pool->workers_.reserve(static_cast<std::size_t>(workers));
        for (std::uint64_t k = 0; k < workers; ++k) pool->workers_.emplace_back([p = pool.get()] { p->work(); });
    } catch (const std::system_error& e) {
        pool->stop_and_join();
        return fail("could not start " + std::to_string(n_threads) + " worker threads: " +
                    e.code().message());
    } catch (const std::bad_alloc&) {
        pool->stop_and_join();
        return fail("could not start " + std::to_string(n_threads) +
                    " worker threads: out of memory");
    }
    return pool;
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
}

bool WorkerPool::take(Job& job, std::size_t& index) {
    if (job.withdrawn || job.next == job.n_tasks) return false;
    index = job.next++;
    if (job.next == job.n_tasks) std::erase(queue_, &job);  // every task handed out
    return true;
}

void WorkerPool::work() {
    current_pool = this;
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and nothing left to serve
        Job* job = queue_.front();
        std::size_t index = 0;
        take(*job, index);  // a queued job always has a task left
        lock.unlock();
        std::exception_ptr error;
        if (!(job->token && job->token->requested())) {
            CancelScope scope(job->token);
            try {
                (*job->task)(index);
            } catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        if (error && !job->error) job->error = error;
        ++job->finished;
        if (job->settled()) job->done.notify_all();
    }
}

Result<void> WorkerPool::run(std::size_t n_tasks, const std::function<void(std::size_t)>& task,
                             bool small) {
    if (n_tasks == 0) return {};
    if (workers_.empty() || current_pool == this || small || n_tasks == 1) {
        // Waiting for our own pool from inside it could deadlock: run the tasks here.
        std::exception_ptr first;
        for (std::size_t k = 0; k < n_tasks && !cancel_point(); ++k) {
            try {
                task(k);
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (cancel_point()) return fail(interrupted_message);
        if (first) return failure_of(first);
        return {};
    }
    Job job{&task, n_tasks};
    job.token = current_cancel_token();
    std::unique_lock lock(mutex_);
    queue_.push_back(&job);
    if (n_tasks == 2) work_ready_.notify_one();  // the caller takes the other task
    else work_ready_.notify_all();
    // The caller works on its own job until every task is handed out. It runs under
    // its own token already; between tasks it polls for a stop request, and once one
    // comes no more tasks are handed out.
    for (std::size_t index = 0; take(job, index);) {
        lock.unlock();
        const bool stop = job.token && cancel_point();
        std::exception_ptr error;
        if (!stop) {
            try {
                task(index);
            } catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        if (error && !job.error) job.error = error;
        ++job.finished;
        if (stop && !job.withdrawn) {
            job.withdrawn = true;
            if (job.next < job.n_tasks) std::erase(queue_, &job);
        }
    }
    if (!job.token) {
        job.done.wait(lock, [&job] { return job.settled(); });
    } else {
        // Wake regularly to poll for a stop request; once one comes, hand out no
        // more tasks and wait only for those already running (they poll too).
        while (!job.settled()) {
            job.done.wait_for(lock, CancelToken::poll_interval);
            if (job.withdrawn || job.settled()) continue;
            lock.unlock();
            const bool stop = cancel_point();
            lock.lock();
            if (stop && !job.withdrawn) {
                job.withdrawn = true;
                if (job.next < job.n_tasks) std::erase(queue_, &job);
            }
        }
        if (job.withdrawn || job.token->requested()) return fail(interrupted_message);
    }
    if (job.error) return failure_of(job.error);
    return {};
}

// ---- the shared pool ----------------------------------------------------------------

std::size_t processor_count() { return platform::processor_count(); }

std::uint64_t max_threads_per_call() {
    const std::uint64_t per_processor = 8 * static_cast<std::uint64_t>(processor_count());
    return per_processor > min_threads_per_call ? per_processor : min_threads_per_call;
}

std::size_t shared_pool_size() {
    std::uint64_t count = 0;
    if (const char* text = std::getenv("RAYON_NUM_THREADS")) {
        if (const auto value = parse_unsigned(text)) count = *value == 0 ? processor_count() : *value;
    }
    if (count == 0) {
        if (const char* text = std::getenv("RAYON_RS_NUM_CPUS")) {
            if (const auto value = parse_unsigned(text)) count = *value;
        }
    }
    if (count == 0) count = processor_count();
    return static_cast<std::size_t>(count < WorkerPool::max_threads ? count : WorkerPool::max_threads);
}

namespace {
// Both live for the whole process: the workers may still be waiting on the pool's
// mutex when static destructors run at exit.
std::mutex* shared_mutex = new std::mutex();
WorkerPool* shared = nullptr;

// A child of fork() holds copies of the parent's pool without its threads; it must
// never wait on them. The prepare handler keeps the pool pointer stable across the
// fork; the child drops the copy (deliberately leaked) and builds its own on first use.
void before_fork() { shared_mutex->lock(); }
void after_fork_parent() { shared_mutex->unlock(); }
void after_fork_child() {
    shared = nullptr;
    shared_mutex->unlock();
}
const bool fork_handlers_installed = [] {
    return platform::on_fork(before_fork, after_fork_parent, after_fork_child);
}();

/// A pool of as many of `wanted` threads as the system allows (at least the caller
/// alone: a pool without workers cannot fail to start).
WorkerPool* start_shared(std::size_t wanted) {
    for (std::size_t count = wanted; count > 1; count /= 2)
        if (auto pool = WorkerPool::start(count)) return pool->release();
    return WorkerPool::start(1).value().release();
}
}  // namespace

WorkerPool& shared_pool() {
    (void)fork_handlers_installed;
    std::lock_guard lock(*shared_mutex);
    if (!shared) shared = start_shared(shared_pool_size());
    return *shared;
}

}  // namespace kelvara
