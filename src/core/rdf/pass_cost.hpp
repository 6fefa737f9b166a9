// The one cost model of the RDF pass: refuses cutoffs and cells that would run for
// hours, and tells the passes too small to wake worker threads for.
#pragma once

#include <cstddef>  // for std::size_t

#include "core/model/lattice.hpp"  // for Mat3
#include "core/util/result.hpp"

namespace kelvara {

struct CellList;

/// The work of one histogram pass over a cell grid, estimated before any of it is done.
struct PassCost {
    /// Neighbour-cell images visited: every occupied centre cell walks its block of
    /// (2 reach + 1)^3 cells, one run per translation along c. Grows as 1 / height
    /// when a cell is thinner than the cutoff.
    double images = 0.0;
    /// Of those, the runs expected to hold sites (each is gathered and scanned).
    double filled = 0.0;
    /// Distance tests: every centre against the sites of its block.
    double tests = 0.0;

    /// Seconds on one thread, from the measured cost of each kind of step.
    double seconds() const;
    /// Cheaper than waking worker threads (`small_pass_seconds`): the whole call,
    /// tables and pass, runs on the calling thread.
    bool small() const;
};

/// Measured on a 2-core x86-64 guest (AVX-512): an empty image costs about 5 ns, a
/// run with sites about 0.3 us (gathered and scanned), a distance test about 2 ns.
inline constexpr double seconds_per_image = 5e-9;
inline constexpr double seconds_per_filled = 3e-7;
inline constexpr double seconds_per_test = 2e-9;
/// The most a pass may cost on one thread before it is refused: ten minutes.
inline constexpr double max_pass_seconds = 600.0;
/// Below this a pass runs on the calling thread alone: handing tasks to sleeping
/// workers costs tens of microseconds each.
inline constexpr double small_pass_seconds = 4e-4;

PassCost estimate_pass_cost(const CellList& grid, std::size_t n_sites);

/// The estimated cost of the pass over the grid it would use (`CellList::grid_for`),
/// or a refusal when that exceeds `max_pass_seconds`: the message says whether the
/// cell is too thin along an axis or the cutoff too large for the number of sites, and
/// which cutoff would run in reasonable time. Allocates nothing that depends on the input.
Result<PassCost> check_pass_cost(const Mat3& matrix, std::size_t n_sites, double cutoff);

}  // namespace kelvara
