// Site and Structure: sites with partial occupancies, derived quantities, supercells.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/model/lattice.hpp"
#include "core/util/result.hpp"
#include "core/model/species_list.hpp"

namespace kelvara {

/// Element text -> amount, iterated in byte-wise lexicographic order of the text
/// ("Fe" < "O" < "fe"); std::string compares its chars as unsigned bytes.
using ElementMap = std::map<std::string, double>;

/// One crystallographic site.
struct Site {
    /// Who sits here and with which occupancy, in the order the builder supplied.
    SpeciesList species;
    /// Fractional coordinates along a, b, c, stored as supplied (never wrapped).
    Vec3 frac{};
    /// Isotropic displacement parameter Uiso in A^2 as the file gives it, NaN when
    /// it gives none. Copies of the site (supercells, expansions) keep it.
    double uiso = std::numeric_limits<double>::quiet_NaN();

    /// Occupancies summed left to right from `start` (0.0 or -0.0 as the caller needs).
    double occupancy_sum(double start = 0.0) const;
    /// Exactly one species whose occupancy is within 1e-6 of 1.
    bool is_ordered() const;
};

/// A periodic crystal structure: a cell and its sites in builder order.
struct Structure {
    Lattice lattice;
    std::vector<Site> sites;

    /// Fails with "structure has no sites", or with "a site has occupancies summing to
    /// {:.4}, which exceeds 1" for the first site whose sum is above 1.001.
    static Result<Structure> new_(Lattice lattice, std::vector<Site> sites);

    double volume() const { return lattice.volume(); }
    std::vector<Vec3> cart_coords() const;
    ElementMap composition() const;
    std::vector<std::string> elements() const;
    double n_atoms() const;
    std::size_t n_sites() const { return sites.size(); }
    bool is_ordered() const;

    /// na x nb x nc copies, image-major (i outermost, then j, k, then the sites).
    Result<Structure> make_supercell(std::uint64_t na, std::uint64_t nb, std::uint64_t nc) const;

    /// The composition as text, elements in element order joined by spaces, each
    /// followed by its amount: a whole number as an integer, otherwise with four
    /// decimals ("Cl4 Na4", "Fe0.5000 Ni0.5000 O1").
    std::string formula() const;
    /// "Structure({} sites, {formula}{, disordered})".
    std::string repr() const;
};

}  // namespace kelvara
