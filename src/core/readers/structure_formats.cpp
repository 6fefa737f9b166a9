// The single-structure file formats by name, and reading text in one of them.
#include "core/readers/structure_formats.hpp"

#include <string>

#include "core/readers/formats.hpp"  // for parse_poscar, parse_extxyz
#include "core/util/text.hpp"     // for ascii_lower

namespace kelvara {

std::string_view canonical_name(StructureFormat format) {
    switch (format) {
        case StructureFormat::cif: return "cif";
        case StructureFormat::poscar: return "poscar";
        default: return "xyz";
    }
}

Result<StructureFormat> structure_format_named(std::string_view name) {
    const std::string lowered = ascii_lower(name);
    for (const StructureFormatName& entry : structure_format_names)
        if (entry.name == lowered) return entry.format;
    return fail("unknown format '" + lowered + "'; kelvara reads cif, poscar and xyz");
}

Result<ReadStructure> parse_structure(StructureFormat format, std::string_view text,
                                      const CifOptions& options) {
    switch (format) {
        case StructureFormat::cif: return parse_cif(text, options);
        case StructureFormat::poscar: return parse_poscar(text);
        default: return parse_extxyz(text);
    }
}

}  // namespace kelvara
