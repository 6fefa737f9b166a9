// The partial/total RDF driver: argument checks, bin edges, pool choice, normalisation.
#pragma once

#include <cstdint>  // for std::uint64_t
#include <string>
#include <vector>

#include "core/util/result.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

class WorkerPool;

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

/// The pairs behind the curves: what `PrdfResult` divides, and what it divides by.
struct PairCounts {
    /// The structure's elements, in element order; n_el entries.
    std::vector<std::string> elements;
    /// edges[k] = k * bin_size; n_bins + 1 entries.
    std::vector<double> edges;
    /// Entry (p * n_el + q) * n_bins + k: occupancy-weighted pairs with a centre p and a
    /// neighbour q at a distance in bin k, summed over all centres p.
    std::vector<double> counts;
    /// Volume of the shell of every bin, the last one cut at the cutoff; n_bins entries.
    std::vector<double> shells;
    /// Summed occupancy of every element (the centres of its partials); n_el entries.
    std::vector<double> amounts;
    /// Summed occupancy of all sites.
    double n_total = 0.0;
};

/// Volume of the shell between every two edges, the last one reaching past `cutoff`
/// cut there: pairs are counted up to the cutoff only.
std::vector<double> shell_volumes(const std::vector<double>& edges, double cutoff);

/// Checks the arguments, builds the edges and runs the histogram pass on `pool`. With
/// `self_images` false a site's own periodic images are left out.
Result<PairCounts> count_pairs(const Structure& structure, double cutoff, double bin_size,
                               WorkerPool& pool, bool self_images = true);

/// `count_pairs` on the pool of `n_threads`, as `compute_prdf` runs.
Result<PairCounts> compute_pair_counts(const Structure& structure, std::uint64_t n_threads,
                                       double cutoff, double bin_size, bool self_images = true);

/// Checks the arguments, builds the edges, runs the histogram pass on `pool` and
/// normalises it into the curves. With `self_images` false a site's own periodic
/// images are left out (a simulation box: its images are copies of the same atoms).
Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool, bool self_images = true);

/// n_threads = 0 runs on the shared pool; otherwise on the calling thread and
/// n_threads - 1 fresh workers started for this call (none for n_threads = 1), which
/// fails first if they cannot all start.
Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads,
                                double cutoff, double bin_size);

}  // namespace kelvara
