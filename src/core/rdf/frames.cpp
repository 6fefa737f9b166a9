// Many frames of a trajectory at once: whole frames in parallel on the pool, each
// frame's pass on the thread that took it.
#include "core/rdf/frames.hpp"

#include <optional>

#include "core/rdf/pool.hpp"

namespace kelvara {

Result<CallPool> CallPool::start(std::uint64_t n_threads) {
    CallPool call;
    if (n_threads == 0) {
        call.pool = &shared_pool();
        return call;
    }
    // Counting the processors reads a file: not for the thread counts every machine allows.
    const std::uint64_t most = n_threads > min_threads_per_call ? max_threads_per_call() : n_threads;
    if (n_threads > most)
        return fail("n_threads " + std::to_string(n_threads) + " is more than " + std::to_string(most) +
                    ", the most a call may start on " + std::to_string(processor_count()) +
                    " processors (n_threads=0 uses the shared pool)");
    auto started = WorkerPool::start(n_threads);
    if (!started) return fail(started.error());
    call.owned = std::move(*started);
    call.pool = call.owned.get();
    return call;
}

Result<void> for_each_frame(std::size_t n_frames, WorkerPool& pool,
                            const std::function<Result<void>(std::size_t, WorkerPool&)>& task) {
    std::vector<std::optional<std::string>> failures(n_frames);
    if (pool.threads() == 1 || n_frames < 2) {
        for (std::size_t k = 0; k < n_frames; ++k)
            if (auto done = task(k, pool); !done) return done;
        return {};
    }
    // A pool without workers runs every job on the thread that hands it in.
    auto alone = WorkerPool::start(1);
    if (!alone) return fail(alone.error());
    WorkerPool& serial = **alone;
    // One frame per task: a frame costs far more than handing out a task, and the
    // threads then finish a window within one frame of each other.
    const auto status = pool.run(n_frames, [&](std::size_t k) {
        auto done = task(k, serial);
        if (!done) failures[k] = std::move(done.error());
    });
    for (auto& failure : failures)
        if (failure) return fail(std::move(*failure));
    return status;
}

Result<std::vector<PrdfResult>> compute_frames_prdf(const std::vector<const Structure*>& frames,
                                                    std::uint64_t n_threads, double cutoff,
                                                    double bin_size, bool self_images) {
    auto call = CallPool::start(n_threads);
    if (!call) return fail(call.error());
    std::vector<PrdfResult> results(frames.size());
    auto status = for_each_frame(frames.size(), call->get(), [&](std::size_t k, WorkerPool& pool) -> Result<void> {
        auto result = compute_prdf_inner(*frames[k], cutoff, bin_size, pool, self_images);
        if (!result) return fail(std::move(result.error()));
        results[k] = std::move(*result);
        return {};
    });
    if (!status) return fail(std::move(status.error()));
    return results;
}

}  // namespace kelvara
