// Bond-angle distributions: the angles j-i-k between pairs of neighbours of a centre
// within a cutoff, over all periodic images, found with the RDF's cell grid.
#pragma once

#include <cstddef>  // for std::size_t
#include <cstdint>  // for std::uint64_t
#include <string>
#include <vector>

#include "core/model/structure.hpp"
#include "core/util/result.hpp"

namespace kelvara {

class WorkerPool;

/// Which angles to count.
struct AngleQuery {
    /// Element of the vertex i, and of the two neighbours j and k.
    std::string centre, first, second;
    /// Both neighbours lie within this distance of the centre (Angstrom).
    double cutoff = 0.0;
    /// Bin width in degrees.
    double bin_deg = 1.0;
    /// False for a simulation box: a site's own periodic images are not its neighbours.
    bool self_images = true;
};

/// Bin edges in degrees, k * bin_deg, the last one 180 (a last bin may be narrower).
/// The query must have passed `check_angle_query`.
std::vector<double> angle_edges(double bin_deg);

/// "cutoff must be a finite number", "cutoff must be positive", "bin_deg must be
/// between 0.001 and 180 degrees", or empty element texts.
Result<void> check_angle_query(const AngleQuery& query);

/// Occupancy-weighted count of angles per bin: every centre site weighs its
/// occupancy by the centre element, times the neighbours' occupancies by their
/// elements. With one neighbour element each unordered pair of distinct neighbours
/// (site and image) is one angle; with two, each (first, second) pair is. An angle
/// of exactly 180 degrees is in the last bin. Runs on `pool`; the split into tasks
/// depends on the input alone, so the sums are the same for every pool.
Result<std::vector<double>> bond_angle_histogram(const Structure& structure, const AngleQuery& query,
                                                 WorkerPool& pool);

/// `bond_angle_histogram` of every frame, in frame order, frames in parallel on the
/// pool `n_threads` names (0: the shared one).
Result<std::vector<std::vector<double>>> compute_frames_bond_angles(
    const std::vector<const Structure*>& frames, std::uint64_t n_threads, const AngleQuery& query);

}  // namespace kelvara
