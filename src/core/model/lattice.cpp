// Lattice: the periodic cell, its inverse, volume and coordinate transforms.
#include "core/model/lattice.hpp"

#include <cmath>  // for std::isfinite, std::fabs

namespace kelvara {

namespace {
/// Determinant by cofactor expansion along the first row.
double determinant_of(const Mat3& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}
}  // namespace

Result<Lattice> Lattice::new_(const Mat3& m) {
    const double det = determinant_of(m);
    // A NaN or infinite determinant would give a non-finite inverse and silently
    // poison every coordinate derived from it, so it counts as singular too.
    if (!std::isfinite(det) || 1e-12 > std::fabs(det))
        return fail("cell matrix is singular (zero volume)");
    const double r = 1.0 / det;
    Lattice lattice;
    lattice.matrix = m;
    Mat3& inv = lattice.inverse;
    inv[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) * r;
    inv[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * r;
    inv[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * r;
    inv[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) * r;
    inv[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * r;
    inv[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * r;
    inv[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) * r;
    inv[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * r;
    inv[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * r;
    for (const Vec3& row : inv)
        for (double x : row)
            if (!std::isfinite(x)) return fail("cell matrix is singular (zero volume)");
    return lattice;
}

double Lattice::determinant() const { return determinant_of(matrix); }

double Lattice::volume() const { return std::fabs(determinant()); }

Vec3 Lattice::to_cartesian(const Vec3& f) const {
    Vec3 cart;
    for (int j = 0; j < 3; ++j)
        cart[j] = (f[0] * matrix[0][j] + f[1] * matrix[1][j]) + f[2] * matrix[2][j];
    return cart;
}

Vec3 Lattice::to_fractional(const Vec3& c) const {
    Vec3 frac;
    for (int j = 0; j < 3; ++j)
        frac[j] = (c[0] * inverse[0][j] + c[1] * inverse[1][j]) + c[2] * inverse[2][j];
    return frac;
}

}  // namespace kelvara
