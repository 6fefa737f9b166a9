// SiteMerger: symmetry images of CIF atom-site rows gathered into sites.
#pragma once

#include <algorithm>  // for std::min
#include <cmath>      // for std::fabs
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/structure.hpp"

namespace kelvara {

/// Two sites and their shortest periodic distance in Angstrom.
struct ClosePair {
    std::uint32_t first = 0, second = 0;
    double distance = 0.0;
};

/// Sites built from symmetry images. An image joins the first site (in creation
/// order) that lies within `symprec` on all three fractional axes. Within a site, the
/// occupancy of an element is the sum over the atoms that put it there: an image of an
/// atom already there (its own row again, or a row with the same label: the same atom
/// written twice) raises that atom's share to the larger value; an image from a row of
/// another label adds its occupancy, since rows with distinct labels are distinct atoms.
///
/// Sites are filed under a periodic grid of cells at least `symprec` wide; an image
/// looks into a neighbour cell only along axes where it lies within `symprec` of the
/// cell's edge. Each cell heads a chain of its sites (head/next indices); there are
/// no more cells than expected sites.
///
/// Sites closer than a distance (`watch_close`) are found on the same grid as they
/// are made: an image looks at the sites filed in the cells within that distance of
/// it, and when it makes a new site, those closer are noted; each pair is met once,
/// when its later site is made.
class SiteMerger {
public:
    /// `expected_sites` bounds the number of sites and sizes the table.
    SiteMerger(double symprec, std::uint64_t expected_sites);
    /// The tables go back to this thread's store for the next read (util/scratch.hpp).
    ~SiteMerger();
    SiteMerger(const SiteMerger&) = delete;
    SiteMerger& operator=(const SiteMerger&) = delete;

    /// Pairs of sites closer than `max_distance` in `lattice` are to be found (call
    /// before the first `add`; `lattice` must outlive the merger).
    void watch_close(const Lattice& lattice, double max_distance);

    /// One image of atom-site row `row`; rows with the same label share `key`.
    void add(std::uint32_t row, std::uint32_t key, const std::string& element, double occupancy,
             const Vec3& frac, double uiso);

    const std::vector<Site>& sites() const { return sites_; }
    /// The rows that put something on site `site`, in the order they came.
    std::vector<std::uint32_t> rows_of(std::size_t site) const;
    /// The row that made site `site`.
    std::uint32_t first_row(std::size_t site) const;
    std::vector<Site> take() { return std::move(sites_); }
    /// The pairs of sites closer than the watched distance, closest first, then in site order.
    std::vector<ClosePair> close_pairs() const;

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    double symprec_;
    bool merging_ = false;
    std::uint64_t grid_ = 1;
    double grid_d_ = 1.0, width_ = 1.0;  // grid_ as a double; 1 / grid_
    // Per axis: slots from a cell to the next one, and from the first to the last.
    std::int64_t stride_[3] = {0, 0, 0}, wrap_[3] = {0, 0, 0};
    std::vector<Site> sites_;
    std::vector<std::uint32_t> head_;  // per cell: newest site filed there
    std::vector<std::uint32_t> next_;  // per site: the previous site in the same slot
    // Who put what on each site: a list per site, newest first.
    struct Contribution {
        std::uint32_t row, key, species, next;
        double occupancy;  // this atom's share of the species
    };
    std::vector<Contribution> contributions_;
    std::vector<std::uint32_t> first_contribution_;  // per site

    // The close-site watch: the lattice, the distance, and how far it reaches along
    // each axis in cells; `fused_` when the search runs on this grid (cells at least
    // twice the distance wide), else the sites are searched once all are made.
    const Lattice* lattice_ = nullptr;
    double max_distance_ = 0.0, max_squared_ = 0.0, reach_[3] = {0.0, 0.0, 0.0}, spacing_[3] = {0, 0, 0};
    bool fused_ = false, one_image_ = false;
    std::vector<ClosePair> close_;

    std::uint64_t cell_of(double f) const;
    std::size_t slot(std::uint64_t i, std::uint64_t j, std::uint64_t k) const;
    /// The site the image at `frac` (in cell `cell`) joins, or kNone; when it joins
    /// none and close sites are watched, the sites closer to it are noted.
    std::uint32_t find(const Vec3& frac, const std::uint64_t (&cell)[3]);
    void note(std::uint32_t site, std::uint32_t row, std::uint32_t key, std::uint32_t species,
              double occupancy);
    /// The sum of the atoms' shares of `species` on `site`, in the order they came.
    double species_sum(std::uint32_t site, std::uint32_t species) const;
};

/// Pairs of sites closer than `max_distance` (shortest periodic distance), closest
/// first, then in site order.
std::vector<ClosePair> close_sites(const std::vector<Site>& sites, const Lattice& lattice,
                                   double max_distance);

/// The periodic distance along one axis of two coordinates in [0, 1) (without a
/// branch: |a - b|, or 1 less it where that is shorter).
inline double axis_distance(double a, double b) {
    const double d = std::fabs(a - b);
    return std::min(d, 1.0 - d);
}

}  // namespace kelvara
