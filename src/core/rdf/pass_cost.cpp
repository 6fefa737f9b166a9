// The one cost model of the RDF pass: refuses cutoffs and cells that would run for
// hours, and tells the passes too small to wake worker threads for.
#include "core/rdf/pass_cost.hpp"

#include <algorithm>  // for std::min
#include <cmath>      // for std::floor, std::log10, std::pow, std::sqrt

#include "core/rdf/neighbor.hpp"
#include "core/util/number.hpp"  // for format_shortest, format_general

namespace kelvara {

double PassCost::seconds() const {
    return images * seconds_per_image + filled * seconds_per_filled + tests * seconds_per_test;
}

bool PassCost::small() const { return seconds() < small_pass_seconds; }

PassCost estimate_pass_cost(const CellList& grid, std::size_t n_sites) {
    const double n = static_cast<double>(n_sites);
    const double cells = static_cast<double>(grid.n_cells());
    const double occupied = std::min(cells, n);
    const double block = grid.span_a() * grid.span_b() * grid.span_c();
    PassCost cost;
    // A run along c covers up to n_c cells of one translation.
    const double runs_per_column = grid.span_c() / static_cast<double>(grid.n_c) + 1.0;
    cost.images = occupied * grid.span_a() * grid.span_b() * runs_per_column;
    const double sites_per_run = n / cells * (grid.span_c() / runs_per_column);
    cost.filled = cost.images * std::min(1.0, sites_per_run);
    cost.tests = n * block * (n / cells);
    return cost;
}

namespace {

PassCost cost_at(const Mat3& matrix, std::size_t n_sites, double cutoff) {
    const CellList grid = CellList::shape(matrix, cutoff, CellList::grid_for(matrix, cutoff, n_sites));
    return estimate_pass_cost(grid, n_sites);
}

/// "3 h 10 min", "25 min".
std::string duration_digits(double seconds) {
    const auto minutes = static_cast<long long>(seconds / 60.0 + 0.5);
    if (minutes < 120) return std::to_string(minutes) + " min";
    const long long hours = minutes / 60;
    if (hours < 72) return std::to_string(hours) + " h " + std::to_string(minutes % 60) + " min";
    return std::to_string(hours / 24) + " days";
}

/// "an estimated 3 h 10 min", "an estimated 25 min", "more than a year".
std::string duration_text(double seconds) {
    if (!(seconds < 3.15e7)) return "more than a year";
    return "an estimated " + duration_digits(seconds);
}

/// The largest cutoff (to two digits) whose pass stays within the bound, or 0.
double affordable_cutoff(const Mat3& matrix, std::size_t n_sites, double cutoff) {
    double lo = 0.0, hi = cutoff;
    for (int step = 0; step < 200 && hi - lo > 0.005 * hi; ++step) {
        const double mid = lo > 0.0 ? std::sqrt(lo * hi) : hi / 16.0;
        if (!(mid > 0.0)) break;
        if (cost_at(matrix, n_sites, mid).seconds() <= max_pass_seconds) lo = mid;
        else hi = mid;
    }
    if (!(lo > 0.0)) return 0.0;
    // Two significant digits, rounded down so that the cutoff named does fit.
    const double unit = std::pow(10.0, std::floor(std::log10(lo)) - 1.0);
    return std::floor(lo / unit) * unit;
}

}  // namespace

Result<PassCost> check_pass_cost(const Mat3& matrix, std::size_t n_sites, double cutoff) {
    const PassCost cost = cost_at(matrix, n_sites, cutoff);
    const double seconds = cost.seconds();
    if (seconds <= max_pass_seconds) return cost;

    const double better = affordable_cutoff(matrix, n_sites, cutoff);
    const std::string help = better > 0.0
        ? "cutoffs up to " + format_general(better, 2) + " Å run in reasonable time"
        : "no useful cutoff runs in reasonable time";
    const std::string estimate = " (" + duration_text(seconds) + " on one thread); ";
    if (cost.images * seconds_per_image + cost.filled * seconds_per_filled >= cost.tests * seconds_per_test) {
        // Images dominate: the cell is thinner than the cutoff along some axis.
        const Vec3 heights = cell_heights(matrix);
        int axis = 0;
        for (int x = 1; x < 3; ++x)
            if (!(heights[x] >= heights[axis])) axis = x;
        return fail("cutoff " + format_shortest(cutoff) + " is too large for this cell: it is only " +
                    format_general(heights[axis], 3) + " Å thick across the " + "abc"[axis] +
                    " face, so the RDF would scan about " + format_general(cost.images, 2) +
                    " periodic images" + estimate + help +
                    "; check the cell matrix, or use a supercell that is thicker along " + "abc"[axis]);
    }
    return fail("cutoff " + format_shortest(cutoff) + " is too large for " + std::to_string(n_sites) +
                " sites: the RDF would test about " + format_general(cost.tests, 2) +
                " pair distances" + estimate + help + " (the work grows as the cube of the cutoff)");
}

}  // namespace kelvara
