// Hall symbols ("-P 2ybc", "F 4d 2 3 -1d", "P 31 2 (0 0 4)") read into symmetry operations.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/readers/symmetry.hpp"  // for SymmOp

namespace kelvara {

/// The operations of the group that a Hall symbol generates, closed under
/// multiplication modulo the lattice: translations reduced into [0, 1), the identity
/// first. Absent when the symbol cannot be read or its generators do not close into
/// a crystallographic space group. Lattice letters and matrix symbols are read in
/// either case; the first matrix symbol may stand against the lattice letter ("-P2ybc").
/// A change of basis may follow in brackets: an origin shift in twelfths "(0 0 4)" or
/// the new coordinates as an operation, "(z,x,y+1/4)" or "(1/2*x,y,-1/2*x+z)" (a larger
/// cell gains the centring translations that the old lattice puts into it).
std::optional<std::vector<SymmOp>> hall_operations(std::string_view hall);

}  // namespace kelvara
