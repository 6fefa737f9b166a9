// Symmetry operations of a CIF block: the listed operations, else those of the named group.
#pragma once

#include <string_view>
#include <vector>

#include "core/model/lattice.hpp"
#include "core/readers/cif_syntax.hpp"
#include "core/readers/findings.hpp"  // for Warnings
#include "core/readers/symmetry.hpp"  // for SymmOp

namespace kelvara {

/// Whether `name` is a column of operations that `cif_operations` reads.
bool is_operation_tag(std::string_view name);

/// The operations the block lists ("x,y,z" rows); without a readable list, those of the
/// space group its name tags give; without either, the identity alone. What was assumed
/// goes into `warnings`.
std::vector<SymmOp> cif_operations(const Block& block, const Lattice& lattice, Warnings& warnings);

}  // namespace kelvara
