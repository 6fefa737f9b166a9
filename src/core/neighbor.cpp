// CellList: the periodic cell grid, wrapped coordinates and the flattened species table.
#include "core/neighbor.hpp"

#include <algorithm>  // for std::clamp, std::find
#include <cmath>      // for std::floor, std::ceil, std::sqrt, std::fabs

#include "core/number.hpp"  // for saturating_i64

namespace kelvara {

Vec3 wrapped_frac(const Vec3& frac) {
    Vec3 w{};
    for (int k = 0; k < 3; ++k) {
        w[k] = frac[k] - std::floor(frac[k]);
        if (w[k] >= 1.0) w[k] = 0.0;  // a tiny negative f rounds up to exactly 1
    }
    return w;
}

std::vector<Vec3> wrapped_coords(const Structure& structure) {
    std::vector<Vec3> out;
    out.reserve(structure.sites.size());
    for (const Site& site : structure.sites) out.push_back(wrapped_frac(site.frac));
    return out;
}

SpeciesTable SpeciesTable::build(const Structure& structure,
                                 const std::vector<std::string>& elements) {
    SpeciesTable table;
    table.species_offsets.reserve(structure.sites.size() + 1);
    for (const Site& site : structure.sites) {
        table.species_offsets.push_back(static_cast<std::uint32_t>(table.species_element.size()));
        for (const auto& [element, occupancy] : site.species) {
            const auto found = std::find(elements.begin(), elements.end(), element);
            table.species_element.push_back(static_cast<std::uint32_t>(found - elements.begin()));
            table.species_occupancy.push_back(occupancy);
        }
    }
    table.species_offsets.push_back(static_cast<std::uint32_t>(table.species_element.size()));
    return table;
}

namespace {
Vec3 cross(const Vec3& u, const Vec3& v) {
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}
double norm(const Vec3& u) { return std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]); }
}  // namespace

Vec3 cell_heights(const Mat3& m) {
    const Vec3 bc = cross(m[1], m[2]), ca = cross(m[2], m[0]), ab = cross(m[0], m[1]);
    const double volume = std::fabs(m[0][0] * bc[0] + m[0][1] * bc[1] + m[0][2] * bc[2]);
    return {volume / norm(bc), volume / norm(ca), volume / norm(ab)};
}

CellList CellList::shape(const Mat3& matrix, double cutoff, int cells_per_cutoff) {
    const Vec3 heights = cell_heights(matrix);
    std::int64_t n[3], reach[3];
    for (int k = 0; k < 3; ++k) {
        n[k] = std::clamp<std::int64_t>(saturating_i64(std::floor(heights[k] / (cutoff / cells_per_cutoff))), 1, 64);
        reach[k] = saturating_i64(std::ceil(cutoff / (heights[k] / static_cast<double>(n[k]))));
    }
    CellList list;
    list.n_a = n[0], list.n_b = n[1], list.n_c = n[2];
    list.reach_a = reach[0], list.reach_b = reach[1], list.reach_c = reach[2];
    return list;
}

std::int64_t CellList::axis_cell(double w, std::int64_t n) {
    const double scaled = std::floor(w * static_cast<double>(n));
    if (!(scaled > 0.0)) return 0;
    return std::min(saturating_i64(scaled), n - 1);
}

CellList CellList::build(const Mat3& matrix, const std::vector<Vec3>& wrapped, double cutoff,
                         int cells_per_cutoff) {
    CellList list = shape(matrix, cutoff, cells_per_cutoff);
    list.head.assign(static_cast<std::size_t>(list.n_cells()), no_site);
    list.next.assign(wrapped.size(), no_site);
    for (std::size_t i = 0; i < wrapped.size(); ++i) {
        const auto cell = list.cell_index(axis_cell(wrapped[i][0], list.n_a),
                                          axis_cell(wrapped[i][1], list.n_b),
                                          axis_cell(wrapped[i][2], list.n_c));
        list.next[i] = list.head[static_cast<std::size_t>(cell)];
        list.head[static_cast<std::size_t>(cell)] = static_cast<std::uint32_t>(i);
    }
    return list;
}

}  // namespace kelvara
