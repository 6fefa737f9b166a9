// Occupancy expansion: supercell choice, seeded assignment of elements, report.
#include "core/expand/expand.hpp"

#include <algorithm>  // for std::min, std::stable_sort, std::swap
#include <cmath>      // for std::round, std::fabs, std::floor, std::fma, std::cbrt
#include <limits>     // for std::numeric_limits
#include <map>        // for std::map
#include <numeric>    // for std::gcd

#include "core/util/cancel.hpp"
#include "core/util/memory.hpp"
#include "core/util/number.hpp"

namespace kelvara {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// ---- best denominator --------------------------------------------------------------

/// Denominators up to this one are tried one by one; beyond it only the denominators
/// that can improve on the current choice are visited.
constexpr std::uint64_t kLiteralScan = 4096;

enum class Step { kept, replaced, stop };

struct DenominatorSearch {
    double best_error = std::numeric_limits<double>::infinity();
    std::uint64_t chosen = 1;

    /// Tries denominator d: it wins only when clearly better (by 1e-12) than the
    /// current choice, so the smallest of equally good denominators stays.
    Step consider(double x, std::uint64_t d) {
        const double dd = static_cast<double>(d);
        const double y = x * dd;
        const double r = std::round(y);  // halves away from zero
        const double err = std::fabs(y - r) / dd;
        if (!(err < best_error - 1e-12)) return Step::kept;
        best_error = err;
        chosen = d;
        return err < 1e-9 ? Step::stop : Step::replaced;
    }
};

/// Sign of p/q - v, exactly (p, q whole numbers below 2^53, q > 0, v in (0, 1)).
int compare_fraction(double p, double q, double v) {
    const double product = v * q;
    const double low = std::fma(v, q, -product);  // v*q == product + low exactly
    // p - product is exact when the two are within a factor of two; otherwise it
    // dwarfs `low` and its sign alone decides.
    const double diff = p - product;
    if (diff > low) return 1;
    if (diff < low) return -1;
    return 0;
}

/// A fraction p/q held in doubles (both whole numbers below 2^53).
struct Fraction {
    double p = 0.0, q = 0.0;
};

/// The fraction with the smallest denominator strictly inside (lo, hi), 0 < lo < hi < 1,
/// found by a Stern-Brocot descent that takes whole runs of steps at once; q = 0 when
/// that denominator exceeds q_max (at most 2^50, so every number here is exact).
Fraction simplest_fraction(double lo, double hi, double q_max) {
    double pl = 0.0, ql = 1.0, pr = 1.0, qr = 1.0;  // pl/ql <= lo < hi <= pr/qr
    for (;;) {
        const double pm = pl + pr, qm = ql + qr;
        if (qm > q_max) return {};
        if (compare_fraction(pm, qm, lo) <= 0) {
            // Move the left end to (pl + k*pr)/(ql + k*qr), the largest k keeping it <= lo.
            const double k_cap = std::floor((q_max - ql) / qr);
            double k = std::floor(std::fma(lo, ql, -pl) / std::fma(-lo, qr, pr));
            k = std::clamp(std::isfinite(k) ? k : k_cap, 1.0, k_cap);
            while (k > 1.0 && compare_fraction(pl + k * pr, ql + k * qr, lo) > 0) k -= 1.0;
            while (k < k_cap && compare_fraction(pl + (k + 1.0) * pr, ql + (k + 1.0) * qr, lo) <= 0)
                k += 1.0;
            pl += k * pr;
            ql += k * qr;
        } else if (compare_fraction(pm, qm, hi) >= 0) {
            // Move the right end to (pr + k*pl)/(qr + k*ql), the largest k keeping it >= hi.
            const double k_cap = std::floor((q_max - qr) / ql);
            double k = std::floor(std::fma(-hi, qr, pr) / std::fma(hi, ql, -pl));
            k = std::clamp(std::isfinite(k) ? k : k_cap, 1.0, k_cap);
            while (k > 1.0 && compare_fraction(pr + k * pl, qr + k * ql, hi) < 0) k -= 1.0;
            while (k < k_cap && compare_fraction(pr + (k + 1.0) * pl, qr + (k + 1.0) * ql, hi) >= 0)
                k += 1.0;
            pr += k * pl;
            qr += k * ql;
        } else {
            return {pm, qm};
        }
    }
}

// ---- multipliers -------------------------------------------------------------------

/// lcm = lcm(lcm, d); once it no longer fits in 64 bits it stays at UINT64_MAX
/// with `overflow` set (such a multiplier is beyond every site limit).
void extend_lcm(std::uint64_t& lcm, bool& overflow, std::uint64_t d) {
    if (overflow) return;
    if (multiply_overflows(lcm / std::gcd(lcm, d), d, lcm)) {
        lcm = kU64Max;
        overflow = true;
    }
}

/// Whether c*c*c <= limit; a product beyond 64 bits counts as larger than any limit.
bool cube_fits(std::uint64_t c, std::uint64_t limit) {
    std::uint64_t cube = c;
    if (multiply_overflows(cube, c, cube) || multiply_overflows(cube, c, cube))
        return false;
    return cube <= limit;
}

/// Peak memory of an expansion per output site, measured (peak resident size over
/// sites placed, 2 to 8 million sites): 182 bytes with one species per site, 205 with
/// five species on one site in five. The supercell's copies, the placed atoms, the
/// pools and the shuffled slots live at the same time; a site's species list costs
/// about 40 bytes per entry in each of them.
constexpr std::uint64_t expansion_site_bytes = 150;
constexpr std::uint64_t expansion_species_bytes = 40;

std::string cube_text(std::uint64_t m) {
    const std::string side = std::to_string(m);
    return side + "x" + side + "x" + side;
}

std::string shape_text(const std::array<std::uint64_t, 3>& scale) {
    return std::to_string(scale[0]) + "x" + std::to_string(scale[1]) + "x" + std::to_string(scale[2]);
}

/// A cell that is not a repetition, by its number of input cells: "25-cell".
std::string cell_text(const SupercellShape& shape) { return std::to_string(shape.copies) + "-cell"; }

/// The numbers of a cell flatter than asked for.
std::string height_warning(const SupercellShape& shape, double limit) {
    return "the most compact cell of " + std::to_string(shape.copies) + " input cells is flat: its shortest height " +
           format_fixed(shape.shortest_height, 2) + " A is " + format_fixed(shape.height_ratio(), 2) +
           " of its longest (" + format_fixed(shape.longest_height, 2) + " A), below the limit of " +
           format_general(limit, 3);
}

/// Worst |round(o*copies)/copies - o| over the fractional occupancies and vacancy
/// shares of the disordered sites: how far `copies` copies of each site come from
/// the requested occupancies.
double worst_rounding(const Structure& structure, std::uint64_t copies) {
    const double p = static_cast<double>(copies);
    double worst = 0.0;
    auto consider = [&](double o) {
        worst = std::max(worst, std::fabs(std::round(o * p) / p - o));
    };
    for (const Site& site : structure.sites) {
        if (site.is_ordered()) continue;
        for (const auto& [element, occupancy] : site.species)
            if (occupancy > 0.0 && occupancy < 1.0) consider(occupancy);
        const double total = site.occupancy_sum(-0.0);
        if (total < 0.999999) consider(total);
    }
    return worst;
}

/// The number of copies of the cell for a supercell of any na x nb x nc shape: the
/// largest multiple of `exact` within the site quota (and no larger than exact^3, the
/// most a cube would take), or, when no multiple fits, the count near the quota whose
/// rounding comes closest to the occupancies (the cube's count among the candidates).
std::uint64_t any_shape_copies(const Structure& structure, std::uint64_t exact, bool overflow,
                               std::uint64_t quota, std::uint64_t cube) {
    std::uint64_t cap = quota;
    if (!overflow && cube_fits(exact, quota)) cap = exact * exact * exact;
    if (!overflow && exact <= cap) return cap / exact * exact;
    std::uint64_t best = cube;
    double best_worst = worst_rounding(structure, cube);
    const std::uint64_t first = cap > 4096 ? cap - 4096 : 1;
    for (std::uint64_t copies = cap; copies >= first && copies > 0; --copies) {
        const double worst = worst_rounding(structure, copies);
        if (worst < best_worst || (worst == best_worst && copies > best)) {
            best = copies;
            best_worst = worst;
        }
    }
    return best;
}

/// na x nb x nc = copies with the supercell's edges as even as possible: the
/// smallest ratio of its longest to its shortest edge, the first such triple in
/// increasing na, then nb, on ties.
std::array<std::uint64_t, 3> compact_shape(const Lattice& lattice, std::uint64_t copies) {
    std::vector<std::uint64_t> divisors;
    for (std::uint64_t d = 1; d <= copies / d; ++d)
        if (copies % d == 0) {
            divisors.push_back(d);
            if (d != copies / d) divisors.push_back(copies / d);
        }
    std::sort(divisors.begin(), divisors.end());
    Vec3 lengths{};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& v = lattice.matrix[i];
        lengths[i] = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    }
    std::array<std::uint64_t, 3> best{1, 1, copies};
    double best_ratio = std::numeric_limits<double>::infinity();
    for (std::uint64_t na : divisors)
        for (std::uint64_t nb : divisors) {
            if ((copies / na) % nb != 0) continue;
            const std::uint64_t nc = copies / na / nb;
            const double edges[3] = {static_cast<double>(na) * lengths[0],
                                     static_cast<double>(nb) * lengths[1],
                                     static_cast<double>(nc) * lengths[2]};
            const double ratio = std::max({edges[0], edges[1], edges[2]}) /
                                 std::min({edges[0], edges[1], edges[2]});
            if (ratio < best_ratio) {
                best_ratio = ratio;
                best = {na, nb, nc};
            }
        }
    return best;
}

}  // namespace

// ---- public ------------------------------------------------------------------------

// ---- pools -------------------------------------------------------------------------

/// The composition key of a site: "El:0.5000" pieces, sorted byte-wise, joined by "|".
std::string pool_key(const Site& site) {
    std::vector<std::string> pieces;
    pieces.reserve(site.species.size());
    for (const auto& [element, occupancy] : site.species)
        pieces.push_back(element + ":" + format_fixed(occupancy, 4));
    std::sort(pieces.begin(), pieces.end());
    std::string key;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) key += '|';
        key += pieces[i];
    }
    return key;
}

/// Atoms of each species of a pool of `pool_size` sites: floors of the targets, a
/// largest-remainder top-up, then (for a representative whose occupancies add up to
/// more than 1) a trim so that no more atoms are counted than there are sites.
std::vector<std::uint64_t> pool_counts(const SpeciesList& species, std::uint64_t pool_size) {
    const std::size_t k = species.size();
    const double p = static_cast<double>(pool_size);
    std::vector<double> targets(k);
    std::vector<std::uint64_t> counts(k);
    double target_sum = -0.0;
    for (std::size_t j = 0; j < k; ++j) {
        targets[j] = species[j].second * p;
        counts[j] = saturating_u64(std::floor(targets[j]));  // negative gives 0
        target_sum += targets[j];
    }
    const std::uint64_t n_atoms =
        std::min(pool_size, saturating_u64(std::floor(target_sum + 0.5)));
    std::uint64_t placed = 0;
    for (std::uint64_t c : counts) placed += c;  // each count <= 1.001 * pool_size

    if (placed < n_atoms) {
        std::vector<std::size_t> order(k);
        for (std::size_t j = 0; j < k; ++j) order[j] = j;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return targets[a] - static_cast<double>(counts[a]) >
                   targets[b] - static_cast<double>(counts[b]);
        });
        const std::uint64_t extra = std::min<std::uint64_t>(n_atoms - placed, k);
        for (std::uint64_t i = 0; i < extra; ++i) ++counts[order[i]];
    }

    // Floors above the pool size: the largest count (earliest species on ties) gives
    // up one atom at a time, so the report matches what is actually placed.
    placed = 0;
    for (std::uint64_t c : counts) placed += c;
    while (placed > pool_size) {
        std::size_t largest = 0;
        for (std::size_t j = 1; j < k; ++j)
            if (counts[j] > counts[largest]) largest = j;
        --counts[largest];
        --placed;
    }
    return counts;
}


std::uint64_t best_denominator(double x, std::uint64_t max_denominator) {
    DenominatorSearch search;
    const std::uint64_t scan_end = std::min(max_denominator, kLiteralScan);
    for (std::uint64_t d = 1; d <= scan_end; ++d)
        if (search.consider(x, d) == Step::stop) return search.chosen;
    if (max_denominator <= kLiteralScan) return search.chosen;

    // Beyond the literal scan, a denominator can replace the choice only when some
    // fraction r/d lies within (best error - 1e-12) of x, and every smaller
    // denominator is already known to stay outside that window. So the next
    // denominator worth trying is the smallest one of a fraction inside the window,
    // and the search jumps straight to it. Every jump lowers the best error by more
    // than 1e-12 and the search ends at an error below 1e-9, which some denominator
    // below ~2e9 always reaches, so it ends quickly for any max_denominator.
    //
    // The error formula rounds x*d, so at the very edge of the window it may disagree
    // with exact arithmetic by ~1e-16: the window is widened by that much, and a
    // fraction the formula then rejects is cut off and the search goes on past it.
    // Values beyond 2^20 (never an occupancy) keep the result of the literal scan.
    if (!(std::fabs(x) < 1048576.0) || !(search.best_error < 1.0)) return search.chosen;
    const double fraction = x - std::floor(x);  // exact
    const double q_max = static_cast<double>(std::min<std::uint64_t>(max_denominator, 1ull << 50));
    // Above the rounding of x*d (half an ulp of x*d, divided by d), far below 1e-12.
    const double slack = 0x1p-51 * std::max(1.0, std::fabs(x));
    // Denominators only grow from one candidate to the next, so the search ends; the
    // cap is a guard that is never reached by the error bounds above.
    constexpr int kMaxCandidates = 1 << 22;
    int candidates = 0;
    for (;;) {
        const double window = search.best_error - 1e-12 + slack;
        double lo = fraction - window, hi = fraction + window;
        for (;;) {
            if (!(lo > 0.0 && hi < 1.0 && lo < hi)) return search.chosen;
            const Fraction f = simplest_fraction(lo, hi, q_max);
            if (f.q == 0.0 || ++candidates > kMaxCandidates) return search.chosen;
            const Step step = search.consider(x, saturating_u64(f.q));
            if (step == Step::stop) return search.chosen;
            if (step == Step::replaced) break;
            // Rejected at the edge of the window: cut the window just past f.
            if (compare_fraction(f.p, f.q, fraction) < 0) {
                lo = f.p / f.q;
                if (compare_fraction(f.p, f.q, lo) > 0) lo = std::nextafter(lo, 1.0);
            } else {
                hi = f.p / f.q;
                if (compare_fraction(f.p, f.q, hi) < 0) hi = std::nextafter(hi, 0.0);
            }
        }
    }
}

std::uint64_t largest_cube_multiplier(std::uint64_t n_sites, std::uint64_t max_sites) {
    if (n_sites == 0) return 0;
    const std::uint64_t quota = max_sites / n_sites;  // c^3 * n <= max_sites <=> c^3 <= quota
    std::uint64_t c = saturating_u64(std::cbrt(static_cast<double>(quota)));
    while (c > 0 && !cube_fits(c, quota)) --c;
    while (cube_fits(c + 1, quota)) ++c;
    return c;
}

Xorshift64Star::Xorshift64Star(std::uint64_t seed) : state_(seed * 0x2545F4914F6CDD1DULL) {
    if (state_ == 0) state_ = 1;
}

std::uint64_t Xorshift64Star::next() {
    std::uint64_t x = state_;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    state_ = x;
    return x * 0x2545F4914F6CDD1DULL;
}

Result<Expansion> expand(const Structure& structure, std::uint64_t max_sites, std::uint64_t seed,
                         std::uint64_t max_denominator, bool any_shape, double min_height_ratio) {
    // ---- the exact multiplier L (saturating: beyond 64 bits it exceeds any limit)
    std::uint64_t exact = 1;
    bool exact_overflow = false;
    for (const Site& site : structure.sites) {
        if (site.is_ordered()) continue;
        for (const auto& [element, occupancy] : site.species)
            if (occupancy > 0.0 && occupancy < 1.0)
                extend_lcm(exact, exact_overflow, best_denominator(occupancy, max_denominator));
        const double total = site.occupancy_sum(-0.0);
        if (total < 0.999999)
            extend_lcm(exact, exact_overflow, best_denominator(total, max_denominator));
    }

    // ---- the used multiplier m and the supercell
    const std::uint64_t n = structure.n_sites();
    const std::uint64_t m = std::max<std::uint64_t>(
        1, std::min(exact, largest_cube_multiplier(n, max_sites)));
    // Any multiplier up to the largest cube fits; only a structure already above the
    // limit has none, and then m is 1. Told before anything is copied.
    if (n > max_sites)
        return fail("even a " + cube_text(m) + " cell holds " + std::to_string(n) +
                    " sites, above the limit of " + std::to_string(max_sites));
    std::array<std::uint64_t, 3> scale{m, m, m};
    SupercellShape shape;
    std::string shape_warning;
    if (any_shape) {
        scale = compact_shape(structure.lattice,
                              any_shape_copies(structure, exact, exact_overflow, max_sites / n, m * m * m));
        shape = diagonal_supercell(structure.lattice.matrix, scale[0], scale[1], scale[2]);
        // A slab of repetitions is replaced by the most compact combination of the
        // lattice vectors with as many cells.
        if (shape.height_ratio() < min_height_ratio) {
            auto compact = compact_supercell(structure.lattice.matrix, shape.copies);
            if (!compact) return fail(compact.error());
            if (compact->height_ratio() > shape.height_ratio()) shape = *compact;
            scale = shape.scale();
            if (shape.height_ratio() < min_height_ratio)
                shape_warning = height_warning(shape, min_height_ratio);
        }
    } else {
        shape = diagonal_supercell(structure.lattice.matrix, m, m, m);
    }
    // Refused before anything is copied when the whole expansion cannot be held now.
    std::uint64_t bytes_per_copy = 0;
    for (const Site& site : structure.sites)
        bytes_per_copy += expansion_site_bytes + expansion_species_bytes * site.species.size();
    const std::uint64_t n_copies = scale[0] * scale[1] * scale[2];  // at most max_sites / n
    if (!fits_in_memory(n_copies, bytes_per_copy))
        return fail("a " + shape_text(scale) + " expansion would hold " + std::to_string(n_copies * n) +
                    " sites and need about " + format_general(static_cast<double>(n_copies) *
                    static_cast<double>(bytes_per_copy) / 1073741824.0, 3) +
                    " GiB, more than this machine has available; lower max_sites");
    auto supercell = shape.diagonal() ? structure.make_supercell(scale[0], scale[1], scale[2])
                                      : build_supercell(structure, shape);
    if (!supercell) return fail(supercell.error());

    // ---- pools of disordered copies with the same composition
    std::vector<Site> sites;  // the ordered copies first, then the placed atoms
    // Copies are image-major with the input sites innermost, so copy i has the
    // composition of input site i % n: each key is formatted once per input site.
    std::map<std::string, std::vector<std::size_t>> pools;
    std::vector<std::vector<std::size_t>*> pool_of_site(n, nullptr);
    for (std::size_t s = 0; s < n; ++s)
        if (!structure.sites[s].is_ordered()) pool_of_site[s] = &pools[pool_key(structure.sites[s])];
    sites.reserve(supercell->sites.size());
    for (std::size_t i = 0; i < supercell->sites.size(); ++i) {
        if ((i & 0xFFFF) == 0xFFFF && cancel_point()) return fail(interrupted_message);
        if (std::vector<std::size_t>* pool = pool_of_site[i % n])
            pool->push_back(i);
        else
            sites.push_back(std::move(supercell->sites[i]));  // pool copies stay intact
    }

    // ---- counts, slots, seeded shuffle, placement
    Expansion out;
    Xorshift64Star generator(seed);
    constexpr std::size_t kEmpty = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> pool_first_site;
    for (const auto& [key, members] : pools) {
        pool_first_site.push_back(members.front() % n);
        const SpeciesList& species = supercell->sites[members.front()].species;
        const std::uint64_t pool_size = members.size();
        const std::vector<std::uint64_t> counts = pool_counts(species, pool_size);

        std::vector<std::size_t> slots;
        slots.reserve(members.size());
        for (std::size_t j = 0; j < species.size(); ++j) slots.insert(slots.end(), counts[j], j);
        slots.resize(members.size(), kEmpty);
        for (std::size_t i = slots.size(); i-- > 1;) {
            if ((i & 0xFFFF) == 0 && cancel_point()) return fail(interrupted_message);
            const std::uint64_t r = generator.next() % (static_cast<std::uint64_t>(i) + 1);
            std::swap(slots[i], slots[r]);
        }

        for (std::size_t r = 0; r < slots.size(); ++r) {
            if ((r & 0xFFFF) == 0xFFFF && cancel_point()) return fail(interrupted_message);
            if (slots[r] == kEmpty) {
                ++out.n_vacancies;
                continue;
            }
            Site atom;
            atom.species.emplace_back(species[slots[r]].first, 1.0);
            atom.frac = supercell->sites[members[r]].frac;
            atom.uiso = supercell->sites[members[r]].uiso;
            sites.push_back(std::move(atom));
        }

        for (std::size_t j = 0; j < species.size(); ++j) {
            const auto& [element, occupancy] = species[j];
            out.report.push_back({element, occupancy, pool_size, counts[j], pool_first_site.size() - 1});
        }
    }

    if (sites.empty()) return fail("no sites remain after expansion; check the occupancies");
    auto expanded = Structure::new_(supercell->lattice, std::move(sites));
    if (!expanded) return fail(expanded.error());

    // ---- warnings
    const std::string used = shape.diagonal() ? shape_text(scale) : cell_text(shape);
    missing_warnings(*expanded, out.report, pool_first_site, used, out.warnings);
    double worst = 0.0;
    for (const ReportEntry& entry : out.report)
        worst = std::max(worst, std::fabs(entry.actual_occupancy() - entry.target_occupancy));
    const std::uint64_t copies = scale[0] * scale[1] * scale[2];
    if (any_shape && worst >= 0.02 && (exact_overflow || copies % exact != 0)) {
        out.warnings.push_back("the occupancies would need a supercell of a multiple of " +
                               (exact_overflow ? std::string("more than 2^64") : std::to_string(exact)) +
                               " cells to come out exactly, but that exceeds the " +
                               std::to_string(max_sites) + "-site limit; " + used +
                               " was used and the occupancies are approximated (worst deviation " +
                               format_fixed(worst, 4) + ")");
    } else if (!any_shape && worst >= 0.02 && m < exact) {
        // An exact multiplier beyond 64 bits is named as a bound, not as a number.
        const std::string needed = exact_overflow ? "supercell larger than " + cube_text(exact)
                                                    : cube_text(exact) + " supercell";
        out.warnings.push_back("the occupancies would need a " + needed +
                               " to come out exactly, but that exceeds the " +
                               std::to_string(max_sites) + "-site limit; " + cube_text(m) +
                               " was used and the occupancies are approximated (worst deviation " +
                               format_fixed(worst, 4) + ")");
    }

    // After the approximation warning the cell that would be exact is already named.
    const bool approximated = out.warnings.size() > 0 &&
                              out.warnings.back().find(" was used and the occupancies are approximated") != std::string::npos;
    deviation_warning(structure, out.report, pool_first_site, max_denominator, !approximated, out.warnings);
    if (!shape_warning.empty()) out.warnings.push_back(shape_warning);

    out.structure = std::move(*expanded);
    out.scale = scale;
    out.shape = shape;
    return out;
}

}  // namespace kelvara
