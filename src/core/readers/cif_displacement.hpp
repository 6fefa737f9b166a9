// Isotropic displacement parameters of CIF atom sites: Uiso, Biso, or Ueq of anisotropic U/B.
#pragma once

#include <vector>

#include "core/readers/cif_syntax.hpp"
#include "core/readers/findings.hpp"  // for Warnings
#include "core/model/lattice.hpp"

namespace kelvara {

/// One Uiso (A^2) per row of the atom-site loop `atoms`, NaN where the file gives
/// none. In order of preference: "_atom_site_U_iso_or_equiv", "_atom_site_B_iso_or_equiv"
/// (U = B / 8 pi^2), then the row's entry in the anisotropic loop, found by label
/// ("_atom_site_aniso_label" = "_atom_site_label"), reduced to its isotropic equivalent
/// Ueq = 1/3 sum_ij U^ij a*_i a*_j (a_i . a_j). Negative, non-finite and unreadable
/// values count as not given, and each such Uiso or Biso value adds a warning.
std::vector<double> site_displacements(const Block& block, const CifLoop& atoms, const Lattice& lattice,
                                       Warnings& warnings);

}  // namespace kelvara
