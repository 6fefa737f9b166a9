// Many frames of a trajectory at once: whole frames in parallel on the pool, each
// frame's pass on the thread that took it.
#pragma once

#include <cstddef>  // for std::size_t
#include <cstdint>  // for std::uint64_t
#include <functional>
#include <memory>
#include <vector>

#include "core/model/structure.hpp"
#include "core/rdf/rdf.hpp"
#include "core/util/result.hpp"

namespace kelvara {

class WorkerPool;

/// The pool a call with `n_threads` runs on: the shared pool for 0, else one of
/// exactly n_threads threads started for the call (refused above
/// `max_threads_per_call`, or when the threads cannot start).
struct CallPool {
    std::unique_ptr<WorkerPool> owned;
    WorkerPool* pool = nullptr;

    static Result<CallPool> start(std::uint64_t n_threads);
    WorkerPool& get() const { return *pool; }
};

/// Runs task(k, pool) for every frame k < n_frames on `pool`. With more than one
/// thread and more than one frame, frames are handed out whole (in contiguous
/// groups) and each runs its own pass on the thread that took it; otherwise frame
/// after frame runs on the whole pool. Each frame's result must depend on its input
/// alone (the RDF pass splits by the input, never by the pool), so the results are
/// the same bits for every thread count. The first failure in frame order is returned.
Result<void> for_each_frame(std::size_t n_frames, WorkerPool& pool,
                            const std::function<Result<void>(std::size_t, WorkerPool&)>& task);

/// `compute_prdf` of every frame, in frame order, on the pool `n_threads` names.
/// With `self_images` false a site's own periodic images are left out of every
/// frame's curves.
Result<std::vector<PrdfResult>> compute_frames_prdf(const std::vector<const Structure*>& frames,
                                                    std::uint64_t n_threads, double cutoff,
                                                    double bin_size, bool self_images);

}  // namespace kelvara
