// POSCAR and extended XYZ readers, and the species-name rule they share.
#pragma once

#include <string>
#include <string_view>

#include "core/readers/findings.hpp"
#include "core/util/result.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

/// Species name to element symbol: the first ASCII letter upper-cased, then the
/// second character if it is an ASCII lower-case letter ("fe", "Fe_pv", "Fe3" give
/// "Fe"; "FE" gives "F"). Text not starting with a letter is returned unchanged.
std::string clean_symbol(std::string_view text);

/// The finding for a species name whose one-letter symbol is followed by a character
/// that is not ASCII ("Sï", "Cä"): `clean_symbol` drops it, which makes the name an
/// element silently where a look-alike of "Si" was meant. Empty for every other name.
/// `place` says where ("on line 6", "in frame 0, the element line").
std::string dropped_letter_note(std::string_view written, std::string_view symbol,
                                std::string_view place);

/// One number by the decimal grammar, or "expected a number, found '{}'". No trimming.
Result<double> parse_f64(std::string_view token);

/// The value of an extended XYZ `Lattice="..."` field as the cell matrix (rows a, b,
/// c): exactly 9 finite numbers, else "Lattice=\"...\" must hold 9 numbers, found {n}"
/// or "Lattice=\"...\" holds a number that is not finite: '{}'".
Result<Mat3> lattice_numbers(std::string_view value);

/// A VASP POSCAR / CONTCAR (VASP 4 or 5 layout, optional selective dynamics, Direct or
/// Cartesian coordinates, a negative scale being the target volume). One site per atom.
Result<ReadStructure> parse_poscar(std::string_view text);

/// The first frame of an extended XYZ text; the cell comes from the `Lattice="..."`
/// field of the comment line. One site per atom, coordinates not wrapped.
Result<ReadStructure> parse_extxyz(std::string_view text);

}  // namespace kelvara
