// CIF structure assembly: a CIF text read into a Structure, with what was assumed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/readers/findings.hpp"
#include "core/util/result.hpp"
#include "core/model/structure.hpp"

namespace kelvara {

/// The element symbol a site label begins with ("Fe3+" -> "Fe", "fe" -> "Fe", "FE1"
/// -> "F"), or nothing when it does not begin with an ASCII letter.
std::optional<std::string> element_from_label(std::string_view text);

/// The element a species field names: as `element_from_label`, except that a name
/// in capitals whose first two letters are an element in title case is that element
/// ("SR" -> "Sr", "CL1-" -> "Cl", "CO" -> "Co").
std::optional<std::string> element_from_species(std::string_view text);

/// How `parse_cif` reads: the merging tolerance in fractional units and the block.
struct CifOptions {
    double symprec = 1e-4;
    /// A block chosen by name (case-insensitive) ...
    std::optional<std::string> block_name;
    /// ... or by 0-based index; neither: the first block with atom sites.
    std::optional<std::uint64_t> block_index;
};

/// CIF text to a Structure: cell, symmetry operations, atom sites expanded by every
/// operation and merged. What the reader passed over or assumed comes back as
/// warnings beside it.
Result<ReadStructure> parse_cif(std::string_view text, const CifOptions& options);

}  // namespace kelvara
