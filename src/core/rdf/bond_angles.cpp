// Bond-angle distributions: the angles j-i-k between pairs of neighbours of a centre
// within a cutoff, over all periodic images, found with the RDF's cell grid.
#include "core/rdf/bond_angles.hpp"

#include <algorithm>  // for std::min, std::clamp
#include <cmath>      // for std::acos, std::ceil, std::isfinite, std::sqrt

#include "core/rdf/frames.hpp"
#include "core/rdf/neighbor.hpp"
#include "core/rdf/pass_cost.hpp"
#include "core/rdf/pool.hpp"
#include "core/util/cancel.hpp"

namespace kelvara {

namespace {

constexpr double degrees_per_radian = 57.29577951308232;

/// One neighbour of the current centre: its Cartesian offset, distance and weights.
struct Neighbour {
    double x, y, z, r;
    double first, second;  // occupancy by the first and the second neighbour element
};

/// Occupancy of `element` on every site by position in the grid.
std::vector<double> occupancy_by_position(const Structure& structure, const CellList& cells,
                                          const std::string& element) {
    std::vector<double> out(cells.site_at.size(), 0.0);
    for (std::size_t p = 0; p < out.size(); ++p)
        for (const auto& [name, occupancy] : structure.sites[cells.site_at[p]].species)
            if (name == element) out[p] += occupancy;
    return out;
}

struct AngleTables {
    const CellList* cells = nullptr;
    double m[9]{};
    double cut2 = 0.0;
    bool self_images = true;
    bool same = true;  // one neighbour element
    std::vector<double> centre, first, second;
    const std::vector<double>* edges = nullptr;
    double bin_deg = 1.0;
};

/// Every neighbour of the centre at position i (every site and translation whose
/// cell lies in the scanned block, within the cutoff).
void neighbours_of(const AngleTables& t, std::size_t i, std::vector<Neighbour>& out) {
    const CellList& cl = *t.cells;
    out.clear();
    const double wi[3] = {cl.wa[i], cl.wb[i], cl.wc[i]};
    const std::int64_t i_a = CellList::axis_cell(wi[0], cl.n_a), i_b = CellList::axis_cell(wi[1], cl.n_b),
                       i_c = CellList::axis_cell(wi[2], cl.n_c);
    for (std::int64_t d_a = -cl.reach_a; d_a <= cl.reach_a; ++d_a) {
        const auto fa = CellList::wrap_cell(i_a + d_a, cl.n_a);
        for (std::int64_t d_b = -cl.reach_b; d_b <= cl.reach_b; ++d_b) {
            const auto fb = CellList::wrap_cell(i_b + d_b, cl.n_b);
            for (std::int64_t d_c = -cl.reach_c; d_c <= cl.reach_c; ++d_c) {
                const auto fc = CellList::wrap_cell(i_c + d_c, cl.n_c);
                const auto cell = static_cast<std::size_t>(cl.cell_index(fa.cell, fb.cell, fc.cell));
                const double s[3] = {static_cast<double>(fa.shift), static_cast<double>(fb.shift),
                                     static_cast<double>(fc.shift)};
                for (std::size_t j = cl.cell_start[cell]; j < cl.cell_start[cell + 1]; ++j) {
                    if (t.first[j] == 0.0 && t.second[j] == 0.0) continue;
                    if (j == i && !t.self_images) continue;
                    const double da = (cl.wa[j] + s[0]) - wi[0], db = (cl.wb[j] + s[1]) - wi[1],
                                 dc = (cl.wc[j] + s[2]) - wi[2];
                    const double x = (da * t.m[0] + db * t.m[3]) + dc * t.m[6];
                    const double y = (da * t.m[1] + db * t.m[4]) + dc * t.m[7];
                    const double z = (da * t.m[2] + db * t.m[5]) + dc * t.m[8];
                    const double d2 = (x * x + y * y) + z * z;
                    if (!(d2 <= t.cut2 && d2 > 1e-16)) continue;
                    out.push_back({x, y, z, std::sqrt(d2), t.first[j], t.second[j]});
                }
            }
        }
    }
}

/// Bin of an angle in degrees against the edges; 180 falls in the last bin.
std::size_t angle_bin(double theta, const AngleTables& t) {
    const std::vector<double>& e = *t.edges;
    const std::size_t n_bins = e.size() - 1;
    std::size_t b = std::min(static_cast<std::size_t>(theta / t.bin_deg), n_bins - 1);
    while (b > 0 && e[b] > theta) --b;
    while (b + 1 < n_bins && e[b + 1] <= theta) ++b;
    return b;
}

void add_angle(const Neighbour& u, const Neighbour& v, double weight, const AngleTables& t, double* hist) {
    const double dot = (u.x * v.x + u.y * v.y) + u.z * v.z;
    const double cosine = std::clamp(dot / (u.r * v.r), -1.0, 1.0);
    hist[angle_bin(std::acos(cosine) * degrees_per_radian, t)] += weight;
}

void count_centres(const AngleTables& t, std::size_t lo, std::size_t hi, double* hist) {
    std::vector<Neighbour> near;
    for (std::size_t i = lo; i < hi; ++i) {
        const double oc = t.centre[i];
        if (oc == 0.0) continue;
        if (i % 64 == 63 && cancel_point()) return;
        neighbours_of(t, i, near);
        const std::size_t n = near.size();
        for (std::size_t u = 0; u < n; ++u) {
            const double wu = oc * near[u].first;
            if (t.same) {
                if (wu == 0.0) continue;
                for (std::size_t v = u + 1; v < n; ++v)
                    if (near[v].first != 0.0) add_angle(near[u], near[v], wu * near[v].first, t, hist);
            } else {
                if (wu == 0.0) continue;
                for (std::size_t v = 0; v < n; ++v)
                    if (v != u && near[v].second != 0.0) add_angle(near[u], near[v], wu * near[v].second, t, hist);
            }
        }
    }
}

}  // namespace

std::vector<double> angle_edges(double bin_deg) {
    auto n_bins = static_cast<std::size_t>(std::ceil(180.0 / bin_deg));
    if (n_bins > 1 && static_cast<double>(n_bins - 1) * bin_deg >= 180.0) --n_bins;  // rounding
    std::vector<double> edges(n_bins + 1);
    for (std::size_t k = 0; k < n_bins; ++k) edges[k] = static_cast<double>(k) * bin_deg;
    edges[n_bins] = 180.0;
    return edges;
}

Result<void> check_angle_query(const AngleQuery& query) {
    if (!std::isfinite(query.cutoff)) return fail("cutoff must be a finite number");
    if (!(query.cutoff > 0.0)) return fail("cutoff must be positive");
    if (!(query.bin_deg >= 0.001 && query.bin_deg <= 180.0))
        return fail("bin_deg must be between 0.001 and 180 degrees");
    if (query.centre.empty() || query.first.empty() || query.second.empty())
        return fail("the elements of an angle must not be empty");
    return {};
}

Result<std::vector<double>> bond_angle_histogram(const Structure& structure, const AngleQuery& query,
                                                 WorkerPool& pool) {
    if (auto valid = check_angle_query(query); !valid) return fail(valid.error());
    const std::size_t n_sites = structure.sites.size();
    if (n_sites >= (std::size_t{1} << 31))
        return fail("structure has " + std::to_string(n_sites) +
                    " sites; angles are counted for fewer than 2147483648");
    const auto cost = check_pass_cost(structure.lattice.matrix, n_sites, query.cutoff);
    if (!cost) return fail(cost.error());

    const std::vector<double> edges = angle_edges(query.bin_deg);
    const std::size_t n_bins = edges.size() - 1;
    const CellList cells = CellList::build(structure.lattice.matrix, structure.sites, query.cutoff);
    AngleTables t;
    t.cells = &cells;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) t.m[3 * r + c] = structure.lattice.matrix[r][c];
    t.cut2 = query.cutoff * query.cutoff;
    t.self_images = query.self_images;
    t.same = query.first == query.second;
    t.centre = occupancy_by_position(structure, cells, query.centre);
    t.first = occupancy_by_position(structure, cells, query.first);
    t.second = t.same ? t.first : occupancy_by_position(structure, cells, query.second);
    t.edges = &edges;
    t.bin_deg = query.bin_deg;

    // Fixed by the input alone, so the sums are the same for every pool.
    const std::size_t leaves = std::clamp<std::size_t>(n_sites / 256, 1, 64);
    std::vector<std::vector<double>> partial(leaves);
    const auto status = pool.run(
        leaves,
        [&](std::size_t k) {
            partial[k].assign(n_bins, 0.0);
            count_centres(t, n_sites * k / leaves, n_sites * (k + 1) / leaves, partial[k].data());
        },
        cost->small());
    if (!status) return fail(status.error());
    std::vector<double>& hist = partial[0];
    for (std::size_t k = 1; k < leaves; ++k)
        for (std::size_t b = 0; b < n_bins; ++b) hist[b] += partial[k][b];
    return std::move(hist);
}

Result<std::vector<std::vector<double>>> compute_frames_bond_angles(
    const std::vector<const Structure*>& frames, std::uint64_t n_threads, const AngleQuery& query) {
    if (auto valid = check_angle_query(query); !valid) return fail(valid.error());
    auto call = CallPool::start(n_threads);
    if (!call) return fail(call.error());
    std::vector<std::vector<double>> results(frames.size());
    auto status = for_each_frame(frames.size(), call->get(), [&](std::size_t k, WorkerPool& pool) -> Result<void> {
        auto hist = bond_angle_histogram(*frames[k], query, pool);
        if (!hist) return fail(std::move(hist.error()));
        results[k] = std::move(*hist);
        return {};
    });
    if (!status) return fail(std::move(status.error()));
    return results;
}

}  // namespace kelvara
