// Supercells as integer combinations of the parent's lattice vectors: the most
// compact one of a given size, and the copy of a structure into it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/model/structure.hpp"
#include "core/util/result.hpp"

namespace kelvara {

using IVec3 = std::array<std::int64_t, 3>;
using IMat3 = std::array<IVec3, 3>;

/// A supercell of `copies` parent cells. Its lattice vectors are the rows of
/// `matrix` times the parent's rows (row r = sum_k matrix[r][k] * parent row k).
struct SupercellShape {
    /// The supercell's rows as integer combinations of the parent's, reduced to short,
    /// nearly orthogonal vectors (right-handed: positive determinant).
    IMat3 matrix{};
    /// The same lattice in lower-triangular Hermite normal form: rows (a, 0, 0),
    /// (b, c, 0), (d, e, f) with 0 <= b, d < a and 0 <= e < c. Its diagonal numbers the
    /// parent lattice points inside the supercell.
    IMat3 hnf{};
    std::uint64_t copies = 1;
    /// Perpendicular heights of the reduced cell, shortest and longest, in Angstrom.
    double shortest_height = 0.0, longest_height = 0.0;

    double height_ratio() const { return longest_height > 0.0 ? shortest_height / longest_height : 0.0; }
    /// Whether `matrix` is diagonal (an na x nb x nc repetition).
    bool diagonal() const;
    /// The repetitions along a, b, c of a diagonal cell; else the diagonal of `hnf`
    /// (their product is the number of cells either way).
    std::array<std::uint64_t, 3> scale() const;
};

/// The supercell of `copies` parent cells (copies >= 1) whose reduced cell has the
/// longest shortest height, among every integer combination of the parent's lattice
/// vectors; on ties (within 1e-9 relative) the one with the larger height ratio, then
/// the first in a fixed enumeration order. The first cell whose shortest height is
/// within 2% of the cube root of its volume (no cell does better) ends the search.
/// Above `max_combined_copies` cells, the na x nb x nc repetition with the longest
/// shortest height. Stops with `interrupted_message` when the caller's cancel token asks.
Result<SupercellShape> compact_supercell(const Mat3& parent, std::uint64_t copies);
inline constexpr std::uint64_t max_combined_copies = 20000;

/// The shape of an na x nb x nc repetition.
SupercellShape diagonal_supercell(const Mat3& parent, std::uint64_t na, std::uint64_t nb,
                                  std::uint64_t nc);

/// Index (0 .. copies - 1) of the parent lattice point t inside the supercell: t reduced
/// by the supercell's lattice to x < a, y < c, z < f, numbered (x * c + y) * f + z.
std::uint64_t lattice_point_index(const IMat3& hnf, IVec3 t);
/// The lattice point of index `index` (the inverse of `lattice_point_index`).
IVec3 lattice_point(const IMat3& hnf, std::uint64_t index);

/// Perpendicular heights of a cell: V / |b x c|, V / |c x a|, V / |a x b|.
Vec3 perpendicular_heights(const Mat3& matrix);

/// The rows of `shape.matrix` times the parent's rows.
Mat3 supercell_matrix(const Mat3& parent, const IMat3& matrix);

/// The parent copied into the supercell: copy p of parent site s is site p * n + s
/// (lattice points outermost, in `lattice_point` order), at (frac_s + t_p) in the
/// supercell's coordinates, wrapped into [0, 1).
Result<Structure> build_supercell(const Structure& parent, const SupercellShape& shape);

}  // namespace kelvara
