// What an expansion missed of the input's composition, told site by site.
#include <algorithm>  // for std::find, std::sort
#include <cmath>      // for std::fabs
#include <cstdint>  // for UINT64_MAX
#include <map>
#include <numeric>    // for std::gcd

#include "core/expand/expand.hpp"
#include "core/util/memory.hpp"  // for multiply_overflows
#include "core/util/number.hpp"  // for format_fixed

namespace kelvara {

namespace {

/// Shares that differ by no more than this are the same (four decimals, as written).
constexpr double composition_tolerance = 5e-5;
/// A fraction with a denominator up to max_denominator this close to a share is what
/// the share means (0.333 is 1/3); a farther one is an approximation of it.
constexpr double meaning_tolerance = 1e-3;

/// The denominator of the fraction a share stands for, or 0 when no allowed
/// denominator comes within `meaning_tolerance` (then the share means itself).
std::uint64_t meant_denominator(double share, std::uint64_t max_denominator) {
    const std::uint64_t d = best_denominator(share, max_denominator);
    const double dd = static_cast<double>(d);
    return std::fabs(std::round(share * dd) / dd - share) <= meaning_tolerance ? d : 0;
}

/// The share a file's value stands for: the fraction of `meant_denominator`, or the value.
double meant_share(double share, std::uint64_t max_denominator) {
    const std::uint64_t d = meant_denominator(share, max_denominator);
    if (d == 0) return share;
    const double dd = static_cast<double>(d);
    return std::round(share * dd) / dd;
}

std::string join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i > 0 ? separator : "") + items[i];
    return out;
}

/// "1 site", "4 sites".
std::string counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

/// An input site by its index.
std::string site_text(std::size_t site) { return "site " + std::to_string(site); }

}  // namespace

std::uint64_t exact_copies(const Structure& input, std::uint64_t max_denominator) {
    // 0 stays 0: no exact cell.
    std::map<std::string, std::uint64_t> pool_sizes;
    std::map<std::string, const Site*> representative;
    for (const Site& site : input.sites) {
        if (site.is_ordered()) continue;
        const std::string key = pool_key(site);
        ++pool_sizes[key];
        representative.emplace(key, &site);
    }
    std::uint64_t copies = 1;
    const auto fold = [&](double share, std::uint64_t pool) {
        const std::uint64_t d = meant_denominator(share, max_denominator);
        if (d == 0) copies = 0;  // no allowed fraction means the share: no exact cell
        if (copies == 0) return;
        const std::uint64_t need = d / std::gcd(d, pool);
        if (multiply_overflows(copies / std::gcd(copies, need), need, copies)) copies = 0;
    };
    for (const auto& [key, site] : representative) {
        for (const auto& [element, occupancy] : site->species)
            if (occupancy > 0.0 && occupancy < 1.0) fold(occupancy, pool_sizes[key]);
        const double total = site->occupancy_sum(-0.0);
        if (total < 0.999999) fold(total, pool_sizes[key]);
    }
    return copies;
}

void missing_warnings(const Structure& result, const std::vector<ReportEntry>& report,
                      const std::vector<std::size_t>& pool_first_site, const std::string& cell_text,
                      std::vector<std::string>& warnings) {
    const ElementMap present = result.composition();
    std::vector<std::string> absent, rounded_away;
    for (const ReportEntry& entry : report) {
        if (entry.atoms_placed != 0 || !(entry.target_occupancy > 0.0)) continue;
        const auto found = present.find(entry.element);
        if (found == present.end() || !(found->second > 0.0)) {
            if (std::find(absent.begin(), absent.end(), entry.element) == absent.end())
                absent.push_back(entry.element);
        } else {
            rounded_away.push_back(entry.element + " on " + site_text(pool_first_site[entry.pool]) + " (" +
                                   format_fixed(entry.target_occupancy, 4) + " over " +
                                   counted(entry.sites_in_pool, "copy", "copies") + " rounds to no atom)");
        }
    }
    if (!absent.empty())
        warnings.push_back("no atoms could be placed for " + join(absent, ", ") + ": the occupancy is too small for a " +
                           cell_text + " supercell, so these elements are absent from the expanded structure");
    if (!rounded_away.empty())
        warnings.push_back("no atoms could be placed for " + join(rounded_away, ", ") +
                           "; these elements are in the expanded structure only from other sites");
}

void deviation_warning(const Structure& input, const std::vector<ReportEntry>& report,
                       const std::vector<std::size_t>& pool_first_site, std::uint64_t max_denominator,
                       bool with_remedy, std::vector<std::string>& warnings) {
    std::vector<std::pair<std::size_t, std::string>> sites;  // by first input site
    std::size_t pool = report.empty() ? 0 : report.front().pool;
    std::vector<std::string> pieces;
    std::uint64_t copies = 0;
    const auto close_pool = [&]() {
        if (pieces.empty()) return;
        sites.emplace_back(pool_first_site[pool], site_text(pool_first_site[pool]) + " (" + counted(copies, "site", "sites") +
                                                      " of its composition in the cell): " + join(pieces, ", "));
        pieces.clear();
    };
    for (const ReportEntry& entry : report) {
        if (entry.pool != pool) {
            close_pool();
            pool = entry.pool;
        }
        copies = entry.sites_in_pool;
        if (entry.atoms_placed == 0) continue;
        const double meant = meant_share(entry.target_occupancy, max_denominator);
        if (std::fabs(entry.actual_occupancy() - meant) <= composition_tolerance) continue;
        pieces.push_back(entry.element + " " + format_fixed(entry.actual_occupancy(), 4) + " (" +
                         counted(entry.atoms_placed, "atom", "atoms") + ") for " +
                         format_fixed(entry.target_occupancy, 4));
    }
    close_pool();
    if (sites.empty()) return;
    const std::uint64_t exact = exact_copies(input, max_denominator);
    const std::uint64_t n = input.sites.size();
    std::string remedy;
    if (with_remedy && exact != 0 && exact <= UINT64_MAX / n)
        remedy = "; a cell of a multiple of " + std::to_string(exact) + " input cells (" +
                 std::to_string(exact * n) + " sites) holds it exactly";
    std::sort(sites.begin(), sites.end());
    std::vector<std::string> texts;
    for (const auto& site : sites) texts.push_back(site.second);
    warnings.push_back("the expanded structure misses the input's composition on " + join(texts, "; ") + remedy);
}

}  // namespace kelvara
