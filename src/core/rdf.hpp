// Pair-distance histogram over periodic images and the partial/total RDF driver.
#pragma once

#include <cstdint>  // for std::uint64_t
#include <string>
#include <vector>

#include "core/result.hpp"
#include "core/structure.hpp"

namespace kelvara {

class WorkerPool;
struct SpeciesTable;
struct CellList;

/// Partial and total radial distribution curves on a common grid of bins.
struct PrdfResult {
    /// The structure's elements, in element order; n_el entries.
    std::vector<std::string> elements;
    /// Left edge of every bin: r[k] = edges[k]; n_bins entries.
    std::vector<double> r;
    /// edges[k] = k * bin_size; n_bins + 1 entries.
    std::vector<double> edges;
    /// Entry p * n_el + q: neighbours q per unit shell volume around a centre p.
    std::vector<std::vector<double>> partials;
    /// Neighbours of any element per unit shell volume around an average centre.
    std::vector<double> total;
};

/// Occupancy-weighted pair counts, a flat n_el * n_el * n_bins list: entry
/// (p * n_el + q) * n_bins + k counts neighbours of element q around centres of
/// element p at distances in bin k, every pair counted from both of its ends; elements
/// are numbered as in `species`, and `cells` is the grid of this structure for this
/// cutoff.
/// Runs on `pool`; the structure must have fewer than 2^31 sites.
Result<std::vector<double>> pair_histogram(const Structure& structure, double cutoff,
                                           double bin_size, const std::vector<double>& edges,
                                           std::size_t n_bins, const SpeciesTable& species,
                                           const CellList& cells, WorkerPool& pool);

/// Checks the arguments, builds the edges, runs the histogram pass on `pool` and
/// normalises it into the curves.
Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool);

/// n_threads = 0 runs on the shared pool; otherwise on a pool of n_threads fresh
/// workers built for this call (which fails first if they cannot all start).
Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads,
                                double cutoff, double bin_size);

}  // namespace kelvara
