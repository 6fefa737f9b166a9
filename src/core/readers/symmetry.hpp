// SymmOp and the parser of the coordinate-triplet notation ("-x+1/2, y, z+3/4").
#pragma once

#include <string_view>

#include "core/model/lattice.hpp"  // for Mat3, Vec3
#include "core/util/result.hpp"

namespace kelvara {

/// One symmetry operation on fractional coordinates:
/// f'[i] = rotation[i][0]*f[0] + rotation[i][1]*f[1] + rotation[i][2]*f[2] + translation[i].
struct SymmOp {
    /// Row i holds the coefficients of x, y, z in the i-th component of the triplet.
    Mat3 rotation{};
    /// Sum of the constant terms of each component, as written (not reduced into [0, 1)).
    Vec3 translation{};

    /// The identity operation.
    static SymmOp identity();
    /// The image of `frac` (not wrapped).
    Vec3 apply(const Vec3& frac) const;
};

/// One number, optionally a fraction "a/b": "bad number '{}'" or
/// "division by zero in '{}'", the placeholder being the trimmed text.
Result<double> parse_number(std::string_view text);

/// One operation such as "'-x+1/2, y, z+3/4'"; the first failure is the message.
Result<SymmOp> parse_symmop(std::string_view text);

}  // namespace kelvara
