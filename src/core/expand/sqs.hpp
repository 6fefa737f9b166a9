// Special quasirandom structures: the occupations of each disordered site arranged by
// a seeded annealing of swaps so that the pair correlations of the first neighbour
// shells come as close as the cell allows to those of the random alloy.
#pragma once

#include <cstdint>

#include "core/expand/expand.hpp"

namespace kelvara {

struct SqsOptions {
    std::uint64_t max_sites = 4096, seed = 42, max_denominator = 16;
    /// Neighbour shells whose pair correlations are matched.
    std::uint64_t shells = 3;
    /// Swaps tried by each of the `sqs_chains` searches; 0 picks 3,000 plus 150 per
    /// disordered site.
    std::uint64_t steps = 0;
    /// Seconds after which the search stops with the best arrangement so far; 0: none.
    double time_limit = 0.0;
    /// 0: the shared pool; otherwise a pool of this many threads for the call.
    std::uint64_t n_threads = 0;
    /// Cells whose shortest height is below this share of the longest are told.
    double min_height_ratio = 0.5;
};

/// Independent searches, each from its own seeded start; the best one wins. Their
/// number is fixed, so the result is the same for any thread count.
inline constexpr std::uint64_t sqs_chains = 4;

/// The cell: the largest number of input cells within `max_sites` whose multiples
/// hold every occupancy exactly (else the count that comes closest), as the most
/// compact combination of the lattice vectors. Then the search. The result carries
/// the warnings of `expand` and `sqs` with what the search did. Stops early at the
/// time limit, or when the caller's cancel token asks: with the best arrangement so
/// far, said in `sqs->stopped`; the same message as `expand` when nothing was found yet.
Result<Expansion> expand_sqs(const Structure& structure, const SqsOptions& options);

}  // namespace kelvara
