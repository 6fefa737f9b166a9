// Occupancy expansion: supercell choice, seeded assignment of elements, report.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

#include "core/expand/supercell.hpp"
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
    /// The pool's position in key order.
    std::size_t pool = 0;

    double actual_occupancy() const {
        return static_cast<double>(atoms_placed) / static_cast<double>(sites_in_pool);
    }
};

/// Warren-Cowley alpha of one pair of labels (an element, or "Va" for a vacancy) on
/// one pair of pools, per neighbour shell.
struct SroEntry {
    std::string centre, neighbour;
    std::size_t centre_pool = 0, neighbour_pool = 0;
    std::vector<double> before, after;
};

/// What the quasirandom search did.
struct SqsSummary {
    /// The shortest pair distance of each shell, Angstrom.
    std::vector<double> shell_radii;
    /// The composition key of each pool ("Fe:0.5000|Ni:0.5000"), in key order.
    std::vector<std::string> pools;
    /// The first input site of each pool.
    std::vector<std::size_t> pool_sites;
    std::vector<SroEntry> alpha;
    /// Largest |alpha| over every shell and pair, before and after the search.
    double objective_before = 0.0, objective = 0.0;
    std::uint64_t steps = 0, steps_budget = 0, chains = 0;
    double seconds = 0.0;
    /// Why the search ended early: "" (it ran its steps), "time" or "interrupted".
    std::string stopped;
};

/// The ordered structure and how close it came to the requested occupancies.
struct Expansion {
    Structure structure;
    /// Pool key order, then the representative's species order.
    std::vector<ReportEntry> report;
    /// Messages for the user: elements placed nowhere, elements rounded away on a site,
    /// the approximation, the shares missed, a flat cell (in that order, each when it applies).
    std::vector<std::string> warnings;
    /// The multipliers along a, b, c: (m, m, m), or any shape when asked for.
    std::array<std::uint64_t, 3> scale{};
    /// Pool sites left empty.
    std::uint64_t n_vacancies = 0;
    /// The supercell as integer combinations of the input's lattice vectors.
    SupercellShape shape;
    /// Set by the quasirandom search.
    std::optional<SqsSummary> sqs;
};

/// The composition key of a site: "El:0.5000" pieces, sorted byte-wise, joined by "|".
std::string pool_key(const Site& site);

/// Atoms of each species of a pool of `pool_size` sites with the representative's
/// species: floors of the targets and a largest-remainder top-up.
std::vector<std::uint64_t> pool_counts(const SpeciesList& species, std::uint64_t pool_size);

/// Appends the warning about elements the expansion placed nowhere, in the words
/// "no atoms could be placed for ..." with `cell_text` naming the cell, and one about
/// elements rounded away on some site although present elsewhere, naming the site.
/// `pool_first_site` holds the first input site of each pool, `report` its entries.
void missing_warnings(const Structure& result, const std::vector<ReportEntry>& report,
                      const std::vector<std::size_t>& pool_first_site, const std::string& cell_text,
                      std::vector<std::string>& warnings);

/// Appends a warning naming every element whose share on a site differs by more than
/// 5e-5 from what the input's share stands for (the fraction with a denominator up to
/// max_denominator within 1e-3 of it: 0.333 is 1/3; else the value itself), elements
/// placed nowhere on that site excepted (the
/// missing warnings name them), with the input's and the result's fractions, and,
/// `with_remedy`, the number of cells whose multiples would hold the composition.
void deviation_warning(const Structure& input, const std::vector<ReportEntry>& report,
                       const std::vector<std::size_t>& pool_first_site, std::uint64_t max_denominator,
                       bool with_remedy, std::vector<std::string>& warnings);

/// The number of cells whose multiples hold every share of the input as the fraction
/// it stands for (a denominator up to max_denominator within 1e-3 of it), pool by
/// pool; 0 when some share stands for no such fraction, or beyond 64 bits.
std::uint64_t exact_copies(const Structure& input, std::uint64_t max_denominator);

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
/// A repetition whose shortest height is below `min_height_ratio` of its longest is
/// replaced by the most compact combination of lattice vectors with as many cells, and
/// a warning gives the numbers when even that one is flatter.
Result<Expansion> expand(const Structure& structure, std::uint64_t max_sites, std::uint64_t seed,
                         std::uint64_t max_denominator, bool any_shape = false,
                         double min_height_ratio = 0.5);

}  // namespace kelvara
