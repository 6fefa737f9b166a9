// SpeciesTable: every (site, species) entry of a structure in three plain lists.
#pragma once

#include <cstdint>  // for std::uint32_t
#include <string>
#include <vector>

#include "core/model/structure.hpp"

namespace kelvara {

/// Every (site, species) entry flattened into three plain lists, so the pair loop
/// looks species up by index and never compares element texts.
struct SpeciesTable {
    /// The structure's element texts, sorted (the order of `Structure::elements`).
    std::vector<std::string> elements;
    /// Occupancies of each element summed in site order (`Structure::composition`).
    std::vector<double> amounts;
    /// Sum of every site's occupancy sum, in site order (`Structure::n_atoms`).
    double n_total = 0.0;
    /// Site i owns entries species_offsets[i] .. species_offsets[i + 1]; n_sites + 1 values.
    std::vector<std::uint32_t> species_offsets;
    /// Index of the entry's element in `elements`.
    std::vector<std::uint32_t> species_element;
    /// Occupancy of the entry.
    std::vector<double> species_occupancy;

    /// One pass over the sites in site order and each site's species order.
    static SpeciesTable build(const Structure& structure);
};

}  // namespace kelvara
