// CellList: the periodic cell grid, wrapped coordinates and the flattened species table.
#pragma once

#include <cstdint>  // for std::uint32_t, std::int64_t
#include <string>
#include <vector>

#include "core/lattice.hpp"
#include "core/structure.hpp"

namespace kelvara {

/// Marks an empty cell in `head` and the end of a chain in `next`.
inline constexpr std::uint32_t no_site = 0xFFFFFFFFu;

/// Fractional coordinates folded into [0, 1): w = f - floor(f), and 0 when rounding
/// of a tiny negative f gives exactly 1.
Vec3 wrapped_frac(const Vec3& frac);
std::vector<Vec3> wrapped_coords(const Structure& structure);

/// Every (site, species) entry flattened into three plain lists, so the pair loop
/// looks species up by index and never compares element texts.
struct SpeciesTable {
    /// Site i owns entries species_offsets[i] .. species_offsets[i + 1]; n_sites + 1 values.
    std::vector<std::uint32_t> species_offsets;
    /// Index of the entry's element in the element list.
    std::vector<std::uint32_t> species_element;
    /// Occupancy of the entry.
    std::vector<double> species_occupancy;

    /// Built in site order and each site's species order; `elements` must hold every
    /// element text of the structure (as `Structure::elements` does).
    static SpeciesTable build(const Structure& structure, const std::vector<std::string>& elements);
};

/// Heights of the cell perpendicular to b x c, c x a and a x b: V / |b x c|, ...
Vec3 cell_heights(const Mat3& matrix);

/// Periodic cell grid. Cells are at least one cutoff wide along each axis unless the
/// cell itself is thinner, so scanning `reach` cells to each side finds every image
/// within the cutoff.
struct CellList {
    /// Cells along a, b, c (1..64 each).
    std::int64_t n_a = 1, n_b = 1, n_c = 1;
    /// Cells scanned on each side of a centre's cell along a, b, c.
    std::int64_t reach_a = 1, reach_b = 1, reach_c = 1;
    /// First site of each cell's chain (cell = (i_a * n_b + i_b) * n_c + i_c), or no_site.
    std::vector<std::uint32_t> head;
    /// Next site in the same cell's chain, or no_site; chains run in descending site order.
    std::vector<std::uint32_t> next;

    /// The grid for `wrapped` positions (fewer than 2^31 of them) in cell `matrix`.
    /// With `cells_per_cutoff` = k > 1 the cells are about cutoff / k wide (same cap of
    /// 64 per axis, reach about k): the scanned block then hugs the cutoff sphere
    /// more closely, and the offered (site, translation) pairs still include every
    /// image within the cutoff, each once.
    static CellList build(const Mat3& matrix, const std::vector<Vec3>& wrapped, double cutoff,
                          int cells_per_cutoff = 1);

    /// Grid size and reach alone, without placing any site.
    static CellList shape(const Mat3& matrix, double cutoff, int cells_per_cutoff = 1);

    std::int64_t n_cells() const { return n_a * n_b * n_c; }
    /// Cell coordinate along an axis with n cells: floor(w * n), within 0 .. n - 1.
    static std::int64_t axis_cell(double w, std::int64_t n);
    std::int64_t cell_index(std::int64_t i_a, std::int64_t i_b, std::int64_t i_c) const {
        return (i_a * n_b + i_b) * n_c + i_c;
    }

    /// Calls visit(j, s_a, s_b, s_c) for every site j of every cell within the reach of
    /// the cell holding `centre` (a wrapped position), with the lattice translation that
    /// brings that cell next to the centre's. Each (j, translation) comes at most once.
    template <class Visit>
    void for_each_neighbor(const Vec3& centre, Visit&& visit) const {
        const std::int64_t c_a = axis_cell(centre[0], n_a), c_b = axis_cell(centre[1], n_b),
                           c_c = axis_cell(centre[2], n_c);
        for (std::int64_t d_a = -reach_a; d_a <= reach_a; ++d_a) {
            const auto [x_a, s_a] = fold(c_a + d_a, n_a);
            for (std::int64_t d_b = -reach_b; d_b <= reach_b; ++d_b) {
                const auto [x_b, s_b] = fold(c_b + d_b, n_b);
                for (std::int64_t d_c = -reach_c; d_c <= reach_c; ++d_c) {
                    const auto [x_c, s_c] = fold(c_c + d_c, n_c);
                    for (std::uint32_t j = head[cell_index(x_a, x_b, x_c)]; !(j & 0x80000000u);
                         j = next[j])
                        visit(j, s_a, s_b, s_c);
                }
            }
        }
    }

    struct Folded {
        std::int64_t cell;
        std::int64_t shift;
    };
    /// x = cell + shift * n with 0 <= cell < n.
    static Folded fold(std::int64_t x, std::int64_t n) {
        std::int64_t shift = x >= 0 ? x / n : -((-x + n - 1) / n);
        return {x - shift * n, shift};
    }
};

}  // namespace kelvara
