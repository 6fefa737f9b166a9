// CIF structure assembly: block choice, cell, symmetry operations, atom sites, structure.
#include "core/readers/cif.hpp"

#include <cmath>  // for std::sin, std::cos, std::sqrt, std::isfinite, std::fabs
#include <cstdint>
#include <vector>

#include "core/model/elements.hpp"      // for is_element
#include "core/readers/cif_sites.hpp"     // for cif_sites
#include "core/readers/cif_symmetry.hpp"  // for cif_operations, is_operation_tag
#include "core/readers/cif_syntax.hpp"
#include "core/util/text.hpp"  // for trim, quoted, ascii_lower, strip_char

namespace kelvara {

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

}  // namespace

std::optional<std::string> element_from_label(std::string_view text) {
    const std::string_view t = trim(text);
    if (t.empty()) return std::nullopt;
    const char first = upper(t[0]);
    if (!is_upper(first)) return std::nullopt;
    std::string symbol(1, first);
    if (t.size() > 1 && t[1] >= 'a' && t[1] <= 'z') symbol += t[1];
    return symbol;
}

std::optional<std::string> element_from_species(std::string_view text) {
    const std::string_view t = trim(text);
    if (t.size() >= 2 && is_upper(t[0]) && is_upper(t[1])) {
        const std::string title{t[0], static_cast<char>(t[1] - 'A' + 'a')};
        if (is_element(title)) return title;
    }
    return element_from_label(t);
}

namespace {

constexpr double kDegree = 0.017453292519943295;
constexpr double kHalfPi = 1.5707963267948966;

// ---- block ---------------------------------------------------------------------

std::string block_list(const std::vector<const Block*>& blocks) {
    std::string out;
    for (const Block* block : blocks) out += (out.empty() ? "" : ", ") + quoted(block->name);
    return out;
}

const CifLoop* atom_loop(const Block& block) { return block.loop_with({"_atom_site_fract_x"}); }

Result<const Block*> choose_block(const CifDocument& doc, const CifOptions& options,
                                  Warnings& warnings) {
    if (doc.blocks.empty()) return fail("no _atom_site loop with fractional coordinates found");
    const std::size_t n = doc.blocks.size();
    if (options.block_index) {
        if (*options.block_index >= n)
            return fail("block index " + std::to_string(*options.block_index) +
                        " is out of range: the file holds " + std::to_string(n) + " data block" +
                        (n == 1 ? "" : "s"));
        return &doc.blocks[*options.block_index];
    }
    if (options.block_name) {
        const std::string wanted = ascii_lower(*options.block_name);
        std::vector<const Block*> all;
        for (const Block& block : doc.blocks) {
            if (ascii_lower(block.name) == wanted) return &block;
            all.push_back(&block);
        }
        return fail("no data block named " + quoted(*options.block_name) + "; the file holds " +
                    block_list(all));
    }
    const Block* chosen = nullptr;
    std::vector<const Block*> passed_over;  // other blocks that hold atom sites
    for (const Block& block : doc.blocks) {
        if (!atom_loop(block)) continue;
        if (!chosen) chosen = &block;
        else passed_over.push_back(&block);
    }
    if (!chosen) return &doc.blocks.front();
    if (!passed_over.empty())
        warnings.push_back("the file holds " + std::to_string(n) + " data blocks; block " +
                           quoted(chosen->name) + " is read, the first with atom sites, and " +
                           block_list(passed_over) +
                           (passed_over.size() == 1 ? " is" : " are") +
                           " passed over (choose one with block=)");
    return chosen;
}

// ---- cell ----------------------------------------------------------------------

/// A cell tag's number: absent is nothing; "?", ".", a tag in place of the value and
/// words are refused, naming the tag as the block writes it.
Result<std::optional<double>> cell_value(const Block& block, const char* name) {
    const CifValue* value = block.tag(name);
    if (!value) return std::optional<double>();
    const std::string written = block.written(name);
    if (value->missing)
        return fail(std::string(value->name) + " has no value: line " + std::to_string(value->line) +
                    " holds the tag " + shown_value(value->text, value->line));
    const std::string_view t = strip_char(strip_char(trim(value->text), '\''), '"');
    if (t == "?" || t == "." || t.empty()) return fail(written + " has no value (" + quoted(t) + ")");
    const auto number = parse_cif_number(value->text);
    if (!number) return fail(written + " is not a number: " + shown_value(value->text, value->line));
    if (!std::isfinite(*number)) return fail(written + " is not a finite number: " + quoted(value->text));
    return number;
}

Result<Lattice> read_cell(const Block& block, Warnings& warnings) {
    static const char* const length_tags[3] = {"_cell_length_a", "_cell_length_b",
                                               "_cell_length_c"};
    static const char* const angle_tags[3] = {"_cell_angle_alpha", "_cell_angle_beta",
                                              "_cell_angle_gamma"};
    double lengths[3];
    for (int i = 0; i < 3; ++i) {
        auto value = cell_value(block, length_tags[i]);
        if (!value) return fail(value.error());
        if (!*value) return fail("missing " + block.written(length_tags[i]));
        lengths[i] = **value;
    }
    std::optional<double> angles[3];
    std::string absent;
    for (int i = 0; i < 3; ++i) {
        auto value = cell_value(block, angle_tags[i]);
        if (!value) return fail(value.error());
        angles[i] = *value;
        if (!angles[i]) absent += (absent.empty() ? "" : ", ") + block.written(angle_tags[i]);
    }
    if (!absent.empty())
        warnings.push_back(absent + (absent.find(',') == std::string::npos ? " is" : " are") +
                           " not given; 90 degrees is assumed");
    const double a = lengths[0], b = lengths[1], c = lengths[2];
    if (!(a > 0.0) || !(b > 0.0) || !(c > 0.0)) return fail("cell lengths must be positive");

    const double gamma = angles[2] ? *angles[2] * kDegree : kHalfPi;
    const double sin_gamma = std::sin(gamma), cos_gamma = std::cos(gamma);
    if (std::fabs(sin_gamma) < 1e-12) return fail("gamma must not be 0 or 180 degrees");
    const double cos_beta = std::cos(angles[1] ? *angles[1] * kDegree : kHalfPi);
    const double cos_alpha = std::cos(angles[0] ? *angles[0] * kDegree : kHalfPi);

    const double cx = c * cos_beta;
    const double cy = c * (cos_alpha - cos_beta * cos_gamma) / sin_gamma;
    const double w = c * c - cx * cx - cy * cy;
    // Lengths near the top of the float range square to infinity; say so rather
    // than calling the angles inconsistent.
    if (!std::isfinite(c * c) || !std::isfinite(cx * cx) || !std::isfinite(cy * cy) ||
        !std::isfinite(b * sin_gamma) || !std::isfinite(b * cos_gamma))
        return fail("cell lengths are too large to build a cell");
    if (!(w > 0.0)) return fail("cell angles are geometrically inconsistent");
    const double cz = std::sqrt(w);
    // Every entry is finite now: their squares are, and w > 0 is.
    const Mat3 matrix{{{a, 0.0, 0.0}, {b * cos_gamma, b * sin_gamma, 0.0}, {cx, cy, cz}}};
    return Lattice::new_(matrix);
}

/// A loop the structure is read from (atom sites, their displacements, symmetry
/// operations) whose last values do not fill a row: the row is dropped, and said.
void report_short_row(const Block& block, const CifLoop& loop, Warnings& warnings) {
    if (!loop.short_row_values) return;
    bool used = false;
    for (const std::string& name : loop.names)
        used |= name.starts_with("_atom_site") || is_operation_tag(name);
    if (!used) return;
    const std::size_t n = loop.short_row_values;
    warnings.push_back("the loop of " + quoted(block.written(loop.names.front())) + " ends with a row of " +
                       std::to_string(n) + (n == 1 ? " value" : " values") + " on line " +
                       std::to_string(loop.short_row_line) + " where its " +
                       std::to_string(loop.names.size()) +
                       " tags need as many; the row is dropped (is the file cut short or a "
                       "value missing?)");
}

}  // namespace

Result<ReadStructure> parse_cif(std::string_view text, const CifOptions& options) {
    const CifDocument doc = read_cif_document(text);
    Warnings warnings;
    auto chosen = choose_block(doc, options, warnings);
    if (!chosen) return fail(chosen.error());
    const Block& block = **chosen;
    auto lattice = read_cell(block, warnings);
    if (!lattice) return fail(lattice.error());
    const std::vector<SymmOp> ops = cif_operations(block, *lattice, warnings);
    for (const CifLoop& loop : block.loops) report_short_row(block, loop, warnings);
    auto sites = cif_sites(block, ops, *lattice, options.symprec, warnings);
    if (!sites) return fail(sites.error());
    auto structure = Structure::new_(std::move(*lattice), std::move(*sites));
    if (!structure) return fail(structure.error());
    return ReadStructure{std::move(*structure), std::move(warnings)};
}

}  // namespace kelvara
