// Pair counts per neighbour shell (Warren-Cowley short-range order), by the histogram
// pass, and the neighbour shells of a structure found the same way.
#include "core/rdf/shell_counts.hpp"

#include <cmath>  // for std::cbrt, std::nan

#include "core/rdf/neighbor.hpp"
#include "core/rdf/pair_histogram.hpp"
#include "core/rdf/pass_cost.hpp"
#include "core/rdf/species_table.hpp"

namespace kelvara {

namespace {

/// Width of the bins in which shells are looked for, Angstrom.
constexpr double shell_bin = 0.001;

/// The histogram pass over `structure` with the given edges (edges[0] = 0).
Result<std::vector<double>> count_pairs(const Structure& structure, const std::vector<double>& edges,
                                        const SpeciesTable& species, WorkerPool& pool) {
    const double cutoff = edges.back();
    const std::size_t n_bins = edges.size() - 1;
    const auto cost = check_pass_cost(structure.lattice.matrix, structure.sites.size(), cutoff);
    if (!cost) return fail(cost.error());
    const CellList cells = CellList::build(structure.lattice.matrix, structure.sites, cutoff);
    return pair_histogram(structure, cutoff, cutoff / static_cast<double>(n_bins), edges, n_bins, species, cells,
                          pool, cost->small());
}

}  // namespace

Result<Shells> find_shells(const Structure& structure, const std::vector<std::size_t>& sites,
                           std::uint64_t n_shells, WorkerPool& pool) {
    if (n_shells == 0) return fail("shells must be at least 1");
    if (sites.empty()) return fail("no sites to find neighbour shells between");
    // One element of unit weight: only the distances matter.
    std::vector<Site> marked;
    marked.reserve(sites.size());
    for (std::size_t i : sites) {
        Site site;
        site.species.emplace_back("X", 1.0);
        site.frac = structure.sites[i].frac;
        marked.push_back(std::move(site));
    }
    auto sub = Structure::new_(structure.lattice, std::move(marked));
    if (!sub) return fail(sub.error());
    const SpeciesTable species = SpeciesTable::build(*sub);
    // Start near the second-neighbour distance of an even packing, widen until the
    // asked-for shells are complete (a gap follows the last of them).
    double cutoff = 2.0 * std::cbrt(sub->volume() / static_cast<double>(sites.size()));
    for (int attempt = 0; attempt < 12; ++attempt, cutoff *= 1.5) {
        const auto n_edges = static_cast<std::size_t>(std::ceil(cutoff / shell_bin)) + 1;
        std::vector<double> edges(n_edges);
        for (std::size_t k = 0; k < n_edges; ++k) edges[k] = static_cast<double>(k) * shell_bin;
        auto histogram = count_pairs(*sub, edges, species, pool);
        if (!histogram) return fail(histogram.error());
        Shells shells;
        shells.bounds.push_back(0.0);
        double last_filled = -1.0;
        for (std::size_t k = 0; k + 1 < n_edges && shells.radii.size() <= n_shells; ++k) {
            if ((*histogram)[k] == 0.0) continue;
            if (last_filled < 0.0 || edges[k] - last_filled > shell_tolerance) {
                if (last_filled >= 0.0) shells.bounds.push_back(0.5 * (last_filled + edges[k]));
                shells.radii.push_back(edges[k] + 0.5 * shell_bin);
            }
            last_filled = edges[k + 1];
        }
        if (shells.radii.size() > n_shells) {
            shells.radii.resize(n_shells);
            shells.bounds.resize(n_shells + 1);
            return shells;
        }
    }
    return fail("could not find " + std::to_string(n_shells) + " neighbour shells within " +
                std::to_string(static_cast<long long>(cutoff)) + " A");
}

Result<ShellCounts> shell_pair_counts(const Structure& structure, const std::vector<double>& bounds,
                                      WorkerPool& pool) {
    if (bounds.size() < 2 || bounds.front() != 0.0)
        return fail("shell bounds must start at 0 and hold at least one shell");
    for (std::size_t k = 1; k < bounds.size(); ++k)
        if (!(bounds[k] > bounds[k - 1]) || !std::isfinite(bounds[k]))
            return fail("shell bounds must be finite and increasing");
    const SpeciesTable species = SpeciesTable::build(structure);
    auto histogram = count_pairs(structure, bounds, species, pool);
    if (!histogram) return fail(histogram.error());
    return ShellCounts{species.elements, std::move(*histogram)};
}

std::vector<double> warren_cowley_alpha(const ShellCounts& counts, const std::vector<double>& amounts,
                                        std::size_t n_shells) {
    const std::size_t n_el = counts.elements.size();
    double total = 0.0;
    for (double a : amounts) total += a;
    std::vector<double> alpha(n_el * n_el * n_shells, std::nan(""));
    for (std::size_t p = 0; p < n_el; ++p)
        for (std::size_t k = 0; k < n_shells; ++k) {
            double around = 0.0;  // every neighbour of p centres in shell k
            for (std::size_t q = 0; q < n_el; ++q) around += counts.counts[(p * n_el + q) * n_shells + k];
            if (!(around > 0.0)) continue;
            for (std::size_t q = 0; q < n_el; ++q) {
                const double c_q = amounts[q] / total;
                if (!(c_q > 0.0)) continue;
                const double share = counts.counts[(p * n_el + q) * n_shells + k] / around;
                alpha[(p * n_el + q) * n_shells + k] = 1.0 - share / c_q;
            }
        }
    return alpha;
}

}  // namespace kelvara
