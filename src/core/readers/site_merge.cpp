// SiteMerger: symmetry images of CIF atom-site rows gathered into sites.
#include "core/readers/site_merge.hpp"

#include <algorithm>  // for std::clamp, std::min
#include <cmath>      // for std::floor, std::cbrt, std::isnan, std::sqrt, std::round

#include "core/util/number.hpp"  // for saturating_u64

namespace kelvara {

namespace {

/// One displacement per site: species of a site written with different values share
/// their occupancy-weighted mean.
double merged_uiso(double held_uiso, double held, double uiso, double occupancy) {
    if (std::isnan(uiso)) return held_uiso;
    if (std::isnan(held_uiso)) return uiso;
    return (held_uiso * held + uiso * occupancy) / (held + occupancy);
}

}  // namespace

SiteMerger::SiteMerger(double symprec, std::uint64_t expected_sites) : symprec_(symprec) {
    const std::uint64_t expected = std::min<std::uint64_t>(expected_sites, 1u << 22);
    sites_.reserve(expected);
    first_contribution_.reserve(expected);
    contributions_.reserve(expected);
    merging_ = symprec > 0.0;  // d < symprec never holds otherwise (NaN included)
    if (!merging_) return;
    // About one site per cell, but no cell narrower than symprec.
    const double wanted = std::max(1.0, std::floor(std::cbrt(static_cast<double>(expected))));
    const double widest = symprec < 1.0 ? std::floor(1.0 / (symprec * 1.01)) : 1.0;
    grid_ = std::clamp<std::uint64_t>(saturating_u64(std::min(wanted, widest)), 1, 1u << 20);
    while ((std::uint64_t{1} << bits_) < 2 * expected) ++bits_;
    head_.assign(std::size_t{1} << bits_, kNone);
    next_.reserve(expected);
}

std::uint64_t SiteMerger::cell_of(double f) const {
    const std::uint64_t cell = saturating_u64(std::floor(f * static_cast<double>(grid_)));
    return cell >= grid_ ? grid_ - 1 : cell;
}

std::size_t SiteMerger::slot(std::uint64_t i, std::uint64_t j, std::uint64_t k) const {
    const std::uint64_t key = (i * grid_ + j) * grid_ + k;
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
}

std::uint32_t SiteMerger::find(const Vec3& frac, const std::uint64_t (&c)[3]) const {
    // Along each axis: the image's own cell, and a neighbour only when the image lies
    // within symprec of the edge it shares (each cell once, even on a grid of 1 or 2).
    std::uint64_t around[3][3];
    std::size_t n_around[3];
    const double width = 1.0 / static_cast<double>(grid_);
    for (int axis = 0; axis < 3; ++axis) {
        std::size_t n = 0;
        around[axis][n++] = c[axis];
        const double low = static_cast<double>(c[axis]) * width;
        std::uint64_t wanted[2];
        std::size_t n_wanted = 0;
        if (frac[axis] - low < symprec_) wanted[n_wanted++] = (c[axis] + grid_ - 1) % grid_;
        if (low + width - frac[axis] < symprec_) wanted[n_wanted++] = (c[axis] + 1) % grid_;
        for (std::size_t w = 0; w < n_wanted; ++w) {
            bool seen = false;
            for (std::size_t m = 0; m < n; ++m) seen |= around[axis][m] == wanted[w];
            if (!seen) around[axis][n++] = wanted[w];
        }
        n_around[axis] = n;
    }
    // Hash collisions may file one slot twice or mix cells; every candidate is
    // checked against the real distance rule, so that only costs time.
    std::uint32_t best = kNone;
    for (std::size_t a = 0; a < n_around[0]; ++a)
        for (std::size_t b = 0; b < n_around[1]; ++b)
            for (std::size_t d = 0; d < n_around[2]; ++d)
                for (std::uint32_t index = head_[slot(around[0][a], around[1][b], around[2][d])];
                     index != kNone; index = next_[index]) {
                    if (index >= best) continue;
                    const Vec3& at = sites_[index].frac;
                    if (axis_distance(at[0], frac[0]) < symprec_ &&
                        axis_distance(at[1], frac[1]) < symprec_ &&
                        axis_distance(at[2], frac[2]) < symprec_)
                        best = index;
                }
    return best;
}

void SiteMerger::note(std::uint32_t site, std::uint32_t row, std::uint32_t key,
                      std::uint32_t species, double occupancy) {
    contributions_.push_back({row, key, species, first_contribution_[site], occupancy});
    first_contribution_[site] = static_cast<std::uint32_t>(contributions_.size() - 1);
}

void SiteMerger::add(std::uint32_t row, std::uint32_t key, const std::string& element,
                     double occupancy, const Vec3& frac, double uiso) {
    std::uint64_t cell[3] = {0, 0, 0};
    if (merging_) {
        for (int axis = 0; axis < 3; ++axis) cell[axis] = cell_of(frac[axis]);
        const std::uint32_t index = find(frac, cell);
        if (index != kNone) {
            Site& site = sites_[index];
            std::uint32_t species = 0;
            while (species < site.species.size() && site.species[species].first != element) ++species;
            if (species == site.species.size()) {
                site.uiso = merged_uiso(site.uiso, site.occupancy_sum(), uiso, occupancy);
                site.species.emplace_back(element, occupancy);
                note(index, row, key, species, occupancy);
                return;
            }
            for (std::uint32_t c = first_contribution_[index]; c != kNone; c = contributions_[c].next) {
                if (contributions_[c].species != species || contributions_[c].key != key) continue;
                // The same atom again (an image of its own row, or a repeated label):
                // its share is the larger value, and the species the sum of the shares
                // (one share alone sums to itself exactly).
                double& share = contributions_[c].occupancy;
                if (occupancy > share) {
                    share = occupancy;
                    site.species[species].second = species_sum(index, species);
                }
                return;
            }
            site.uiso = merged_uiso(site.uiso, site.occupancy_sum(), uiso, occupancy);
            site.species[species].second += occupancy;
            note(index, row, key, species, occupancy);
            return;
        }
    }
    const auto index = static_cast<std::uint32_t>(sites_.size());
    Site& site = sites_.emplace_back();
    site.species.emplace_back(element, occupancy);
    site.frac = frac;
    site.uiso = uiso;
    first_contribution_.push_back(kNone);
    note(index, row, key, 0, occupancy);
    if (merging_) {
        std::uint32_t& head = head_[slot(cell[0], cell[1], cell[2])];
        next_.push_back(head);
        head = index;
    }
}

double SiteMerger::species_sum(std::uint32_t site, std::uint32_t species) const {
    // The list runs newest first; the sum is taken oldest first, as the shares came.
    std::vector<double> shares;
    for (std::uint32_t c = first_contribution_[site]; c != kNone; c = contributions_[c].next)
        if (contributions_[c].species == species) shares.push_back(contributions_[c].occupancy);
    double sum = 0.0;
    for (auto it = shares.rbegin(); it != shares.rend(); ++it) sum += *it;
    return sum;
}

std::vector<std::uint32_t> SiteMerger::rows_of(std::size_t site) const {
    std::vector<std::uint32_t> rows;
    for (std::uint32_t c = first_contribution_[site]; c != kNone; c = contributions_[c].next)
        rows.insert(rows.begin(), contributions_[c].row);
    return rows;
}

}  // namespace kelvara

namespace kelvara {

std::vector<ClosePair> close_partial_sites(const std::vector<Site>& sites, const Lattice& lattice,
                                           double max_distance) {
    std::vector<std::uint32_t> partial;
    for (std::uint32_t i = 0; i < sites.size(); ++i)
        if (sites[i].occupancy_sum() < 1.0 - 1e-6) partial.push_back(i);
    std::vector<ClosePair> out;
    if (partial.size() < 2) return out;
    // Bins at least `max_distance` wide between lattice planes: close sites sit in
    // neighbouring bins.
    std::uint64_t n[3];
    double spacing[3];
    for (int axis = 0; axis < 3; ++axis) {
        double norm = 0.0;
        for (int j = 0; j < 3; ++j) norm += lattice.inverse[j][axis] * lattice.inverse[j][axis];
        spacing[axis] = 1.0 / std::sqrt(norm);
        n[axis] = std::clamp<std::uint64_t>(saturating_u64(std::floor(spacing[axis] / max_distance)), 1, 48);
    }
    auto bin_of = [&](const Vec3& f, int axis) {
        const double w = f[axis] - std::floor(f[axis]);
        return std::min<std::uint64_t>(saturating_u64(w * static_cast<double>(n[axis])), n[axis] - 1);
    };
    std::vector<std::vector<std::uint32_t>> bins(n[0] * n[1] * n[2]);
    for (std::uint32_t p = 0; p < partial.size(); ++p) {
        const Vec3& f = sites[partial[p]].frac;
        bins[(bin_of(f, 0) * n[1] + bin_of(f, 1)) * n[2] + bin_of(f, 2)].push_back(p);
    }
    for (std::uint32_t p = 0; p < partial.size(); ++p) {
        const Vec3& fa = sites[partial[p]].frac;
        std::uint64_t around[3][3];
        std::size_t n_around[3];
        for (int axis = 0; axis < 3; ++axis) {
            const std::uint64_t c = bin_of(fa, axis);
            std::size_t k = 0;
            for (std::uint64_t cand : {c, (c + n[axis] - 1) % n[axis], (c + 1) % n[axis]}) {
                bool seen = false;
                for (std::size_t m = 0; m < k; ++m) seen |= around[axis][m] == cand;
                if (!seen) around[axis][k++] = cand;
            }
            n_around[axis] = k;
        }
        for (std::size_t a = 0; a < n_around[0]; ++a)
            for (std::size_t b = 0; b < n_around[1]; ++b)
                for (std::size_t c = 0; c < n_around[2]; ++c)
                    for (std::uint32_t q : bins[(around[0][a] * n[1] + around[1][b]) * n[2] + around[2][c]]) {
                        if (q <= p) continue;
                        const Vec3& fb = sites[partial[q]].frac;
                        Vec3 d;
                        bool far = false;
                        for (int i = 0; i < 3; ++i) {
                            d[i] = (fb[i] - fa[i]) - std::round(fb[i] - fa[i]);
                            // Every image is at least this far along the planes' normal.
                            far |= std::fabs(d[i]) * spacing[i] >= max_distance;
                        }
                        if (far) continue;
                        double best = INFINITY;
                        for (int i = -1; i <= 1; ++i)
                            for (int j = -1; j <= 1; ++j)
                                for (int k = -1; k <= 1; ++k) {
                                    const Vec3 cart = lattice.to_cartesian({d[0] + i, d[1] + j, d[2] + k});
                                    best = std::min(best, std::sqrt(cart[0] * cart[0] + cart[1] * cart[1] +
                                                                    cart[2] * cart[2]));
                                }
                        if (best < max_distance) out.push_back({partial[p], partial[q], best});
                    }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ClosePair& x, const ClosePair& y) { return x.distance < y.distance; });
    return out;
}

}  // namespace kelvara
