// The histogram pass: every pair within the cutoff over all periodic images, binned
// against the stored edges and weighted by the occupancies involved.
#pragma once

#include <cstddef>  // for std::size_t
#include <vector>

#include "core/rdf/neighbor.hpp"
#include "core/util/result.hpp"
#include "core/rdf/species_table.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

class WorkerPool;

/// Occupancy-weighted pair counts, a flat n_el * n_el * n_bins list: entry
/// (p * n_el + q) * n_bins + k counts neighbours of element q around centres of
/// element p at distances in bin k, every pair counted from both of its ends; elements
/// are numbered as in `species`, and `cells` is the grid of this structure for this
/// cutoff.
/// With `self_images` false a site's own periodic images are not counted (the
/// images of a simulation box are copies of its atoms), pairs with every other
/// site's images are.
/// Runs on `pool`, on the calling thread alone when `small_job` (the pass costs less
/// than waking workers, `PassCost::small`); the structure must have fewer than 2^31
/// sites. The split into tasks depends on the input alone, so the sums are the same
/// for every pool.
Result<std::vector<double>> pair_histogram(const Structure& structure, double cutoff,
                                           double bin_size, const std::vector<double>& edges,
                                           std::size_t n_bins, const SpeciesTable& species,
                                           const CellList& cells, WorkerPool& pool, bool small_job,
                                           bool self_images = true);

}  // namespace kelvara
