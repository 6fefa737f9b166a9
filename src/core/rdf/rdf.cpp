// The partial/total RDF driver: argument checks, bin edges, pool choice, normalisation.
#include "core/rdf/rdf.hpp"

#include <algorithm>  // for std::max, std::min
#include <cmath>      // for std::ceil, std::isfinite

#include "core/util/cancel.hpp"
#include "core/util/memory.hpp"  // for fits_in_memory
#include "core/rdf/frames.hpp"  // for CallPool
#include "core/rdf/neighbor.hpp"
#include "core/util/number.hpp"  // for format_shortest, saturating_u64
#include "core/rdf/pair_histogram.hpp"
#include "core/rdf/pass_cost.hpp"
#include "core/rdf/pool.hpp"
#include "core/rdf/species_table.hpp"

namespace kelvara {

namespace {
/// 4 pi / 3 as a 64-bit float.
constexpr double sphere_factor = 4.1887902047863905;
/// Distinct element labels a call accepts: the curves grow as their square.
constexpr std::uint64_t max_elements = 128;
/// Histogram entries (n_el * n_el * n_bins) a call may hold: 16 GiB of floats.
constexpr std::uint64_t max_entries = std::uint64_t{1} << 31;
/// The bin count for a message: exact while it is, else its order of magnitude.
std::string bin_count_text(double cutoff, double bin_size, std::uint64_t n_bins) {
    const double ratio = cutoff / bin_size;
    if (ratio < 1e15) return std::to_string(n_bins);
    return std::isfinite(ratio) ? "about " + format_general(ratio, 2) : "more than 1e+308";
}
}  // namespace

std::vector<double> shell_volumes(const std::vector<double>& edges, double cutoff) {
    // Pairs are counted up to the cutoff, so a last bin that reaches past it is
    // divided by the part of its shell inside the cutoff: the full shell would make
    // it read low (by 74% for cutoff 5.03 in bins of 0.1).
    const std::size_t n_bins = edges.empty() ? 0 : edges.size() - 1;
    std::vector<double> shell(n_bins);
    for (std::size_t k = 0; k < n_bins; ++k) {
        const double e0 = edges[k];
        double e1 = edges[k + 1];
        if (k + 1 == n_bins && e0 < cutoff) e1 = std::min(e1, cutoff);
        shell[k] = (e1 * e1 * e1 - e0 * e0 * e0) * sphere_factor;
    }
    return shell;
}

Result<PairCounts> count_pairs(const Structure& structure, double cutoff, double bin_size,
                               WorkerPool& pool, bool self_images) {
    if (std::isnan(cutoff) || std::isinf(cutoff)) return fail("cutoff must be a finite number");
    if (!(cutoff > 0.0)) return fail("cutoff must be positive");
    if (!(bin_size > 0.0) || !(bin_size <= cutoff))
        return fail("bin_size must be positive and no larger than the cutoff");

    const std::size_t n_sites = structure.sites.size();
    if (n_sites >= (std::size_t{1} << 31))
        return fail("structure has " + std::to_string(n_sites) +
                    " sites; the RDF supports fewer than 2147483648");

    // Refused before anything is built: cells far thinner than the cutoff, or more
    // pairs than minutes of work can test.
    const auto cost = check_pass_cost(structure.lattice.matrix, n_sites, cutoff);
    if (!cost) return fail(cost.error());
    const bool small_job = cost->small();

    // The species table and the cell grid are independent: build them side by side.
    SpeciesTable species;
    CellList cells;
    const auto status = pool.run(
        2,
        [&](std::size_t task) {
            if (task == 0) species = SpeciesTable::build(structure);
            else cells = CellList::build(structure.lattice.matrix, structure.sites, cutoff);
        },
        small_job);
    if (!status) return fail(status.error());

    const std::uint64_t n_el = species.elements.size();
    if (n_el > max_elements)
        return fail("the structure has " + std::to_string(n_el) + " different element labels; the RDF "
                    "keeps a curve for every pair of them and takes at most " +
                    std::to_string(max_elements) + " (are the labels atom names rather than elements?)");
    const std::uint64_t n_edges = saturating_u64(std::ceil((cutoff + bin_size) / bin_size));
    const std::uint64_t n_bins = n_edges - 1;  // bin_size <= cutoff: at least 2 edges
    const double entries = static_cast<double>(n_el) * static_cast<double>(n_el) *
                           static_cast<double>(n_bins);
    // One leaf histogram, the merged one and the partial curves live at the same time.
    if (entries > static_cast<double>(max_entries) ||
        !fits_in_memory(saturating_u64(entries) + n_edges, 3 * sizeof(double)))
        return fail("cutoff " + format_shortest(cutoff) + " with bin_size " + format_shortest(bin_size) +
                    " gives " + bin_count_text(cutoff, bin_size, n_bins) + " bins for " + std::to_string(n_el * n_el) +
                    " element pairs, too many to hold in memory");

    PairCounts counts;
    counts.elements = species.elements;
    counts.edges.resize(n_edges);
    for (std::uint64_t k = 0; k < n_edges; ++k) counts.edges[k] = static_cast<double>(k) * bin_size;

    auto histogram = pair_histogram(structure, cutoff, bin_size, counts.edges, n_bins, species, cells, pool,
                                    small_job, self_images);
    if (!histogram) return fail(histogram.error());
    counts.counts = std::move(*histogram);
    counts.shells = shell_volumes(counts.edges, cutoff);
    counts.amounts = species.amounts;
    counts.n_total = species.n_total;
    return counts;
}

Result<PrdfResult> compute_prdf_inner(const Structure& structure, double cutoff, double bin_size,
                                      WorkerPool& pool, bool self_images) {
    auto counted = count_pairs(structure, cutoff, bin_size, pool, self_images);
    if (!counted) return fail(counted.error());
    const std::vector<double>& h = counted->counts;
    const std::vector<double>& shell = counted->shells;
    const std::uint64_t n_el = counted->elements.size();
    const std::uint64_t n_bins = shell.size();
    const double n_total = counted->n_total;

    PrdfResult result;
    result.elements = std::move(counted->elements);
    result.edges = std::move(counted->edges);
    result.r.assign(result.edges.begin(), result.edges.end() - 1);
    result.total.assign(n_bins, 0.0);
    result.partials.reserve(n_el * n_el);
    for (std::uint64_t p = 0; p < n_el; ++p) {
        if (cancel_point()) return fail(interrupted_message);
        const double n_p = counted->amounts[p];
        for (std::uint64_t q = 0; q < n_el; ++q) {
            const double* block = h.data() + (p * n_el + q) * n_bins;
            std::vector<double> curve(n_bins);
            for (std::uint64_t k = 0; k < n_bins; ++k) {
                result.total[k] += block[k] / (shell[k] * n_total);
                curve[k] = n_p > 0.0 ? block[k] / (n_p * shell[k]) : 0.0;
            }
            result.partials.push_back(std::move(curve));
        }
    }
    return result;
}

Result<PrdfResult> compute_prdf(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                double bin_size) {
    // The pool comes first: a thread-start failure is reported whatever the arguments.
    auto call = CallPool::start(n_threads);
    if (!call) return fail(call.error());
    return compute_prdf_inner(structure, cutoff, bin_size, call->get());
}

Result<PairCounts> compute_pair_counts(const Structure& structure, std::uint64_t n_threads, double cutoff,
                                       double bin_size, bool self_images) {
    auto call = CallPool::start(n_threads);
    if (!call) return fail(call.error());
    return count_pairs(structure, cutoff, bin_size, call->get(), self_images);
}

}  // namespace kelvara
