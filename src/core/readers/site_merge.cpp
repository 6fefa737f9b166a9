// SiteMerger: symmetry images of CIF atom-site rows gathered into sites.
#include "core/readers/site_merge.hpp"

#include <algorithm>  // for std::clamp, std::min, std::sort
#include <cmath>      // for std::floor, std::cbrt, std::isnan, std::sqrt

#include "core/util/number.hpp"   // for saturating_u64
#include "core/util/scratch.hpp"  // for lend, give_back

namespace kelvara {

namespace {

/// One displacement per site: species of a site written with different values share
/// their occupancy-weighted mean.
double merged_uiso(double held_uiso, double held, double uiso, double occupancy) {
    if (std::isnan(uiso)) return held_uiso;
    if (std::isnan(held_uiso)) return uiso;
    return (held_uiso * held + uiso * occupancy) / (held + occupancy);
}

/// The shortest length of `delta` (fractional, each in [-0.5, 0.5]) over its periodic
/// images: where `one_image`, the image through the origin cell alone, and INFINITY
/// when that is not below the root of `max_squared`; else the least of the 27 around it.
double nearest_image_distance(const Lattice& lattice, const Mat3& m, const Vec3& delta, bool one_image,
                              double max_squared) {
    double best = INFINITY;
    if (one_image) {
        // As Lattice::to_cartesian, inline.
        double squared = 0.0;
        for (int j = 0; j < 3; ++j) {
            const double x = (delta[0] * m[0][j] + delta[1] * m[1][j]) + delta[2] * m[2][j];
            squared += x * x;
        }
        if (squared < max_squared) best = std::sqrt(squared);
        return best;
    }
    for (int i = -1; i <= 1; ++i)
        for (int j = -1; j <= 1; ++j)
            for (int k = -1; k <= 1; ++k) {
                const Vec3 cart = lattice.to_cartesian({delta[0] + i, delta[1] + j, delta[2] + k});
                best = std::min(best, std::sqrt(cart[0] * cart[0] + cart[1] * cart[1] + cart[2] * cart[2]));
            }
    return best;
}

/// Closest first, then in site order.
void sort_close(std::vector<ClosePair>& pairs) {
    std::sort(pairs.begin(), pairs.end(), [](const ClosePair& x, const ClosePair& y) {
        return x.distance < y.distance ||
               (x.distance == y.distance && (x.first < y.first || (x.first == y.first && x.second < y.second)));
    });
}

}  // namespace

// The stores the merger's tables are lent from.
struct HeadStore;
struct NextStore;
struct ContributionStore;
struct FirstContributionStore;
struct CloseStore;

SiteMerger::SiteMerger(double symprec, std::uint64_t expected_sites)
    : symprec_(symprec),
      head_(lend<HeadStore, std::uint32_t>()),
      next_(lend<NextStore, std::uint32_t>()),
      contributions_(lend<ContributionStore, Contribution>()),
      first_contribution_(lend<FirstContributionStore, std::uint32_t>()),
      close_(lend<CloseStore, ClosePair>()) {
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
    grid_d_ = static_cast<double>(grid_);
    width_ = 1.0 / grid_d_;
    const auto g = static_cast<std::int64_t>(grid_);
    stride_[0] = g * g;
    stride_[1] = g;
    stride_[2] = 1;
    for (int axis = 0; axis < 3; ++axis) wrap_[axis] = (g - 1) * stride_[axis];
    // At most `expected` cells: every cell has its own chain.
    head_.assign(static_cast<std::size_t>(grid_ * grid_ * grid_), kNone);
    next_.reserve(expected);
}

SiteMerger::~SiteMerger() {
    give_back<HeadStore>(std::move(head_));
    give_back<NextStore>(std::move(next_));
    give_back<ContributionStore>(std::move(contributions_));
    give_back<FirstContributionStore>(std::move(first_contribution_));
    give_back<CloseStore>(std::move(close_));
}

std::uint64_t SiteMerger::cell_of(double f) const {
    // Images lie in [0, 1] (1 itself where wrapping rounded up: the last cell, by the
    // face), so truncation is the floor.
    const std::uint64_t cell = saturating_u64(f * grid_d_);
    return cell >= grid_ ? grid_ - 1 : cell;
}

void SiteMerger::watch_close(const Lattice& lattice, double max_distance) {
    lattice_ = &lattice;
    max_distance_ = max_distance;
    max_squared_ = max_distance * max_distance * (1.0 + 1e-12);  // sqrt decides
    fused_ = merging_;
    for (int axis = 0; axis < 3; ++axis) {
        double norm = 0.0;
        for (int j = 0; j < 3; ++j) norm += lattice.inverse[j][axis] * lattice.inverse[j][axis];
        spacing_[axis] = 1.0 / std::sqrt(norm);  // between lattice planes, Angstrom
        reach_[axis] = max_distance / spacing_[axis] * grid_d_;
        fused_ &= reach_[axis] < 0.5;
        // Images look as far as symprec too (a little further, past rounding).
        reach_[axis] = std::max(reach_[axis], symprec_ * grid_d_ * (1.0 + 1e-9) + 1e-12);
    }
    // Where every plane spacing is at least twice the distance, an image other than the
    // nearest through the origin cell lies at least the distance away along some normal.
    one_image_ = std::min({spacing_[0], spacing_[1], spacing_[2]}) >= 2.0 * max_distance;
}

std::vector<ClosePair> SiteMerger::close_pairs() const {
    if (!lattice_) return {};
    if (!fused_) return close_sites(sites_, *lattice_, max_distance_);
    std::vector<ClosePair> out = close_;
    sort_close(out);
    return out;
}

std::size_t SiteMerger::slot(std::uint64_t i, std::uint64_t j, std::uint64_t k) const {
    return static_cast<std::size_t>((i * grid_ + j) * grid_ + k);
}

std::uint32_t SiteMerger::find(const Vec3& frac, const std::uint64_t (&c)[3]) {
    // Along each axis: the image's own cell, and a neighbour only when the image lies
    // within symprec of the face it shares, or, while close sites are watched, within
    // the distance or symprec, whichever reaches further (`reach_`). The offsets of
    // those cells from the image's own, each cell once.
    std::int64_t offset[27];
    offset[0] = 0;
    int n = 1;
    for (int axis = 0; grid_ > 1 && axis < 3; ++axis) {
        const double cell = static_cast<double>(static_cast<std::int64_t>(c[axis]));
        bool lower, upper;
        if (fused_) {
            const double into = frac[axis] * grid_d_ - cell;
            lower = into <= reach_[axis];
            upper = 1.0 - into <= reach_[axis];
        } else {
            const double low = cell * width_;
            lower = frac[axis] - low < symprec_;
            upper = low + width_ - frac[axis] < symprec_;
        }
        if (!lower && !upper) continue;
        const int m = n;
        if (lower) {
            const std::int64_t step = c[axis] == 0 ? wrap_[axis] : -stride_[axis];
            for (int k = 0; k < m; ++k) offset[n++] = offset[k] + step;
        }
        if (upper && (grid_ > 2 || !lower)) {  // on a grid of 2, the cell below is the one above
            const std::int64_t step = c[axis] + 1 == grid_ ? -wrap_[axis] : stride_[axis];
            for (int k = 0; k < m; ++k) offset[n++] = offset[k] + step;
        }
    }
    const std::size_t own = slot(c[0], c[1], c[2]);
    // Close sites are noted as if the image made a new site, and forgotten if it joins one.
    const std::size_t noted = close_.size();
    const auto new_index = static_cast<std::uint32_t>(sites_.size());
    std::uint32_t best = kNone;
    for (int k = 0; k < n; ++k)
        for (std::uint32_t index = head_[own + offset[k]]; index != kNone; index = next_[index]) {
            // Both tests are rarely met: each is taken whole, without a branch per axis.
            const Vec3& at = sites_[index].frac;
            const double gap[3] = {axis_distance(at[0], frac[0]), axis_distance(at[1], frac[1]),
                                   axis_distance(at[2], frac[2])};
            if ((index < best) & (gap[0] < symprec_) & (gap[1] < symprec_) & (gap[2] < symprec_)) {
                best = index;
                continue;
            }
            if (!fused_ || best != kNone) continue;
            // The periodic distance along each axis: every image is at least that far
            // along the planes' normal.
            if ((gap[0] * spacing_[0] >= max_distance_) | (gap[1] * spacing_[1] >= max_distance_) |
                (gap[2] * spacing_[2] >= max_distance_))
                continue;
            const double x[3] = {frac[0] - at[0], frac[1] - at[1], frac[2] - at[2]};
            Vec3 delta;
            for (int i = 0; i < 3; ++i)  // std::round of the difference, inline
                delta[i] = x[i] - (x[i] >= 0.5 ? 1.0 : (x[i] <= -0.5 ? -1.0 : 0.0));
            const double distance =
                nearest_image_distance(*lattice_, lattice_->matrix, delta, one_image_, max_squared_);
            if (distance < max_distance_) close_.push_back({index, new_index, distance});
        }
    if (best != kNone) close_.resize(noted);
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
                                   double max_distance) {
    std::vector<ClosePair> out;
    if (sites.size() < 2) return out;
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
    const double wide = std::max(2.0 * max_distance, std::cbrt(lattice.volume() / static_cast<double>(sites.size())));
    for (int axis = 0; axis < 3; ++axis)
        n[axis] = std::clamp<std::uint64_t>(saturating_u64(std::floor(spacing[axis] / wide)), 1, 1u << 20);
    double scale[3], width[3];  // cells per unit of the coordinate; Angstrom per cell
    for (int axis = 0; axis < 3; ++axis) {
        scale[axis] = static_cast<double>(n[axis]);
        width[axis] = spacing[axis] / scale[axis];
    }
    const bool one_image = std::min({spacing[0], spacing[1], spacing[2]}) >= 2.0 * max_distance;
    const Mat3& m = lattice.matrix;
    const double max_squared = max_distance * max_distance * (1.0 + 1e-12);  // sqrt decides
    // Sites lie in [0, 1] (1 itself where wrapping rounded up: the last cell, by the face).
    auto cell_of = [&](double f, int axis) {
        return std::min<std::uint64_t>(saturating_u64(f * scale[axis]), n[axis] - 1);
    };
    auto key_of = [&](std::uint64_t i, std::uint64_t j, std::uint64_t k) { return (i * n[1] + j) * n[2] + k; };
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * sites.size()) ++bits;
    auto slot_of = [&](std::uint64_t key) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    };
    constexpr std::uint32_t none = UINT32_MAX;
    std::vector<std::uint32_t> head(std::size_t{1} << bits, none), next(sites.size());
    std::vector<std::uint64_t> keys(sites.size());
    for (std::uint32_t p = 0; p < sites.size(); ++p) {
        const Vec3& f = sites[p].frac;
        keys[p] = key_of(cell_of(f[0], 0), cell_of(f[1], 1), cell_of(f[2], 2));
        std::uint32_t& first = head[slot_of(keys[p])];
        next[p] = first;
        first = p;
    }
    for (std::uint32_t p = 0; p < sites.size(); ++p) {
        const Vec3& fa = sites[p].frac;
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
                        const Vec3& fb = sites[q].frac;
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
                        const double best = nearest_image_distance(lattice, m, d, one_image, max_squared);
                        if (best < max_distance) out.push_back({p, q, best});
                    }
                }
    }
    sort_close(out);
    return out;
}

}  // namespace kelvara
