// CIF syntax: the text read into data blocks of tags and loops, and CIF numbers.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kelvara {

/// One value of a tag, and the 1-based line it stands on. A tag is never a value: a tag
/// followed by another tag (or by "loop_" or "data_") has none, and `text` is then what
/// stands in its place, on `line`.
struct CifValue {
    std::string_view text;
    std::uint32_t line = 0;
    bool missing = false;
    /// The tag's name as written.
    std::string_view name;
};

/// One "loop_" table. Values are views into the CIF text (or into the owning
/// document's storage, for text fields), row-major, `names.size()` per row.
struct CifLoop {
    /// Lower-cased tag names, in header order.
    std::vector<std::string> names;
    std::vector<std::string_view> values;
    /// The 1-based line on which each row begins.
    std::vector<std::uint32_t> row_lines;
    /// Values left at the end that do not fill a row (a truncated file, a value
    /// missing), dropped from `values`, and the line their row begins on.
    std::size_t short_row_values = 0;
    std::uint32_t short_row_line = 0;

    std::size_t n_rows() const { return row_lines.size(); }
    std::span<const std::string_view> row(std::size_t r) const {
        return {values.data() + r * names.size(), names.size()};
    }
    /// The column of `name`, if the loop has it.
    std::optional<std::size_t> column(std::string_view name) const;
};

/// One data block: "data_NAME" and everything up to the next "data_" line.
struct Block {
    /// The text after "data_" (empty for tags written before any "data_" line).
    std::string name;
    /// Lower-cased tag name (with its "_") -> value. A later tag replaces an earlier one.
    /// Names in the dotted form ("_cell.length_a") are kept under the underscore form
    /// they alias ("_cell_length_a").
    std::unordered_map<std::string, CifValue> tags;
    std::vector<CifLoop> loops;
    /// Whether the block writes its names in the dotted form.
    bool dotted = false;

    const CifValue* tag(std::string_view lowered_name) const;
    /// The first loop having any of `names`, or null.
    const CifLoop* loop_with(std::initializer_list<std::string_view> names) const;
    /// `name` (underscore form) as this block writes names: "_cell_length_a", or
    /// "_cell.length_a" in a block of dotted names.
    std::string written(std::string_view name) const;
};

/// A whole CIF text as blocks. Views into the text stay valid as long as the text;
/// text-field values live in `storage`.
struct CifDocument {
    std::vector<Block> blocks;
    std::deque<std::string> storage;
};

/// A CIF numeric value ("5.4307(2)", "'0.5'"), or nothing for "?", "." and non-numbers.
std::optional<double> parse_cif_number(std::string_view text);

/// A value as messages quote it; bytes that are not UTF-8 are named with their line.
std::string shown_value(std::string_view value, std::uint32_t line);

/// Reads the whole text into blocks. Never fails: unknown lines are skipped. Bytes
/// that are not UTF-8 are kept as they are.
CifDocument read_cif_document(std::string_view text);

/// One block of a CIF as `kelvara info` lists it.
struct CifBlockSummary {
    std::string name;
    std::uint64_t atom_site_rows = 0;
};

/// The blocks of a CIF text, in order.
std::vector<CifBlockSummary> cif_blocks(std::string_view text);

}  // namespace kelvara
