// CIF reader: line tokenizer, data blocks of tags and loops, structure assembly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/findings.hpp"
#include "core/result.hpp"
#include "core/structure.hpp"

namespace kelvara {

/// One "loop_" table.
struct CifLoop {
    /// Lower-cased tag names, in header order.
    std::vector<std::string> names;
    /// Rows of exactly `names.size()` value texts each.
    std::vector<std::vector<std::string>> rows;
};

/// Everything a CIF text holds that the reader uses. All data blocks of a text land
/// in the same Block: later tags replace earlier ones, loops are listed in text order.
struct Block {
    /// Lower-cased tag name (with its "_") -> value text.
    std::unordered_map<std::string, std::string> tags;
    std::vector<CifLoop> loops;
    /// The names of the "data_" blocks, in text order ("data_NaCl" gives "NaCl").
    std::vector<std::string> block_names;
};

/// How `parse_cif` reads: the merging tolerance in fractional units.
struct CifOptions {
    double symprec = 1e-4;
};

/// The value tokens of one line: quotes (' or ") group, "#" at a token start begins
/// a comment, an unterminated quote runs to the end of the line.
std::vector<std::string> tokenize(std::string_view line);

/// A CIF numeric value ("5.4307(2)", "'0.5'"), or nothing for "?", "." and non-numbers.
std::optional<double> parse_cif_number(std::string_view text);

/// Reads the whole text into one Block. Never fails: unknown lines are skipped.
Block read_block(std::string_view text);

/// The element symbol a type symbol or site label begins with ("Fe3+" -> "Fe",
/// "fe" -> "Fe", "FE" -> "F"), or nothing when it does not begin with an ASCII letter.
std::optional<std::string> element_from_label(std::string_view text);

/// CIF text to a Structure: cell, symmetry operations, atom sites expanded by every
/// operation and merged when all three periodic axis distances are below `symprec`.
/// What the reader passed over or assumed comes back as warnings beside it.
Result<ReadStructure> parse_cif(std::string_view text, const CifOptions& options);

}  // namespace kelvara
