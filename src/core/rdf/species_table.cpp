// SpeciesTable: every (site, species) entry of a structure in three plain lists.
#include "core/rdf/species_table.hpp"

#include <algorithm>  // for std::sort

namespace kelvara {

namespace {
/// Text equality without a library call: element texts are a few bytes long.
inline bool same_text(const std::string& x, const std::string& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t k = 0; k < x.size(); ++k)
        if (x[k] != y[k]) return false;
    return true;
}
}  // namespace

SpeciesTable SpeciesTable::build(const Structure& structure) {
    SpeciesTable table;
    table.species_offsets.reserve(structure.sites.size() + 1);
    table.species_element.reserve(structure.sites.size());
    table.species_occupancy.reserve(structure.sites.size());
    // Elements get numbers in the order they are first seen; neighbouring sites
    // nearly always repeat the element just seen, so that one is tried first.
    std::vector<const std::string*> seen;
    std::uint32_t last = 0;
    for (const Site& site : structure.sites) {
        table.species_offsets.push_back(static_cast<std::uint32_t>(table.species_element.size()));
        double site_sum = 0.0;
        for (const auto& [element, occupancy] : site.species) {
            if (seen.empty() || !same_text(element, *seen[last])) {
                std::uint32_t k = 0;
                while (k < seen.size() && !same_text(element, *seen[k])) ++k;
                if (k == seen.size()) seen.push_back(&element), table.amounts.push_back(0.0);
                last = k;
            }
            table.species_element.push_back(last);
            table.species_occupancy.push_back(occupancy);
            table.amounts[last] += occupancy;
            site_sum += occupancy;
        }
        table.n_total += site_sum;
    }
    table.species_offsets.push_back(static_cast<std::uint32_t>(table.species_element.size()));

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
