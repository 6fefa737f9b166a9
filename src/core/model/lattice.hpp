// Lattice: the periodic cell, its inverse, volume and coordinate transforms.
#pragma once

#include <array>

#include "core/util/result.hpp"

namespace kelvara {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;

/// The periodic cell. Row 0 is lattice vector a, row 1 is b, row 2 is c (Cartesian
/// x, y, z in Angstrom). Row-vector convention: cart = f0*a + f1*b + f2*c.
struct Lattice {
    /// Rows a, b, c, exactly as given to `new_`.
    Mat3 matrix{};
    /// Inverse of `matrix`, so that matrix x inverse = identity; set only by `new_`.
    Mat3 inverse{};

    /// Builds the cell; fails with "cell matrix is singular (zero volume)" when
    /// |det| < 1e-12 or when the determinant or inverse is not a finite number.
    static Result<Lattice> new_(const Mat3& matrix);

    /// Determinant of `matrix` by cofactor expansion along the first row.
    double determinant() const;
    /// |det(matrix)|, in cubic Angstrom.
    double volume() const;
    /// cart = (f0*a + f1*b) + f2*c.
    Vec3 to_cartesian(const Vec3& frac) const;
    /// f_j = (cart_0*inverse[0][j] + cart_1*inverse[1][j]) + cart_2*inverse[2][j].
    Vec3 to_fractional(const Vec3& cart) const;
};

}  // namespace kelvara
