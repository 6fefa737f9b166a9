// Special quasirandom structures: the cell, the neighbour shells of the disordered
// sites, the searches on the worker pool, and the ordered result with its report.
#include "core/expand/sqs.hpp"

#include <algorithm>  // for std::min, std::max
#include <cmath>      // for std::ceil, std::fabs, std::round, std::sqrt, std::nan
#include <limits>
#include <map>

#include "core/expand/sqs_search.hpp"
#include "core/rdf/pool.hpp"
#include "core/rdf/shell_counts.hpp"
#include "core/util/cancel.hpp"
#include "core/util/memory.hpp"
#include "core/util/number.hpp"

namespace kelvara {

namespace {

/// Worst |count / pool - share| of the species of every pool for `copies` cells.
double worst_deviation(const std::vector<const Site*>& representatives, const std::vector<std::uint64_t>& sizes,
                       std::uint64_t copies) {
    double worst = 0.0;
    for (std::size_t p = 0; p < representatives.size(); ++p) {
        const std::uint64_t pool = sizes[p] * copies;
        const auto counts = pool_counts(representatives[p]->species, pool);
        for (std::size_t j = 0; j < counts.size(); ++j)
            worst = std::max(worst, std::fabs(static_cast<double>(counts[j]) / static_cast<double>(pool) -
                                              representatives[p]->species[j].second));
    }
    return worst;
}

/// One (site, image) neighbour of a disordered input site within the last shell.
struct ParentNeighbour {
    std::size_t site;  // input site index
    IVec3 shift;       // lattice translation
    std::size_t shell;
    double distance;
};

/// Neighbours of every disordered input site among the disordered ones, by shell,
/// over all translations that reach within the outer bound.
std::vector<std::vector<ParentNeighbour>> parent_neighbours(const Structure& parent,
                                                            const std::vector<std::size_t>& active,
                                                            const Shells& shells) {
    const Mat3& m = parent.lattice.matrix;
    const Vec3 heights = perpendicular_heights(m);
    const double outer = shells.bounds.back();
    std::int64_t reach[3];
    for (int x = 0; x < 3; ++x) reach[x] = static_cast<std::int64_t>(std::ceil(outer / heights[x])) + 1;
    std::vector<std::vector<ParentNeighbour>> out(parent.sites.size());
    for (std::size_t s : active)
        for (std::size_t t : active)
            for (std::int64_t a = -reach[0]; a <= reach[0]; ++a)
                for (std::int64_t b = -reach[1]; b <= reach[1]; ++b)
                    for (std::int64_t c = -reach[2]; c <= reach[2]; ++c) {
                        const double d[3] = {(parent.sites[t].frac[0] + static_cast<double>(a)) - parent.sites[s].frac[0],
                                             (parent.sites[t].frac[1] + static_cast<double>(b)) - parent.sites[s].frac[1],
                                             (parent.sites[t].frac[2] + static_cast<double>(c)) - parent.sites[s].frac[2]};
                        double r2 = 0.0;
                        for (int k = 0; k < 3; ++k) {
                            const double v = (d[0] * m[0][k] + d[1] * m[1][k]) + d[2] * m[2][k];
                            r2 += v * v;
                        }
                        if (!(r2 > 1e-16) || r2 > outer * outer) continue;
                        const double r = std::sqrt(r2);
                        std::size_t k = 0;
                        while (k + 1 < shells.radii.size() && r > shells.bounds[k + 1]) ++k;
                        out[s].push_back({t, IVec3{a, b, c}, k, r});
                    }
    return out;
}

std::uint64_t chain_seed(std::uint64_t seed, std::uint64_t chain) {
    return seed ^ (0x9E3779B97F4A7C15ULL * (chain + 1));
}

}  // namespace

Result<Expansion> expand_sqs(const Structure& structure, const SqsOptions& options) {
    if (options.shells == 0) return fail("shells must be at least 1");
    if (options.shells > 16) return fail("shells must be at most 16");
    const std::size_t n = structure.n_sites();
    if (structure.is_ordered() || n > options.max_sites)
        return expand(structure, options.max_sites, options.seed, options.max_denominator);

    // ---- pools of the input and the number of cells
    std::map<std::string, std::vector<std::size_t>> parent_pools;
    for (std::size_t s = 0; s < n; ++s)
        if (!structure.sites[s].is_ordered()) parent_pools[pool_key(structure.sites[s])].push_back(s);
    std::vector<const Site*> representatives;
    std::vector<std::uint64_t> pool_sizes;
    std::vector<std::size_t> pool_of_site(n, SIZE_MAX), active;
    for (const auto& [key, members] : parent_pools) {
        for (std::size_t s : members) pool_of_site[s] = representatives.size();
        representatives.push_back(&structure.sites[members.front()]);
        pool_sizes.push_back(members.size());
    }
    for (std::size_t s = 0; s < n; ++s)
        if (pool_of_site[s] != SIZE_MAX) active.push_back(s);

    const std::uint64_t quota = options.max_sites / n;
    const std::uint64_t exact = exact_copies(structure, options.max_denominator);
    std::uint64_t copies = 0;
    if (exact != 0 && exact <= quota) {
        copies = quota / exact * exact;
    } else {  // no exact cell fits: the count that comes closest, the larger on ties
        double best = 2.0;
        const std::uint64_t first = quota > 4096 ? quota - 4096 : 1;
        for (std::uint64_t c = quota; c >= first && c > 0; --c) {
            const double worst = worst_deviation(representatives, pool_sizes, c);
            if (worst < best) best = worst, copies = c;
        }
    }
    auto shape = compact_supercell(structure.lattice.matrix, copies);
    if (!shape) return fail(shape.error());
    auto supercell = build_supercell(structure, *shape);
    if (!supercell) return fail(supercell.error());

    // ---- shells and neighbour lists of the disordered sites
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<WorkerPool> own_pool;
    if (options.n_threads > 0) {
        auto made = WorkerPool::start(std::min<std::uint64_t>(options.n_threads, max_threads_per_call()));
        if (!made) return fail(made.error());
        own_pool = std::move(*made);
    }
    WorkerPool& pool = own_pool ? *own_pool : shared_pool();
    auto shells = find_shells(structure, active, options.shells, pool);
    if (!shells) return fail(shells.error());
    const auto near = parent_neighbours(structure, active, *shells);

    SqsModel model;
    model.n_shells = options.shells;
    std::vector<std::uint32_t> active_index(supercell->sites.size(), UINT32_MAX);
    std::vector<std::size_t> site_of;  // supercell site of each active index
    for (std::uint64_t p = 0; p < copies; ++p)
        for (std::size_t s : active) {
            active_index[p * n + s] = static_cast<std::uint32_t>(site_of.size());
            site_of.push_back(p * n + s);
        }
    model.n_sites = site_of.size();
    if (model.n_sites >= (std::size_t{1} << 31)) return fail("too many disordered sites for the search");

    // Labels: each pool's species in the representative's order, then its vacancy.
    std::vector<std::string> label_name;
    std::vector<std::size_t> pool_first_label, vacancy_label(representatives.size(), SIZE_MAX);
    std::vector<std::vector<std::uint64_t>> counts_of(representatives.size());
    for (std::size_t p = 0; p < representatives.size(); ++p) {
        const std::uint64_t size = pool_sizes[p] * copies;
        counts_of[p] = pool_counts(representatives[p]->species, size);
        pool_first_label.push_back(label_name.size());
        std::uint64_t placed = 0;
        for (std::size_t j = 0; j < counts_of[p].size(); ++j) {
            label_name.push_back(representatives[p]->species[j].first);
            model.label_pool.push_back(p);
            model.label_count.push_back(counts_of[p][j]);
            placed += counts_of[p][j];
        }
        if (placed < size) {
            vacancy_label[p] = label_name.size();
            label_name.push_back("Va");
            model.label_pool.push_back(p);
            model.label_count.push_back(size - placed);
        }
    }
    model.n_labels = label_name.size();
    if (model.n_labels > 65535) return fail("too many species on the disordered sites for the search");
    model.pool_sites.assign(representatives.size(), {});
    for (std::size_t x = 0; x < model.n_sites; ++x)
        model.pool_sites[pool_of_site[site_of[x] % n]].push_back(static_cast<std::uint32_t>(x));

    // The neighbour lists (4 bytes an entry) and the four searches' arrangements.
    std::uint64_t entries_per_site = 0;
    for (std::size_t s : active) entries_per_site = std::max<std::uint64_t>(entries_per_site, near[s].size());
    if (!fits_in_memory(model.n_sites, 4 * (entries_per_site + model.n_shells + 1) + 4 * sqs_chains * 2 + 64))
        return fail("the quasirandom search of " + std::to_string(model.n_sites) + " sites with " +
                    std::to_string(model.n_shells) + " shells needs more memory than this machine has available; "
                    "lower max_sites or shells");
    model.offsets.reserve(model.n_sites * model.n_shells + 1);
    model.offsets.push_back(0);
    for (std::size_t x = 0; x < model.n_sites; ++x) {
        if ((x & 0xFFF) == 0xFFF && cancel_point()) return fail(interrupted_message);
        const std::size_t s = site_of[x] % n;
        const IVec3 t = lattice_point(shape->hnf, site_of[x] / n);
        for (std::size_t k = 0; k < model.n_shells; ++k) {
            for (const ParentNeighbour& nb : near[s]) {
                if (nb.shell != k) continue;
                const IVec3 u{t[0] + nb.shift[0], t[1] + nb.shift[1], t[2] + nb.shift[2]};
                model.neighbours.push_back(active_index[lattice_point_index(shape->hnf, u) * n + nb.site]);
            }
            model.offsets.push_back(static_cast<std::uint32_t>(model.neighbours.size()));
        }
    }

    // Expected counts of a random arrangement: pairs between the two pools times the shares.
    const std::size_t L = model.n_labels, n_pools = representatives.size();
    std::vector<double> pool_pairs(model.n_shells * n_pools * n_pools, 0.0);
    for (std::size_t x = 0; x < model.n_sites; ++x) {
        const std::size_t p = pool_of_site[site_of[x] % n];
        for (std::size_t k = 0; k < model.n_shells; ++k)
            for (std::uint32_t i = model.offsets[x * model.n_shells + k]; i < model.offsets[x * model.n_shells + k + 1]; ++i)
                pool_pairs[(k * n_pools + p) * n_pools + pool_of_site[site_of[model.neighbours[i]] % n]] += 1.0;
    }
    model.inverse_expected.assign(model.n_shells * L * L, 0.0);
    for (std::size_t k = 0; k < model.n_shells; ++k)
        for (std::size_t g = 0; g < L; ++g)
            for (std::size_t h = 0; h < L; ++h) {
                const std::size_t p = model.label_pool[g], q = model.label_pool[h];
                const double share_g = static_cast<double>(model.label_count[g]) / static_cast<double>(pool_sizes[p] * copies);
                const double share_h = static_cast<double>(model.label_count[h]) / static_cast<double>(pool_sizes[q] * copies);
                const double expected = pool_pairs[(k * n_pools + p) * n_pools + q] * share_g * share_h;
                if (!(expected > 0.0)) continue;
                model.inverse_expected[model.entry(k, g, h)] = 1.0 / expected;
                if (g <= h) model.terms.push_back(static_cast<std::uint32_t>(model.entry(k, g, h)));
            }

    // ---- the searches, each from its own seeded shuffle
    const std::uint64_t steps = options.steps > 0 ? options.steps : 3000 + 150 * model.n_sites;
    const auto deadline = options.time_limit > 0.0
                              ? started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              std::chrono::duration<double>(options.time_limit))
                              : std::chrono::steady_clock::time_point::max();
    std::vector<std::vector<std::uint16_t>> starts(sqs_chains, std::vector<std::uint16_t>(model.n_sites));
    for (std::uint64_t c = 0; c < sqs_chains; ++c) {
        Xorshift64Star generator(c == 0 ? options.seed : chain_seed(options.seed, c));
        for (std::size_t p = 0; p < n_pools; ++p) {
            std::vector<std::uint16_t> slots;
            for (std::size_t g = 0; g < L; ++g)
                if (model.label_pool[g] == p) slots.insert(slots.end(), model.label_count[g], static_cast<std::uint16_t>(g));
            for (std::size_t i = slots.size(); i-- > 1;)
                std::swap(slots[i], slots[generator.next() % (static_cast<std::uint64_t>(i) + 1)]);
            for (std::size_t r = 0; r < slots.size(); ++r) starts[c][model.pool_sites[p][r]] = slots[r];
        }
    }
    std::vector<ChainResult> chains(sqs_chains);
    auto status = pool.run(sqs_chains, [&](std::size_t c) {
        chains[c] = anneal(model, starts[c], chain_seed(options.seed, c + sqs_chains), steps, deadline);
    });
    if (!status && status.error() != interrupted_message) return fail(status.error());
    std::size_t winner = SIZE_MAX;
    SqsSummary summary;
    for (std::size_t c = 0; c < sqs_chains; ++c) {
        const ChainResult& chain = chains[c];
        if (!chain.ran) {
            summary.stopped = "interrupted";
            continue;
        }
        summary.steps += chain.steps;
        if (chain.stopped == "interrupted" || (chain.stopped == "time" && summary.stopped.empty()))
            summary.stopped = chain.stopped;
        if (winner == SIZE_MAX || chain.objective < chains[winner].objective ||
            (chain.objective == chains[winner].objective && chain.squares < chains[winner].squares))
            winner = c;
    }
    if (winner == SIZE_MAX) return fail(interrupted_message);
    const std::vector<std::uint16_t>& labels = chains[winner].labels;

    // ---- the ordered structure: ordered copies first, then each pool's atoms
    Expansion out;
    std::vector<Site> sites;
    sites.reserve(supercell->sites.size());
    for (std::size_t i = 0; i < supercell->sites.size(); ++i)
        if (active_index[i] == UINT32_MAX) sites.push_back(supercell->sites[i]);
    std::vector<std::size_t> pool_first_site;
    for (const auto& [key, members] : parent_pools) pool_first_site.push_back(members.front());
    for (std::size_t p = 0; p < n_pools; ++p) {
        for (std::uint32_t x : model.pool_sites[p]) {
            if (labels[x] == vacancy_label[p]) {
                ++out.n_vacancies;
                continue;
            }
            const Site& copy = supercell->sites[site_of[x]];
            Site atom;
            atom.species.emplace_back(label_name[labels[x]], 1.0);
            atom.frac = copy.frac;
            atom.uiso = copy.uiso;
            sites.push_back(std::move(atom));
        }
        const SpeciesList& species = representatives[p]->species;
        for (std::size_t j = 0; j < species.size(); ++j)
            out.report.push_back({species[j].first, species[j].second, pool_sizes[p] * copies, counts_of[p][j], p});
    }
    if (sites.empty()) return fail("no sites remain after expansion; check the occupancies");
    auto expanded = Structure::new_(supercell->lattice, std::move(sites));
    if (!expanded) return fail(expanded.error());

    const std::string cell = std::to_string(copies) + "-cell";
    missing_warnings(*expanded, out.report, pool_first_site, cell, out.warnings);
    deviation_warning(structure, out.report, pool_first_site, options.max_denominator, true, out.warnings);
    if (shape->height_ratio() < options.min_height_ratio)
        out.warnings.push_back("the most compact cell of " + std::to_string(copies) + " input cells is flat: its "
                               "shortest height " + format_fixed(shape->shortest_height, 2) + " A is " +
                               format_fixed(shape->height_ratio(), 2) + " of its longest (" +
                               format_fixed(shape->longest_height, 2) + " A), below the limit of " +
                               format_general(options.min_height_ratio, 3));

    // ---- alpha before and after, per pair of labels and shell
    const auto before = model.count(starts[0]);
    const auto after = model.count(labels);
    for (std::size_t g = 0; g < L; ++g)
        for (std::size_t h = g; h < L; ++h) {
            SroEntry entry{label_name[g], label_name[h], model.label_pool[g], model.label_pool[h], {}, {}};
            bool any = false;
            for (std::size_t k = 0; k < model.n_shells; ++k) {
                const std::size_t e = model.entry(k, g, h);
                const bool counted = model.inverse_expected[e] > 0.0;
                any |= counted;
                entry.before.push_back(counted ? model.alpha(before, e) : std::nan(""));
                entry.after.push_back(counted ? model.alpha(after, e) : std::nan(""));
            }
            if (any) summary.alpha.push_back(std::move(entry));
        }
    // The exact shortest distance of each shell (the pass found them to 0.0005 A).
    summary.shell_radii.assign(model.n_shells, std::numeric_limits<double>::infinity());
    for (const auto& list : near)
        for (const ParentNeighbour& nb : list)
            summary.shell_radii[nb.shell] = std::min(summary.shell_radii[nb.shell], nb.distance);
    for (const auto& [key, members] : parent_pools) {
        summary.pools.push_back(key);
        summary.pool_sites.push_back(members.front());
    }
    summary.objective_before = model.worst_alpha(before);
    summary.objective = model.worst_alpha(after);
    summary.steps_budget = steps * sqs_chains;
    summary.chains = sqs_chains;
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    out.structure = std::move(*expanded);
    out.scale = shape->scale();
    out.shape = *shape;
    out.sqs = std::move(summary);
    return out;
}

}  // namespace kelvara
