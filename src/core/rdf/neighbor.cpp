// CellList: the periodic cell grid with its sites grouped by cell.
#include "core/rdf/neighbor.hpp"

#include <algorithm>  // for std::clamp, std::max
#include <cmath>      // for std::floor, std::ceil, std::sqrt, std::fabs

#include "core/util/number.hpp"  // for saturating_i64

namespace kelvara {

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

namespace {
/// Cells and reach along one axis of height h for cells about cutoff / k wide.
void axis_shape(double height, double cutoff, int k, std::int64_t& n, std::int64_t& reach) {
    n = std::clamp<std::int64_t>(saturating_i64(std::floor(height / (cutoff / k))), 1, 64);
    const double cells = cutoff / (height / static_cast<double>(n));
    // Finer cells: one more cell wherever rounding could hide one.
    reach = saturating_i64(std::ceil(k == 1 ? cells : cells * (1.0 + 1e-9)));
}
}  // namespace

CellList CellList::shape(const Mat3& matrix, double cutoff, const std::array<int, 3>& k) {
    const Vec3 heights = cell_heights(matrix);
    CellList list;
    axis_shape(heights[0], cutoff, k[0], list.n_a, list.reach_a);
    axis_shape(heights[1], cutoff, k[1], list.n_b, list.reach_b);
    axis_shape(heights[2], cutoff, k[2], list.n_c, list.reach_c);
    return list;
}

std::array<int, 3> CellList::grid_for(const Mat3& matrix, double cutoff, std::size_t n_sites) {
    // Cost per centre, in units of one candidate distance: the candidates scanned,
    // plus gathering them (about 0.9 of a scan each) and collecting the runs of a
    // column (about 15) once per centre cell, shared by the centres in that cell.
    // Fitted to timings of dense and sparse, cubic and triclinic structures.
    // An axis's cells depend on its own k alone: each of the 12 is found once (on a
    // small cell, the 64 grids would otherwise cost more than the pass).
    const Vec3 heights = cell_heights(matrix);
    std::int64_t n[3][4], reach[3][4];
    double span[3][4];
    for (int x = 0; x < 3; ++x)
        for (int k = 1; k <= 4; ++k) {
            axis_shape(heights[x], cutoff, k, n[x][k - 1], reach[x][k - 1]);
            span[x][k - 1] = 2.0 * static_cast<double>(reach[x][k - 1]) + 1.0;
        }
    std::array<int, 3> best{1, 1, 1};
    double best_cost = 0.0;
    for (int ka = 1; ka <= 4; ++ka)
        for (int kb = 1; kb <= 4; ++kb)
            for (int kc = 1; kc <= 4; ++kc) {
                const std::int64_t n_cells = n[0][ka - 1] * n[1][kb - 1] * n[2][kc - 1];
                const double per_cell = static_cast<double>(n_sites) / static_cast<double>(n_cells);
                // In floats: a hopeless cutoff saturates the reach (it is refused later).
                const double columns = span[0][ka - 1] * span[1][kb - 1];
                const double candidates = columns * span[2][kc - 1] * per_cell;
                const double shared = std::max(1.0, per_cell);
                const double cost = candidates + 0.9 * candidates / shared + 15.0 * columns / shared;
                if (best_cost == 0.0 || cost < best_cost) best = {ka, kb, kc}, best_cost = cost;
            }
    return best;
}

CellList CellList::build(const Mat3& matrix, const std::vector<Site>& sites, double cutoff) {
    CellList list = shape(matrix, cutoff, grid_for(matrix, cutoff, sites.size()));
    const std::size_t n = sites.size(), n_cells = static_cast<std::size_t>(list.n_cells());
    // A counting sort by cell: count, take prefix sums, then place in site order.
    std::vector<std::uint32_t> cell_of(n);
    list.cell_start.assign(n_cells + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3& f = sites[i].frac;
        const auto cell = static_cast<std::uint32_t>(
            list.cell_index(axis_cell(wrapped_component(f[0]), list.n_a),
                            axis_cell(wrapped_component(f[1]), list.n_b),
                            axis_cell(wrapped_component(f[2]), list.n_c)));
        cell_of[i] = cell;
        ++list.cell_start[cell + 1];
    }
    for (std::size_t c = 0; c < n_cells; ++c) list.cell_start[c + 1] += list.cell_start[c];
    list.site_at.resize(n);
    list.wa.resize(n), list.wb.resize(n), list.wc.resize(n);
    // Read the sites in order and write each to its position: the writes scatter, but
    // nothing waits on a scattered read.
    std::vector<std::uint32_t> next(list.cell_start.begin(), list.cell_start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t p = next[cell_of[i]]++;
        const Vec3& f = sites[i].frac;
        list.site_at[p] = static_cast<std::uint32_t>(i);
        list.wa[p] = wrapped_component(f[0]), list.wb[p] = wrapped_component(f[1]),
        list.wc[p] = wrapped_component(f[2]);
    }
    return list;
}

}  // namespace kelvara
