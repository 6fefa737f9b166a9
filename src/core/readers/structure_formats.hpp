// The single-structure file formats by name, and reading text in one of them.
#pragma once

#include <string_view>

#include "core/readers/cif.hpp"  // for CifOptions
#include "core/readers/findings.hpp"
#include "core/util/result.hpp"

namespace kelvara {

enum class StructureFormat { cif, poscar, xyz };

/// Every name a format goes by (also the file-name suffixes that tell it), lower case.
struct StructureFormatName {
    std::string_view name;
    StructureFormat format;
};
inline constexpr StructureFormatName structure_format_names[] = {
    {"cif", StructureFormat::cif},       {"poscar", StructureFormat::poscar},
    {"contcar", StructureFormat::poscar}, {"vasp", StructureFormat::poscar},
    {"xyz", StructureFormat::xyz},       {"extxyz", StructureFormat::xyz},
    {"mcif", StructureFormat::cif},  // magnetic CIF: its operations and centerings are read
};

/// "cif", "poscar" or "xyz".
std::string_view canonical_name(StructureFormat format);

/// The format named `name` in any ASCII case, or "unknown format '{name in lower
/// case}'; kelvara reads cif, poscar and xyz".
Result<StructureFormat> structure_format_named(std::string_view name);

/// Reads `text` with the reader of `format` (`options` apply to CIF alone).
Result<ReadStructure> parse_structure(StructureFormat format, std::string_view text,
                                      const CifOptions& options);

}  // namespace kelvara
