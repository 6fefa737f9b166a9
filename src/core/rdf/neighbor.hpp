// CellList: the periodic cell grid with its sites grouped by cell and their wrapped
// coordinates.
#pragma once

#include <array>
#include <cmath>    // for std::floor
#include <cstdint>  // for std::uint32_t, std::int64_t
#include <vector>

#include "core/model/lattice.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

/// One fractional coordinate wrapped into [0, 1): w = f - floor(f), and 0 when rounding
/// of a tiny negative f gives exactly 1.
inline double wrapped_component(double f) {
    if (f > 0.0 && f < 1.0) return f;  // already inside: f - floor(f) is f itself
    const double w = f - std::floor(f);
    return w >= 1.0 ? 0.0 : w;
}

/// Heights of the cell perpendicular to b x c, c x a and a x b: V / |b x c|, ...
Vec3 cell_heights(const Mat3& matrix);

/// Periodic cell grid. Along each axis the cells are about cutoff / k wide for a k
/// of 1 to 4 (at most 64 cells, at least one; a cell thinner than the cutoff gets a
/// single cell), and scanning `reach` cells to each side finds every image within
/// the cutoff. The sites are grouped by cell, and a row of cells along c is one
/// contiguous range of positions.
struct CellList {
    /// Cells along a, b, c (1..64 each).
    std::int64_t n_a = 1, n_b = 1, n_c = 1;
    /// Cells scanned on each side of a centre's cell along a, b, c.
    std::int64_t reach_a = 1, reach_b = 1, reach_c = 1;
    /// Sites by position: cell by cell (cell = (i_a * n_b + i_b) * n_c + i_c), in site
    /// order within a cell.
    std::vector<std::uint32_t> site_at;
    /// Cell x holds positions cell_start[x] .. cell_start[x + 1]; n_cells + 1 values.
    std::vector<std::uint32_t> cell_start;
    /// Wrapped fractional coordinates by position.
    std::vector<double> wa, wb, wc;

    /// The grid for `sites` (fewer than 2^31 of them) in cell `matrix`, as fine along
    /// each axis as `grid_for` finds cheapest to scan.
    static CellList build(const Mat3& matrix, const std::vector<Site>& sites, double cutoff);
    /// Grid size and reach alone, cells about cutoff / k wide along each axis.
    static CellList shape(const Mat3& matrix, double cutoff, const std::array<int, 3>& k = {1, 1, 1});
    /// The k per axis (1..4 each) with the lowest estimated cost of a pass over
    /// n_sites sites: a finer grid scans a block that hugs the cutoff sphere more
    /// closely, but gathers its candidates for fewer centres at a time.
    static std::array<int, 3> grid_for(const Mat3& matrix, double cutoff, std::size_t n_sites);

    std::int64_t n_cells() const { return n_a * n_b * n_c; }
    /// Cells scanned along a, b, c: 2 reach + 1, as a float (a reach may be huge).
    double span_a() const { return 2.0 * static_cast<double>(reach_a) + 1.0; }
    double span_b() const { return 2.0 * static_cast<double>(reach_b) + 1.0; }
    double span_c() const { return 2.0 * static_cast<double>(reach_c) + 1.0; }
    /// Cell coordinate along an axis with n cells for a wrapped w: floor(w * n), within
    /// 0 .. n - 1 (w * n lies in [0, n], where truncation is the floor).
    static std::int64_t axis_cell(double w, std::int64_t n) {
        const double scaled = w * static_cast<double>(n);
        if (!(scaled > 0.0)) return 0;
        const auto cell = static_cast<std::int64_t>(scaled);
        return cell < n ? cell : n - 1;
    }
    std::int64_t cell_index(std::int64_t i_a, std::int64_t i_b, std::int64_t i_c) const {
        return (i_a * n_b + i_b) * n_c + i_c;
    }

    /// A cell coordinate wrapped into the grid, and the lattice translation it took.
    struct WrappedCell {
        std::int64_t cell;
        std::int64_t shift;
    };
    /// x = cell + shift * n with 0 <= cell < n.
    static WrappedCell wrap_cell(std::int64_t x, std::int64_t n) {
        // Nearly always within one cell row of the grid: no division.
        if (x >= 0 && x < n) return {x, 0};
        if (x < 0 && x >= -n) return {x + n, -1};
        if (x >= n && x < 2 * n) return {x - n, 1};
        std::int64_t shift = x >= 0 ? x / n : -((-x + n - 1) / n);
        return {x - shift * n, shift};
    }
};

}  // namespace kelvara
