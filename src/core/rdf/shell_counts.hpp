// Pair counts per neighbour shell (Warren-Cowley short-range order), by the histogram
// pass, and the neighbour shells of a structure found the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/model/structure.hpp"
#include "core/util/result.hpp"

namespace kelvara {

class WorkerPool;

/// Distances that differ by less than this many Angstrom belong to one shell.
inline constexpr double shell_tolerance = 0.01;

/// Neighbour shells: shell k holds the pair distances in (bounds[k], bounds[k + 1]]
/// (bounds[0] = 0), every distance of it within `shell_tolerance` of the next.
struct Shells {
    /// The distance of each shell (its shortest pair, to 0.0005), Angstrom.
    std::vector<double> radii;
    /// n_shells + 1 values: 0, then the middle of the gap after each shell.
    std::vector<double> bounds;
};

/// The first `n_shells` neighbour shells of the pairs between `sites` (indices into the
/// structure, each site against every periodic image of every listed site): a fine
/// distance histogram of the pair pass, read for runs of filled bins separated by gaps
/// wider than `shell_tolerance`.
Result<Shells> find_shells(const Structure& structure, const std::vector<std::size_t>& sites,
                           std::uint64_t n_shells, WorkerPool& pool);

/// Ordered pair counts per shell: entry (p * n_el + q) * n_shells + k counts the q
/// neighbours of p centres (occupancy-weighted) with distance in shell k, bounds as in
/// `Shells`. Elements in element order.
struct ShellCounts {
    std::vector<std::string> elements;
    std::vector<double> counts;
};

Result<ShellCounts> shell_pair_counts(const Structure& structure, const std::vector<double>& bounds,
                                      WorkerPool& pool);

/// Warren-Cowley parameters from shell counts: alpha_pq(k) = 1 - P(q | p, k) / c_q, with
/// P(q | p, k) the share of q among the shell-k neighbours of p centres and c_q the
/// share of q among all atoms counted. NaN where p has no neighbours in the shell or q
/// is absent. Same layout as `counts`.
std::vector<double> warren_cowley_alpha(const ShellCounts& counts, const std::vector<double>& amounts,
                                        std::size_t n_shells);

}  // namespace kelvara
