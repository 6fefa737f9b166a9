// Supercells as integer combinations of the parent's lattice vectors: the most
// compact one of a given size, and the copy of a structure into it.
#include "core/expand/supercell.hpp"

#include <algorithm>  // for std::min, std::max
#include <cmath>      // for std::sqrt, std::round, std::fabs, std::floor

#include "core/util/cancel.hpp"
#include "core/util/memory.hpp"

namespace kelvara {

namespace {

Vec3 combine(const Mat3& parent, const IVec3& row) {
    Vec3 v{};
    for (int k = 0; k < 3; ++k)
        for (int x = 0; x < 3; ++x) v[x] += static_cast<double>(row[k]) * parent[k][x];
    return v;
}

double dot(const Vec3& a, const Vec3& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

std::int64_t det(const IMat3& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

/// Floor division for a positive divisor.
std::int64_t floor_div(std::int64_t x, std::int64_t n) { return x >= 0 ? x / n : -((-x + n - 1) / n); }

/// Shortens the rows of `m` against each other (v_i -= k v_j with k the rounded
/// projection) until no row gets shorter: short, nearly orthogonal vectors.
void reduce(const Mat3& parent, IMat3& m) {
    for (int sweep = 0; sweep < 64; ++sweep) {
        bool changed = false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                if (i == j) continue;
                const Vec3 vi = combine(parent, m[i]), vj = combine(parent, m[j]);
                const double k = std::round(dot(vi, vj) / dot(vj, vj));
                if (k == 0.0) continue;
                IVec3 candidate = m[i];
                for (int x = 0; x < 3; ++x) candidate[x] -= static_cast<std::int64_t>(k) * m[j][x];
                const Vec3 vc = combine(parent, candidate);
                if (dot(vc, vc) < dot(vi, vi) * (1.0 - 1e-12)) {
                    m[i] = candidate;
                    changed = true;
                }
            }
        if (!changed) break;
    }
    // Shortest first, right-handed.
    std::sort(m.begin(), m.end(), [&](const IVec3& a, const IVec3& b) {
        const Vec3 va = combine(parent, a), vb = combine(parent, b);
        return dot(va, va) < dot(vb, vb);
    });
    const double handed = dot(cross(combine(parent, m[0]), combine(parent, m[1])), combine(parent, m[2]));
    const double parent_handed = dot(cross(parent[0], parent[1]), parent[2]);
    if ((handed < 0.0) != (parent_handed < 0.0))
        for (auto& x : m[2]) x = -x;
}

void set_heights(const Mat3& parent, SupercellShape& shape) {
    const Vec3 h = perpendicular_heights(supercell_matrix(parent, shape.matrix));
    shape.shortest_height = std::min({h[0], h[1], h[2]});
    shape.longest_height = std::max({h[0], h[1], h[2]});
}

}  // namespace

bool SupercellShape::diagonal() const {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (r != c && matrix[r][c] != 0) return false;
    return true;
}

std::array<std::uint64_t, 3> SupercellShape::scale() const {
    const IMat3& m = diagonal() ? matrix : hnf;
    return {static_cast<std::uint64_t>(m[0][0]), static_cast<std::uint64_t>(m[1][1]), static_cast<std::uint64_t>(m[2][2])};
}

Vec3 perpendicular_heights(const Mat3& m) {
    const double volume = std::fabs(dot(cross(m[0], m[1]), m[2]));
    const Vec3 bc = cross(m[1], m[2]), ca = cross(m[2], m[0]), ab = cross(m[0], m[1]);
    return {volume / std::sqrt(dot(bc, bc)), volume / std::sqrt(dot(ca, ca)), volume / std::sqrt(dot(ab, ab))};
}

Mat3 supercell_matrix(const Mat3& parent, const IMat3& matrix) {
    return {combine(parent, matrix[0]), combine(parent, matrix[1]), combine(parent, matrix[2])};
}

SupercellShape diagonal_supercell(const Mat3& parent, std::uint64_t na, std::uint64_t nb, std::uint64_t nc) {
    SupercellShape shape;
    const auto a = static_cast<std::int64_t>(na), b = static_cast<std::int64_t>(nb),
               c = static_cast<std::int64_t>(nc);
    shape.matrix = {IVec3{a, 0, 0}, IVec3{0, b, 0}, IVec3{0, 0, c}};
    shape.hnf = shape.matrix;
    shape.copies = na * nb * nc;
    set_heights(parent, shape);
    return shape;
}

/// The na x nb x nc repetition of `copies` cells with the longest shortest height.
SupercellShape best_repetition(const Mat3& parent, std::uint64_t copies) {
    SupercellShape best = diagonal_supercell(parent, 1, 1, copies);
    for (std::uint64_t na = 1; na <= copies; ++na) {
        if (copies % na != 0) continue;
        for (std::uint64_t nb = 1; nb <= copies / na; ++nb) {
            if ((copies / na) % nb != 0) continue;
            const SupercellShape shape = diagonal_supercell(parent, na, nb, copies / na / nb);
            if (shape.shortest_height > best.shortest_height * (1.0 + 1e-9)) best = shape;
        }
    }
    return best;
}

Result<SupercellShape> compact_supercell(const Mat3& parent, std::uint64_t copies) {
    // Beyond this many cells the search below takes seconds to minutes, and a
    // repetition of the cell is about as compact as a combination.
    if (copies > max_combined_copies) return best_repetition(parent, copies);
    const auto n = static_cast<std::int64_t>(copies);
    const double length_a = std::sqrt(dot(parent[0], parent[0]));
    const double cube_edge =
        std::cbrt(std::fabs(dot(cross(parent[0], parent[1]), parent[2])) * static_cast<double>(copies));
    // The shortest height of a reduced cell is at most the lattice's shortest vector,
    // so a candidate with any lattice vector shorter than the best height so far
    // cannot win: (a, 0, 0) is checked once per a, the shortest vector of the plane of
    // rows 1 and 2 once per (a, b, c), the vectors out of that plane before the
    // candidate is reduced.
    SupercellShape best;
    bool have = false;
    const auto too_short = [&](const Vec3& v) { return have && std::sqrt(dot(v, v)) < best.shortest_height; };
    std::uint64_t visited = 0;
    for (std::int64_t a = 1; a <= n; ++a) {
        if (n % a != 0 || (have && static_cast<double>(a) * length_a < best.shortest_height)) continue;
        const Vec3 h1 = combine(parent, IVec3{a, 0, 0});
        for (std::int64_t c = 1; c <= n / a; ++c) {
            if ((n / a) % c != 0) continue;
            const std::int64_t f = n / a / c;
            for (std::int64_t b = 0; b < a; ++b) {
                // The plane of rows 1 and 2, Gauss-reduced: u, v its shortest vectors.
                Vec3 u = h1, v = combine(parent, IVec3{b, c, 0});
                for (int step = 0; step < 256; ++step) {
                    if (dot(v, v) < dot(u, u)) std::swap(u, v);
                    const double k = std::round(dot(u, v) / dot(u, u));
                    if (k == 0.0) break;
                    for (int x = 0; x < 3; ++x) v[x] -= k * u[x];
                }
                if (too_short(u)) continue;
                const double uu = dot(u, u), uv = dot(u, v), vv = dot(v, v), det2 = uu * vv - uv * uv;
                for (std::int64_t d = 0; d < a; ++d)
                    for (std::int64_t e = 0; e < c; ++e) {
                        if ((++visited & 0xFFFF) == 0 && cancel_point()) return fail(interrupted_message);
                        const IMat3 hnf{IVec3{a, 0, 0}, IVec3{b, c, 0}, IVec3{d, e, f}};
                        // Multiples of row 3 less the nearest points of that plane's
                        // lattice: every lattice vector is one of these, and the k-th
                        // lies at least k heights of row 3 off the plane.
                        const Vec3 w = combine(parent, hnf[2]);
                        const Vec3 normal = cross(u, v);
                        const double off_plane = std::fabs(dot(w, normal)) / std::sqrt(dot(normal, normal));
                        bool short_vector = false;
                        for (double k = 1.0; have && !short_vector && k * off_plane < best.shortest_height; k += 1.0) {
                            const double pu = k * dot(w, u), pv = k * dot(w, v);
                            const double su = std::floor((pu * vv - pv * uv) / det2),
                                         sv = std::floor((pv * uu - pu * uv) / det2);
                            for (int i = 0; i < 2 && !short_vector; ++i)
                                for (int j = 0; j < 2 && !short_vector; ++j) {
                                    Vec3 r{};
                                    for (int x = 0; x < 3; ++x) r[x] = k * w[x] - (su + i) * u[x] - (sv + j) * v[x];
                                    short_vector = too_short(r);
                                }
                        }
                        if (short_vector) continue;
                        SupercellShape shape;
                        shape.hnf = hnf;
                        shape.matrix = hnf;
                        shape.copies = copies;
                        reduce(parent, shape.matrix);
                        set_heights(parent, shape);
                        const double tie = 1e-9 * std::max(shape.shortest_height, best.shortest_height);
                        const bool better =
                            !have || shape.shortest_height > best.shortest_height + tie ||
                            (shape.shortest_height >= best.shortest_height - tie &&
                             shape.height_ratio() > best.height_ratio() + 1e-9);
                        if (better) {
                            best = shape;
                            have = true;
                            // No cell's shortest height exceeds the cube root of its
                            // volume (a cube's): within 2% of that, look no further.
                            if (best.shortest_height >= 0.98 * cube_edge) return best;
                        }
                    }
            }
        }
    }
    return best;
}

std::uint64_t lattice_point_index(const IMat3& hnf, IVec3 t) {
    const std::int64_t q3 = floor_div(t[2], hnf[2][2]);
    for (int x = 0; x < 3; ++x) t[x] -= q3 * hnf[2][x];
    const std::int64_t q2 = floor_div(t[1], hnf[1][1]);
    for (int x = 0; x < 2; ++x) t[x] -= q2 * hnf[1][x];
    t[0] -= floor_div(t[0], hnf[0][0]) * hnf[0][0];
    return static_cast<std::uint64_t>((t[0] * hnf[1][1] + t[1]) * hnf[2][2] + t[2]);
}

IVec3 lattice_point(const IMat3& hnf, std::uint64_t index) {
    const auto i = static_cast<std::int64_t>(index);
    const std::int64_t f = hnf[2][2], c = hnf[1][1];
    return {i / (c * f), (i / f) % c, i % f};
}

Result<Structure> build_supercell(const Structure& parent, const SupercellShape& shape) {
    const std::size_t n = parent.sites.size();
    std::uint64_t species_entries = 0;
    for (const Site& site : parent.sites) species_entries += site.species.size();
    if (!fits_in_memory(shape.copies, n * sizeof(Site) + species_entries * sizeof(Species)))
        return fail("a supercell of " + std::to_string(shape.copies) + " cells would hold " +
                    std::to_string(shape.copies * n) + " sites, more than fit in this machine's memory");
    auto lattice = Lattice::new_(supercell_matrix(parent.lattice.matrix, shape.matrix));
    if (!lattice) return fail(lattice.error());
    // Fractional coordinates in the supercell: x * matrix^-1 = x * adj(matrix) / det, with
    // the adjugate in whole numbers so that lattice points land exactly.
    const IMat3& m = shape.matrix;
    const double volume = static_cast<double>(det(m));
    double adj[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            adj[r][c] = static_cast<double>(m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]);
        }
    std::vector<Site> sites;
    sites.reserve(shape.copies * n);
    for (std::uint64_t p = 0; p < shape.copies; ++p) {
        if ((p & 0xFFF) == 0xFFF && cancel_point()) return fail(interrupted_message);
        const IVec3 t = lattice_point(shape.hnf, p);
        for (const Site& site : parent.sites) {
            Site copy = site;
            const double x[3] = {site.frac[0] + static_cast<double>(t[0]), site.frac[1] + static_cast<double>(t[1]),
                                 site.frac[2] + static_cast<double>(t[2])};
            for (int c = 0; c < 3; ++c) {
                const double f = ((x[0] * adj[0][c] + x[1] * adj[1][c]) + x[2] * adj[2][c]) / volume;
                double w = f - std::floor(f);
                if (w >= 1.0) w = 0.0;
                copy.frac[c] = w;
            }
            sites.push_back(std::move(copy));
        }
    }
    return Structure::new_(*lattice, std::move(sites));
}

}  // namespace kelvara
