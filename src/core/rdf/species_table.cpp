// SpeciesTable: every (site, species) entry of a structure in three plain lists.
#include "core/rdf/species_table.hpp"

#include <algorithm>  // for std::sort

namespace kelvara {

SpeciesTable SpeciesTable::build(const Structure& structure) {
    SpeciesTable table;
    table.species_offsets.reserve(structure.sites.size() + 1);
    table.species_element.reserve(structure.sites.size());
    table.species_occupancy.reserve(structure.sites.size());
    ElementNumbering numbering;
    for (const Site& site : structure.sites) {
        table.species_offsets.push_back(static_cast<std::uint32_t>(table.species_element.size()));
        double site_sum = 0.0;
        for (const auto& [element, occupancy] : site.species) {
            const std::uint32_t last = numbering.number(element);
            if (last == table.amounts.size()) table.amounts.push_back(0.0);
            table.species_element.push_back(last);
            table.species_occupancy.push_back(occupancy);
            table.amounts[last] += occupancy;
            site_sum += occupancy;
        }
        table.n_total += site_sum;
    }
    table.species_offsets.push_back(static_cast<std::uint32_t>(table.species_element.size()));
    const auto& seen = numbering.seen();

    // Renumber the elements in sorted order.
    std::vector<std::uint32_t> order(seen.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t x, std::uint32_t y) { return *seen[x] < *seen[y]; });
    std::vector<std::uint32_t> rank(seen.size());
    std::vector<double> amounts(seen.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        rank[order[k]] = k;
        table.elements.push_back(*seen[order[k]]);
        amounts[k] = table.amounts[order[k]];
    }
    table.amounts = std::move(amounts);
    for (std::uint32_t& e : table.species_element) e = rank[e];
    return table;
}

}  // namespace kelvara
