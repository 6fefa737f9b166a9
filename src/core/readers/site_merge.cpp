// SiteMerger: symmetry images of CIF atom-site rows gathered into sites.
#include "core/readers/site_merge.hpp"

#include <algorithm>  // for std::clamp, std::min, std::sort
#include <cmath>      // for std::floor, std::cbrt, std::isnan, std::sqrt

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

std::uint32_t SiteMerger::first_row(std::size_t site) const {
    std::uint32_t c = first_contribution_[site];
    while (contributions_[c].next != kNone) c = contributions_[c].next;  // newest first: the last
    return contributions_[c].row;
}

std::vector<std::uint32_t> SiteMerger::rows_of(std::size_t site) const {
    std::vector<std::uint32_t> rows;
    for (std::uint32_t c = first_contribution_[site]; c != kNone; c = contributions_[c].next)
        rows.insert(rows.begin(), contributions_[c].row);
    return rows;
}

}  // namespace kelvara

namespace kelvara {

std::vector<ClosePair> close_sites(const std::vector<Site>& sites, const Lattice& lattice,
                                   double max_distance, CloseKind kind) {
    std::vector<std::uint32_t> members;  // the sites a pair may hold
    std::vector<char> full;              // per member: fully occupied
    for (std::uint32_t i = 0; i < sites.size(); ++i) {
        const bool is_full = !(sites[i].occupancy_sum() < 1.0 - 1e-6);
        if (kind == CloseKind::full || !is_full) {
            members.push_back(i);
            full.push_back(is_full);
        }
    }
    std::vector<ClosePair> out;
    if (members.size() < 2) return out;
    // Cells at least twice `max_distance` wide between lattice planes: a site's close
    // neighbours are in its own cell or, along an axis, in the next cell over the face it
    // stands within `max_distance` of (one face at most). The occupied cells are filed
    // in a hash table, so a large cell with few sites costs no more than a small one.
    std::uint64_t n[3];
    double spacing[3];
    for (int axis = 0; axis < 3; ++axis) {
        double norm = 0.0;
        for (int j = 0; j < 3; ++j) norm += lattice.inverse[j][axis] * lattice.inverse[j][axis];
        spacing[axis] = 1.0 / std::sqrt(norm);
    }
    // Cells twice the distance wide at least (one neighbour over a face at most), and
    // about one site a cell: wider cells hold more sites, but a site is near a face
    // less often.
    const double wide = std::max(2.0 * max_distance,
                                 std::cbrt(lattice.volume() / static_cast<double>(members.size())));
    for (int axis = 0; axis < 3; ++axis)
        n[axis] = std::clamp<std::uint64_t>(saturating_u64(std::floor(spacing[axis] / wide)), 1, 1u << 20);
    double scale[3], width[3];  // cells per unit of the coordinate; Angstrom per cell
    for (int axis = 0; axis < 3; ++axis) {
        scale[axis] = static_cast<double>(n[axis]);
        width[axis] = spacing[axis] / scale[axis];
    }
    // Where every plane spacing is at least twice the distance, an image other than the
    // nearest through the origin cell lies at least the distance away along some normal.
    const bool one_image = std::min({spacing[0], spacing[1], spacing[2]}) >= 2.0 * max_distance;
    const Mat3& m = lattice.matrix;
    const double max_squared = max_distance * max_distance * (1.0 + 1e-12);  // sqrt decides
    // Sites lie in [0, 1] (1 itself where wrapping rounded up: the last cell, by the face).
    auto cell_of = [&](double f, int axis) {
        return std::min<std::uint64_t>(saturating_u64(f * static_cast<double>(n[axis])), n[axis] - 1);
    };
    auto key_of = [&](std::uint64_t i, std::uint64_t j, std::uint64_t k) { return (i * n[1] + j) * n[2] + k; };
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * members.size()) ++bits;
    auto slot_of = [&](std::uint64_t key) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    };
    constexpr std::uint32_t none = UINT32_MAX;
    std::vector<std::uint32_t> head(std::size_t{1} << bits, none), next(members.size());
    std::vector<std::uint64_t> keys(members.size());
    for (std::uint32_t p = 0; p < members.size(); ++p) {
        const Vec3& f = sites[members[p]].frac;
        keys[p] = key_of(cell_of(f[0], 0), cell_of(f[1], 1), cell_of(f[2], 2));
        std::uint32_t& first = head[slot_of(keys[p])];
        next[p] = first;
        first = p;
    }
    for (std::uint32_t p = 0; p < members.size(); ++p) {
        const Vec3& fa = sites[members[p]].frac;
        std::uint64_t around[3][2];
        std::size_t n_around[3];
        for (int axis = 0; axis < 3; ++axis) {
            const std::uint64_t c = cell_of(fa[axis], axis);
            around[axis][0] = c;
            n_around[axis] = 1;
            if (n[axis] == 1) continue;
            // Where the site stands in its cell, along the plane normal, in Angstrom.
            const double into = (fa[axis] * scale[axis] - static_cast<double>(c)) * width[axis];
            if (into < max_distance) around[axis][n_around[axis]++] = c == 0 ? n[axis] - 1 : c - 1;
            else if (width[axis] - into < max_distance) around[axis][n_around[axis]++] = c + 1 == n[axis] ? 0 : c + 1;
        }
        for (std::size_t a = 0; a < n_around[0]; ++a)
            for (std::size_t b = 0; b < n_around[1]; ++b)
                for (std::size_t c = 0; c < n_around[2]; ++c) {
                    const std::uint64_t key = key_of(around[0][a], around[1][b], around[2][c]);
                    for (std::uint32_t q = head[slot_of(key)]; q != none; q = next[q]) {
                        if (q <= p || keys[q] != key) continue;
                        if (kind == CloseKind::full && !full[p] && !full[q]) continue;
                        const Vec3& fb = sites[members[q]].frac;
                        Vec3 d;
                        bool far = false;
                        for (int i = 0; i < 3; ++i) {
                            // Sites lie in [0, 1]: std::round of their difference, inline.
                            const double x = fb[i] - fa[i];
                            d[i] = x - (x >= 0.5 ? 1.0 : (x <= -0.5 ? -1.0 : 0.0));
                            // Every image is at least this far along the planes' normal.
                            far |= std::fabs(d[i]) * spacing[i] >= max_distance;
                        }
                        if (far) continue;
                        double best = INFINITY;
                        if (one_image) {
                            // As Lattice::to_cartesian, inline.
                            double squared = 0.0;
                            for (int j = 0; j < 3; ++j) {
                                const double x = (d[0] * m[0][j] + d[1] * m[1][j]) + d[2] * m[2][j];
                                squared += x * x;
                            }
                            if (squared < max_squared) best = std::sqrt(squared);
                        } else {
                            for (int i = -1; i <= 1; ++i)
                                for (int j = -1; j <= 1; ++j)
                                    for (int k = -1; k <= 1; ++k) {
                                        const Vec3 cart = lattice.to_cartesian({d[0] + i, d[1] + j, d[2] + k});
                                        best = std::min(best, std::sqrt(cart[0] * cart[0] + cart[1] * cart[1] +
                                                                        cart[2] * cart[2]));
                                    }
                        }
                        if (best < max_distance) out.push_back({members[p], members[q], best});
                    }
                }
    }
    std::sort(out.begin(), out.end(), [](const ClosePair& x, const ClosePair& y) {
        return x.distance < y.distance ||
               (x.distance == y.distance && (x.first < y.first || (x.first == y.first && x.second < y.second)));
    });
    return out;
}

}  // namespace kelvara
