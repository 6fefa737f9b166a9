// The histogram pass: every pair within the cutoff over all periodic images, binned
// against the stored edges and weighted by the occupancies involved.
#include "core/rdf/pair_histogram.hpp"

#include <algorithm>  // for std::min, std::max
#include <cmath>      // for std::sqrt, std::fabs

#include "core/util/cancel.hpp"
#include "core/util/number.hpp"  // for saturating_i64
#include "core/rdf/pair_kernel.hpp"
#include "core/rdf/pool.hpp"

namespace kelvara {

namespace {

/// Read-only tables shared by every leaf task.
struct PassTables {
    std::size_t n_sites = 0, n_el = 0, n_bins = 0;
    const double* edges = nullptr;
    /// The distance test as a centre applies it: near2 < d2 <= cut2. The scan
    /// accepts a little more (setup), so that no pair is lost whose other end
    /// measures it slightly shorter.
    double cut2 = 0.0, near2 = 1e-16;
    ScanSetup setup{};
    const CellList* cells = nullptr;
    /// Every site has exactly one species: its element and occupancy by position.
    bool single_species = false;
    /// ... and every occupancy is exactly 1, so every pair adds exactly 1.
    bool unit_weights = false;
    /// The candidates carry their element's row offset (one species per site, and
    /// not a single element with unit weights, whose hits all go to one row).
    bool neighbor_rows = false;
    /// An atom's own periodic images are left out (a simulation box, whose images
    /// are copies of the same atoms); only set when the cutoff reaches one.
    bool drop_self = false;
    /// The candidates carry their position (weights to look up, or self images to drop).
    bool need_at = false;
    std::vector<std::uint32_t> element_at;
    /// element_at times n_bins: where a neighbour's bins start in a centre's row.
    std::vector<std::uint32_t> row_at;
    std::vector<double> occupancy_at;
    const SpeciesTable* species = nullptr;
    GatherRuns gather_runs = nullptr;
};

/// Bin of distance d, found against the stored edges: edges[b] <= d < edges[b + 1],
/// the last bin closed on the right; -1 when d lies beyond the last edge.
inline std::int64_t find_bin(double d, const PassTables& t) {
    const std::int64_t n_bins = static_cast<std::int64_t>(t.n_bins);
    std::int64_t b = saturating_i64(d * t.setup.inv_bin);
    if (b > n_bins) b = n_bins;
    while (b > 0 && t.edges[b] > d) --b;
    while (b < n_bins && t.edges[b + 1] <= d) ++b;
    if (b < n_bins) return b;
    return d == t.edges[n_bins] ? n_bins - 1 : -1;
}

/// Working buffers of one leaf task: the shifted candidates of the current centre cell.
struct Candidates {
    std::size_t m = 0;                    // candidates of the current centre cell
    std::vector<double> ja, jb, jc;       // w_j + s for every scanned (j, s)
    std::vector<std::uint32_t> at;        // position of j
    std::vector<std::uint32_t> neighbor_row;  // element of j times n_bins (one species per site)
    std::vector<std::int64_t> hit_index;  // accepted candidates of one centre
    std::vector<double> hit_distance;     // and their distances
    std::vector<std::int64_t> hit_bin;    // and their bins, where the scan confirmed its guess
    std::vector<Run> runs;
    std::vector<std::size_t> run_first;   // candidate index where each run starts
};

/// Candidates held at once. A cell far thinner than the cutoff has millions of images
/// to scan; they are taken in batches of about this size (and of at most
/// `max_runs` runs), so the working memory of a leaf stays bounded.
constexpr std::size_t max_candidates = std::size_t{1} << 18;
constexpr std::size_t max_runs = std::size_t{1} << 14;

/// Calls flush(first) with `out.runs` holding batches of the runs (contiguous sites,
/// one translation) that a centre in `cell` must test; together the batches cover
/// every (site, translation) of the forward half of the scanned block once. Forward
/// means a cell offset (d_a, d_b, d_c) after zero in that order: the pair (i, j, T)
/// and the pair (j, i, -T) lie at opposite offsets, so exactly one of them is met
/// unless the offset is zero. The offset is zero only for two sites of the same cell
/// without translation: the first batch (first = true) starts with the centre cell's
/// own sites, in position order, and a centre tests only those after itself.
template <class Flush>
void for_each_batch(const PassTables& t, std::size_t cell, Candidates& out, Flush&& flush) {
    const CellList& cl = *t.cells;
    out.runs.clear();
    std::size_t size = 0;
    bool first = true;
    const std::int64_t i_c = static_cast<std::int64_t>(cell) % cl.n_c;
    const std::int64_t i_b = (static_cast<std::int64_t>(cell) / cl.n_c) % cl.n_b;
    const std::int64_t i_a = static_cast<std::int64_t>(cell) / (cl.n_c * cl.n_b);
    // Along c, the cells of one translation are neighbours in the sorted order: each
    // run with one shift is a single contiguous range of sites.
    const auto add_row = [&](std::int64_t d_a, std::int64_t d_b, std::int64_t x, std::int64_t x_end) {
        const auto fa = CellList::wrap_cell(i_a + d_a, cl.n_a);
        const auto fb = CellList::wrap_cell(i_b + d_b, cl.n_b);
        while (x <= x_end) {
            const auto fc = CellList::wrap_cell(x, cl.n_c);
            const std::int64_t run = std::min(x_end - x + 1, cl.n_c - fc.cell);
            const std::size_t start = static_cast<std::size_t>(cl.cell_index(fa.cell, fb.cell, fc.cell));
            const std::size_t j0 = cl.cell_start[start],
                              j1 = cl.cell_start[start + static_cast<std::size_t>(run)];
            x += run;
            if (j1 == j0) continue;
            if (!out.runs.empty() && (size + (j1 - j0) > max_candidates || out.runs.size() == max_runs)) {
                flush(first);
                first = false;
                out.runs.clear();
                size = 0;
            }
            out.runs.push_back({j0, j1, static_cast<double>(fa.shift), static_cast<double>(fb.shift),
                                static_cast<double>(fc.shift)});
            size += j1 - j0;
        }
    };
    // The centre cell and the cells after it along c (the centre cell is never empty,
    // so its sites open the first run).
    add_row(0, 0, i_c, i_c + cl.reach_c);
    for (std::int64_t d_b = 1; d_b <= cl.reach_b; ++d_b) add_row(0, d_b, i_c - cl.reach_c, i_c + cl.reach_c);
    for (std::int64_t d_a = 1; d_a <= cl.reach_a; ++d_a)
        for (std::int64_t d_b = -cl.reach_b; d_b <= cl.reach_b; ++d_b)
            add_row(d_a, d_b, i_c - cl.reach_c, i_c + cl.reach_c);
    if (!out.runs.empty()) flush(first);
}

/// The current batch of runs as one flat list of candidates; the image term w_j + s
/// is formed here once for all the centres of the cell.
void gather(const PassTables& t, Candidates& out) {
    std::size_t total = 0;
    for (const auto& run : out.runs) total += run.j1 - run.j0;
    if (out.ja.size() < total) {
        out.ja.resize(total), out.jb.resize(total), out.jc.resize(total);
        out.hit_index.resize(total + 8), out.hit_distance.resize(total + 8);
        out.hit_bin.resize(total + 8);
        if (t.need_at) out.at.resize(total);
        if (t.neighbor_rows) out.neighbor_row.resize(total);
    }
    const CellList& cl = *t.cells;
    out.m = t.gather_runs(out.runs.data(), out.runs.size(), cl.wa.data(), cl.wb.data(), cl.wc.data(),
                          out.ja.data(), out.jb.data(), out.jc.data());
    std::size_t k = 0;
    out.run_first.clear();
    for (const auto& run : out.runs) {
        out.run_first.push_back(k);
        if (t.neighbor_rows)
            std::copy(t.row_at.data() + run.j0, t.row_at.data() + run.j1, out.neighbor_row.data() + k);
        if (t.need_at)
            for (std::size_t j = run.j0; j < run.j1; ++j)
                out.at[k + j - run.j0] = static_cast<std::uint32_t>(j);
        k += run.j1 - run.j0;
    }
}

/// Squared distance from `centre` to `other` seen through translation s, as a centre
/// measures a neighbour: delta = (w_other + s) - w_centre.
double measured_square(const double* m, const double* centre, const double* other, const double* s) {
    const double da = (other[0] + s[0]) - centre[0], db = (other[1] + s[1]) - centre[1],
                 dc = (other[2] + s[2]) - centre[2];
    const double x = (da * m[0] + db * m[3]) + dc * m[6];
    const double y = (da * m[1] + db * m[4]) + dc * m[7];
    const double z = (da * m[2] + db * m[5]) + dc * m[8];
    return (x * x + y * y) + z * z;
}

/// The pair of centre position i and candidate k, when its bin is not settled by the
/// scan: the two ordered pairs, i around j + s and j around i - s, are measured from
/// their own centres (the rounding of w + s differs between the two), each tested
/// and binned against the edges, and added to `odd` as they are (no transposed
/// copy is added for them later).
void exact_pair(const PassTables& t, const Candidates& cand, std::size_t i, std::size_t k,
                std::vector<double>& odd) {
    const auto r = static_cast<std::size_t>(
        std::upper_bound(cand.run_first.begin(), cand.run_first.end(), k) - cand.run_first.begin() - 1);
    const Run& run = cand.runs[r];
    const std::size_t j = run.j0 + (k - cand.run_first[r]);
    const CellList& cl = *t.cells;
    const double wi[3] = {cl.wa[i], cl.wb[i], cl.wc[i]}, wj[3] = {cl.wa[j], cl.wb[j], cl.wc[j]};
    const double forward[3] = {run.sa, run.sb, run.sc}, backward[3] = {-run.sa, -run.sb, -run.sc};
    const auto& sp = *t.species;
    const std::size_t n_el = t.n_el, n_bins = t.n_bins;
    if (odd.empty()) odd.assign(n_el * n_el * n_bins, 0.0);
    const auto add = [&](std::uint32_t centre, std::uint32_t other, double d2) {
        if (!(d2 <= t.cut2 && d2 > t.near2)) return;
        const std::int64_t b = find_bin(std::sqrt(d2), t);
        if (b < 0) return;
        for (auto s = sp.species_offsets[centre]; s < sp.species_offsets[centre + 1]; ++s)
            for (auto u = sp.species_offsets[other]; u < sp.species_offsets[other + 1]; ++u)
                odd[(sp.species_element[s] * n_el + sp.species_element[u]) * n_bins +
                    static_cast<std::size_t>(b)] += sp.species_occupancy[u] * sp.species_occupancy[s];
    };
    const std::uint32_t si = cl.site_at[i], sj = cl.site_at[j];
    add(si, sj, measured_square(t.setup.matrix, wi, wj, forward));
    add(sj, si, measured_square(t.setup.matrix, wj, wi, backward));
}

/// Removes from the hit lists the candidates at the centre's own position: with the
/// centre's own cell scanned only after the centre, those are its periodic images.
std::size_t drop_own_images(Candidates& cand, std::size_t skip, std::size_t centre, std::size_t n_hits) {
    std::size_t kept = 0;
    for (std::size_t h = 0; h < n_hits; ++h) {
        if (cand.at[skip + static_cast<std::size_t>(cand.hit_index[h])] == centre) continue;
        cand.hit_index[kept] = cand.hit_index[h];
        cand.hit_distance[kept] = cand.hit_distance[h];
        cand.hit_bin[kept] = cand.hit_bin[h];
        ++kept;
    }
    return kept;
}

/// Every centre of [first, last) against the gathered candidates, into `hist`: each
/// pair once, in the centre's row (the caller adds the transposed blocks). `own` is
/// the first position of the centres' cell when the candidates open with that cell's
/// sites, which a centre then tests only after its own position; else none.
void count_centres(const PassTables& t, std::size_t first, std::size_t last, std::size_t own,
                  bool opens_with_own, Candidates& cand, ScanCandidates scan, double* hist,
                  std::vector<double>& odd) {
    const std::size_t n_bins = t.n_bins, n_el = t.n_el;
    for (std::size_t i = first; i < last; ++i) {
        if ((i - first) % 16 == 15 && cancel_point()) return;  // a cell may hold many centres
        const std::size_t skip = opens_with_own ? i - own + 1 : 0;
        const double centre[3] = {t.cells->wa[i], t.cells->wb[i], t.cells->wc[i]};
        std::size_t n_hits = scan(cand.ja.data() + skip, cand.jb.data() + skip, cand.jc.data() + skip,
                                  cand.m - skip, centre, t.setup, cand.hit_index.data(),
                                  cand.hit_distance.data(), cand.hit_bin.data());
        if (t.drop_self) n_hits = drop_own_images(cand, skip, i, n_hits);
        const std::int64_t* index = cand.hit_index.data();
        const std::int64_t* bins = cand.hit_bin.data();
        if (!t.setup.guess) {  // no bin settled by the scan
            for (std::size_t h = 0; h < n_hits; ++h)
                exact_pair(t, cand, i, skip + static_cast<std::size_t>(index[h]), odd);
            continue;
        }
        // The bin of hit h that the scan confirmed; else the pair is settled here.
        const auto bin_of = [&](std::size_t h) -> std::int64_t {
            const std::int64_t b = bins[h];
            if (b < 0) exact_pair(t, cand, i, skip + static_cast<std::size_t>(index[h]), odd);
            return b;
        };
        if (t.unit_weights) {  // every weight is exactly 1
            double* row = hist + t.element_at[i] * n_el * n_bins;
            if (n_el == 1) {
                for (std::size_t h = 0; h < n_hits; ++h) {
                    const std::int64_t b = bin_of(h);
                    if (b >= 0) row[b] += 1.0;
                }
                continue;
            }
            const std::uint32_t* neighbor_row = cand.neighbor_row.data() + skip;
            for (std::size_t h = 0; h < n_hits; ++h) {
                const std::int64_t b = bin_of(h);
                if (b >= 0) row[neighbor_row[index[h]] + static_cast<std::size_t>(b)] += 1.0;
            }
            continue;
        }
        const std::uint32_t* at = cand.at.data() + skip;
        if (t.single_species) {
            double* row = hist + t.element_at[i] * n_el * n_bins;
            const std::uint32_t* neighbor_row = cand.neighbor_row.data() + skip;
            const double occupancy = t.occupancy_at[i];
            for (std::size_t h = 0; h < n_hits; ++h) {
                const std::int64_t b = bin_of(h);
                if (b < 0) continue;
                const auto k = static_cast<std::size_t>(index[h]);
                row[neighbor_row[k] + static_cast<std::size_t>(b)] += t.occupancy_at[at[k]] * occupancy;
            }
            continue;
        }
        const auto& sp = *t.species;
        const std::uint32_t si = t.cells->site_at[i];
        for (std::size_t h = 0; h < n_hits; ++h) {
            const std::int64_t b = bin_of(h);
            if (b < 0) continue;
            const std::uint32_t sj = t.cells->site_at[at[static_cast<std::size_t>(index[h])]];
            for (auto s = sp.species_offsets[si]; s < sp.species_offsets[si + 1]; ++s)
                for (auto u = sp.species_offsets[sj]; u < sp.species_offsets[sj + 1]; ++u)
                    hist[(sp.species_element[s] * n_el + sp.species_element[u]) * n_bins +
                         static_cast<std::size_t>(b)] += sp.species_occupancy[u] * sp.species_occupancy[s];
        }
    }
}

/// Counts the pairs of the centre positions [lo, hi) into `hist` (zero-filled, n_el * n_el * n_bins).
/// Pairs whose ends measure them differently go to `odd` (left empty when none).
void count_range(const PassTables& t, std::size_t lo, std::size_t hi, double* hist,
                std::vector<double>& odd) {
    Candidates cand;
    const ScanCandidates scan = select_scan_candidates(t.setup.matrix);
    // The cell holding position lo: the last cell whose start is <= lo.
    const std::vector<std::uint32_t>& starts = t.cells->cell_start;
    std::size_t cell = static_cast<std::size_t>(
        std::upper_bound(starts.begin(), starts.end(), static_cast<std::uint32_t>(lo)) - starts.begin() - 1);
    for (std::size_t first = lo; first < hi; ++cell) {
        const std::size_t last = std::min<std::size_t>(hi, starts[cell + 1]);
        if (first >= last) continue;
        // Polled per batch: the pool then fails the whole pass.
        bool stopped = false;
        for_each_batch(t, cell, cand, [&](bool opens_with_own) {
            if (stopped || (stopped = cancel_point())) return;
            gather(t, cand);
            count_centres(t, first, last, starts[cell], opens_with_own, cand, scan, hist, odd);
        });
        if (stopped) return;
        first = last;
    }
}

PassTables build_tables(const Structure& structure, double cutoff, double bin_size,
                        const std::vector<double>& edges, std::size_t n_bins,
                        const SpeciesTable& species, const CellList& cells, bool self_images) {
    PassTables t;
    t.n_sites = structure.sites.size();
    t.n_el = species.elements.size();
    t.n_bins = n_bins;
    t.edges = edges.data();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) t.setup.matrix[3 * r + c] = structure.lattice.matrix[r][c];
    t.cut2 = cutoff * cutoff;
    // From its two ends a pair is measured through w_j + s and w_i - s, which round
    // differently: the two distances differ by at most about 20 units in the last
    // place of sum_x |row x| (|s_x| + 1) (each |delta_x| <= |s_x| + 1, and
    // |s_x| <= reach_x / n_x + 1). The scan settles a pair alone only when it lies
    // farther than this `margin` from every edge and from both ends of the distance
    // test, so that the other end would have found the same bin.
    const double shifts[3] = {static_cast<double>(cells.reach_a) / static_cast<double>(cells.n_a) + 2.0,
                              static_cast<double>(cells.reach_b) / static_cast<double>(cells.n_b) + 2.0,
                              static_cast<double>(cells.reach_c) / static_cast<double>(cells.n_c) + 2.0};
    double extent = cutoff;
    for (int r = 0; r < 3; ++r)
        extent += (std::fabs(structure.lattice.matrix[r][0]) + std::fabs(structure.lattice.matrix[r][1]) +
                   std::fabs(structure.lattice.matrix[r][2])) * shifts[r];
    const double margin = 64.0 * 0x1p-53 * extent;
    t.setup.margin = margin;
    t.setup.clear_lo = 1e-8 + margin;
    t.setup.clear_hi = cutoff - margin;
    t.setup.cut2 = (cutoff + 2.0 * margin) * (cutoff + 2.0 * margin);
    t.setup.near2 = 1e-8 > 2.0 * margin ? (1e-8 - 2.0 * margin) * (1e-8 - 2.0 * margin) : 0.0;
    t.setup.bin_size = bin_size;
    t.setup.inv_bin = 1.0 / bin_size;  // only the first guess of a bin; the edges decide
    t.setup.n_bins = static_cast<std::int64_t>(n_bins);
    // The scan confirms its guesses against edges k * bin_size it computes itself:
    // allowed only where those are the stored edges.
    t.setup.guess = n_bins < (std::size_t{1} << 30);
    for (std::size_t k = 0; k <= n_bins && t.setup.guess; ++k)
        t.setup.guess = edges[k] == static_cast<double>(k) * bin_size;
    t.cells = &cells;
    t.species = &species;
    t.gather_runs = select_gather_runs();

    // Sites with exactly one species: their element and occupancy by position.
    const std::size_t n = t.n_sites;
    t.single_species = species.species_offsets[n] == n;
    for (std::size_t i = 0; i < n && t.single_species; ++i)
        t.single_species = species.species_offsets[i] == i;
    t.unit_weights = t.single_species;
    if (t.single_species) {  // then site i owns entry i
        t.element_at.resize(n), t.row_at.resize(n), t.occupancy_at.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            const std::uint32_t i = cells.site_at[p];
            t.element_at[p] = species.species_element[i];
            t.row_at[p] = t.element_at[p] * static_cast<std::uint32_t>(n_bins);
            t.occupancy_at[p] = species.species_occupancy[i];
            t.unit_weights &= t.occupancy_at[p] == 1.0;
        }
    }
    t.neighbor_rows = t.single_species && (t.n_el > 1 || !t.unit_weights);
    // No image of a site lies nearer than the smallest cell height.
    const Vec3 heights = cell_heights(structure.lattice.matrix);
    const double lowest = std::min({heights[0], heights[1], heights[2]});
    t.drop_self = !self_images && cutoff + 2.0 * margin >= lowest * (1.0 - 1e-9);
    t.need_at = !t.unit_weights || t.drop_self;
    return t;
}

std::size_t leaf_count(std::size_t n_sites, std::size_t histogram_bytes) {
    // Fixed by the input alone, never by the thread count, so the split tree and
    // hence every floating-point sum is the same for any pool.
    // A leaf re-gathers the candidates of every cell it touches: keep a few dozen
    // centres per leaf.
    constexpr std::size_t max_leaves = 64, min_sites = 32, budget = std::size_t{64} << 20;
    std::size_t leaves = 1;
    while (leaves * 2 <= max_leaves && leaves * 2 * min_sites <= n_sites &&
           leaves * 2 * histogram_bytes <= budget)
        leaves *= 2;
    return leaves;
}

}  // namespace

Result<std::vector<double>> pair_histogram(const Structure& structure, double cutoff,
                                           double bin_size, const std::vector<double>& edges,
                                           std::size_t n_bins,
                                           const SpeciesTable& species, const CellList& cells,
                                           WorkerPool& pool, bool small_job, bool self_images) {
    const PassTables tables = build_tables(structure, cutoff, bin_size, edges, n_bins, species, cells,
                                           self_images);
    const std::size_t n_el = species.elements.size();
    const std::size_t entries = n_el * n_el * n_bins;
    const std::size_t leaves = leaf_count(tables.n_sites, entries * sizeof(double));

    // Leaf k covers the k-th range of a recursive midpoint split of [0, n_sites).
    std::vector<std::size_t> bounds{0, tables.n_sites};
    while (bounds.size() - 1 < leaves) {
        std::vector<std::size_t> finer;
        for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
            finer.push_back(bounds[k]);
            finer.push_back(bounds[k] + (bounds[k + 1] - bounds[k]) / 2);
        }
        finer.push_back(tables.n_sites);
        bounds = std::move(finer);
    }
    std::vector<std::vector<double>> partial(leaves), odd(leaves);
    auto status = pool.run(
        leaves,
        [&](std::size_t k) {
            partial[k].assign(entries, 0.0);
            count_range(tables, bounds[k], bounds[k + 1], partial[k].data(), odd[k]);
        },
        small_job);
    if (!status) return fail(status.error());
    // Merge pairwise up the split tree: left[k] += right[k], then release the right.
    for (std::size_t width = 1; width < leaves; width *= 2) {
        for (std::size_t k = 0; k + width < leaves; k += 2 * width) {
            std::vector<double>& left = partial[k];
            std::vector<double>& right = partial[k + width];
            for (std::size_t e = 0; e < entries; ++e) left[e] += right[e];
            std::vector<double>().swap(right);
        }
    }
    // Each pair sits in the block of its centre's element only: add the transposed
    // blocks. With unit weights every entry is a whole number, so the sums are exact.
    std::vector<double>& hist = partial[0];
    for (std::size_t p = 0; p < n_el; ++p) {
        double* diagonal = hist.data() + (p * n_el + p) * n_bins;
        for (std::size_t k = 0; k < n_bins; ++k) diagonal[k] = diagonal[k] + diagonal[k];
        for (std::size_t q = p + 1; q < n_el; ++q) {
            double* upper = hist.data() + (p * n_el + q) * n_bins;
            double* lower = hist.data() + (q * n_el + p) * n_bins;
            for (std::size_t k = 0; k < n_bins; ++k) upper[k] = lower[k] = upper[k] + lower[k];
        }
    }
    for (const std::vector<double>& extra : odd)
        for (std::size_t e = 0; e < extra.size(); ++e) hist[e] += extra[e];
    return std::move(hist);
}

}  // namespace kelvara
