// Site and Structure: sites with partial occupancies, derived quantities, supercells.
#include "core/model/structure.hpp"

#include <cmath>  // for std::fabs, std::isfinite, std::round

#include "core/util/memory.hpp"
#include "core/util/cancel.hpp"
#include "core/util/number.hpp"

namespace kelvara {

namespace {
/// The smallest positive occupancy accepted; products of two stay far above the
/// smallest double.
constexpr double min_occupancy = 1e-30;
/// The largest fractional coordinate accepted, in cell lengths either way.
constexpr double max_fractional = 1e6;
}  // namespace

double Site::occupancy_sum(double start) const {
    double sum = start;
    for (const Species& s : species) sum += s.second;
    return sum;
}

bool Site::is_ordered() const {
    return species.size() == 1 && std::fabs(species[0].second - 1.0) < 1e-6;
}

Result<Structure> Structure::new_(Lattice lattice, std::vector<Site> sites) {
    if (sites.empty()) return fail("structure has no sites");
    for (const Site& site : sites) {
        const double sum = site.occupancy_sum();
        if (sum > 1.001)
            return fail("a site has occupancies summing to " + format_fixed(sum, 4) +
                        ", which exceeds 1");
    }
    // A NaN or infinite number would pass every later test unnoticed and make
    // distances, counts and supercells silently wrong, so it stops here.
    for (std::size_t i = 0; i < sites.size(); ++i) {
        for (double f : sites[i].frac) {
            if (!std::isfinite(f))
                return fail("site " + std::to_string(i) +
                            " has a fractional coordinate that is not a finite number");
            // Even unwrapped coordinates of a long run stay within a few thousand cells;
            // past a million, wrapping into the cell keeps too few digits to place the
            // atom (at 1e16 none at all), so the number cannot be a position.
            if (std::fabs(f) > max_fractional)
                return fail("site " + std::to_string(i) + " has a fractional coordinate of " +
                            format_shortest(f) + ", more than a million cell lengths from the "
                            "cell: not a position (a corrupt file, or other units?)");
        }
        for (const Species& s : sites[i].species) {
            if (!std::isfinite(s.second))
                return fail("site " + std::to_string(i) + " has an occupancy of " + s.first +
                            " that is not a finite number");
            // A negative amount of an element, or one so small that its products
            // vanish (5e-324), has no meaning and turns densities negative or NaN.
            if (s.second < 0.0)
                return fail("site " + std::to_string(i) + " has a negative occupancy of " + s.first +
                            " (" + format_shortest(s.second) + "); occupancies are 0 to 1");
            if (s.second > 0.0 && s.second < min_occupancy)
                return fail("site " + std::to_string(i) + " has an occupancy of " + s.first + " of " +
                            format_shortest(s.second) + ", too small to mean anything; occupancies "
                            "are 0 or at least 1e-30");
        }
    }
    bool any_atom = false;
    for (const Site& site : sites)
        for (const Species& s : site.species) any_atom |= s.second > 0.0;
    if (!any_atom) return fail("structure has no atoms: every occupancy is 0");
    return Structure{std::move(lattice), std::move(sites)};
}

std::vector<Vec3> Structure::cart_coords() const {
    std::vector<Vec3> out;
    out.reserve(sites.size());
    for (const Site& site : sites) out.push_back(lattice.to_cartesian(site.frac));
    return out;
}

ElementMap Structure::composition() const {
    // Summed by element number in site order, then put into the map once.
    ElementNumbering numbering;
    std::vector<double> sums;
    for (const Site& site : sites)
        for (const auto& [element, occupancy] : site.species) {
            const std::uint32_t k = numbering.number(element);
            if (k == sums.size()) sums.push_back(0.0);
            sums[k] += occupancy;
        }
    ElementMap map;
    for (std::size_t k = 0; k < sums.size(); ++k) map.emplace(*numbering.seen()[k], sums[k]);
    return map;
}

std::vector<std::string> Structure::elements() const {
    std::vector<std::string> out;
    for (const auto& entry : composition()) out.push_back(entry.first);
    return out;
}

double Structure::n_atoms() const {
    double total = 0.0;
    for (const Site& site : sites) total += site.occupancy_sum();
    return total;
}

bool Structure::is_ordered() const {
    for (const Site& site : sites)
        if (!site.is_ordered()) return false;
    return true;
}

Result<Structure> Structure::make_supercell(std::uint64_t na, std::uint64_t nb,
                                            std::uint64_t nc) const {
    if (na == 0 || nb == 0 || nc == 0) return fail("supercell dimensions must be at least 1");
    const std::string dims =
        std::to_string(na) + "x" + std::to_string(nb) + "x" + std::to_string(nc);

    // Refuse before allocating: the product may overflow, or need more memory than
    // the machine has (one Site record plus its species list per copy).
    std::uint64_t copies = na, total = 0;
    bool overflow = multiply_overflows(copies, nb, copies) ||
                    multiply_overflows(copies, nc, copies) ||
                    multiply_overflows(copies, static_cast<std::uint64_t>(sites.size()), total);
    if (overflow)
        return fail("a " + dims + " supercell of " + std::to_string(sites.size()) +
                    " sites has more sites than can be counted");
    std::uint64_t species_entries = 0;
    for (const Site& site : sites) species_entries += site.species.size();
    const std::uint64_t bytes_per_copy =
        sites.size() * sizeof(Site) + species_entries * sizeof(Species);
    if (!fits_in_memory(copies, bytes_per_copy))
        return fail("a " + dims + " supercell would hold " + std::to_string(total) +
                    " sites, more than fit in this machine's memory");

    Mat3 m = lattice.matrix;
    const double scale[3] = {static_cast<double>(na), static_cast<double>(nb),
                             static_cast<double>(nc)};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) m[row][col] *= scale[row];
    auto new_lattice = Lattice::new_(m);
    if (!new_lattice) return fail(new_lattice.error());

    std::vector<Site> out;
    out.reserve(total);
    for (std::uint64_t i = 0; i < na; ++i)
        for (std::uint64_t j = 0; j < nb; ++j)
            for (std::uint64_t k = 0; k < nc; ++k)
                for (const Site& site : sites) {
                    if ((out.size() & 0xFFFF) == 0xFFFF && cancel_point()) return fail(interrupted_message);
                    Site copy;
                    copy.species = site.species;
                    copy.uiso = site.uiso;
                    copy.frac = {(site.frac[0] + static_cast<double>(i)) / scale[0],
                                 (site.frac[1] + static_cast<double>(j)) / scale[1],
                                 (site.frac[2] + static_cast<double>(k)) / scale[2]};
                    out.push_back(std::move(copy));
                }
    return Structure::new_(std::move(*new_lattice), std::move(out));
}

std::string Structure::formula() const {
    std::string text;
    for (const auto& [element, amount] : composition()) {
        if (!text.empty()) text += ' ';
        text += element;
        const double rounded = std::round(amount);  // halves away from zero
        if (std::fabs(amount - rounded) < 1e-9)
            text += std::to_string(saturating_i64(rounded));
        else
            text += format_fixed(amount, 4);
    }
    return text;
}

std::string Structure::repr() const {
    return "Structure(" + std::to_string(sites.size()) + " sites, " + formula() +
           (is_ordered() ? "" : ", disordered") + ")";
}

}  // namespace kelvara
