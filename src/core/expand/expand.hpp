// Occupancy expansion: supercell choice, seeded assignment of elements, report.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/util/result.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

/// One pool and one species of the pool's representative site.
struct ReportEntry {
    /// The element symbol as the site lists it.
    std::string element;
    /// The occupancy requested on the representative site, exactly as stored.
    double target_occupancy = 0.0;
    /// Number of supercell sites in the pool.
    std::uint64_t sites_in_pool = 0;
    /// Atoms of this element actually placed in the pool.
    std::uint64_t atoms_placed = 0;

    double actual_occupancy() const {
        return static_cast<double>(atoms_placed) / static_cast<double>(sites_in_pool);
    }
};

/// The ordered structure and how close it came to the requested occupancies.
struct Expansion {
    Structure structure;
    /// Pool key order, then the representative's species order.
    std::vector<ReportEntry> report;
    /// Zero, one or two messages for the user (missing elements first).
    std::vector<std::string> warnings;
    /// The multipliers along a, b, c: (m, m, m), or any shape when asked for.
    std::array<std::uint64_t, 3> scale{};
    /// Pool sites left empty.
    std::uint64_t n_vacancies = 0;
};

/// The smallest denominator d <= max_denominator for which x*d is (nearly) whole;
/// 1 when max_denominator is 0. Denominators up to 4096 are tried one by one; beyond
/// that the search jumps between best rational approximations of x, so a huge
/// max_denominator (10^12, 2^64 - 1) still returns in milliseconds.
std::uint64_t best_denominator(double x, std::uint64_t max_denominator);

/// Largest m with m*m*m*n_sites <= max_sites, or 0 when even m = 1 does not fit.
std::uint64_t largest_cube_multiplier(std::uint64_t n_sites, std::uint64_t max_sites);

/// The xorshift64* generator that deals atoms over a pool.
class Xorshift64Star {
public:
    explicit Xorshift64Star(std::uint64_t seed);
    std::uint64_t next();

private:
    std::uint64_t state_;
};

/// Expands partial occupancies into an ordered m x m x m supercell, or, with
/// `any_shape`, the na x nb x nc supercell that comes closest to the occupancies
/// within the site limit, its edges as even as possible.
Result<Expansion> expand(const Structure& structure, std::uint64_t max_sites, std::uint64_t seed,
                         std::uint64_t max_denominator, bool any_shape = false);

}  // namespace kelvara
