// Atom sites of a CIF block: rows read, expanded by the symmetry operations, merged into sites.
#pragma once

#include <vector>

#include "core/model/structure.hpp"
#include "core/readers/cif_syntax.hpp"
#include "core/readers/findings.hpp"  // for Warnings
#include "core/readers/symmetry.hpp"  // for SymmOp
#include "core/util/result.hpp"

namespace kelvara {

/// The sites of the block's atom-site loop: every readable row placed by every
/// operation, images closer than `symprec` (or than the precision a row's coordinates
/// are written with) merged, rows of one label read as one atom and distinct labels
/// added up. A site fuller than 1 is refused naming its rows; what was assumed or
/// passed over goes into `warnings`.
Result<std::vector<Site>> cif_sites(const Block& block, const std::vector<SymmOp>& ops,
                                    const Lattice& lattice, double symprec, Warnings& warnings);

}  // namespace kelvara
