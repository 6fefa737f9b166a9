// CIF structure assembly: block choice, cell, symmetry, atom sites, merged sites.
#include "core/readers/cif.hpp"

#include <algorithm>  // for std::max, std::min
#include <array>
#include <cmath>      // for std::floor, std::sin, std::cos, std::sqrt, std::isfinite
#include <cstdint>
#include <functional>  // for std::hash
#include <utility>  // for std::swap

#include "core/readers/cif_displacement.hpp"  // for site_displacements
#include "core/model/elements.hpp"          // for is_element
#include "core/util/memory.hpp"            // for fits_in_memory, available_memory_bytes
#include "core/util/number.hpp"            // for parse_decimal, format_fixed, format_general
#include "core/readers/site_merge.hpp"        // for SiteMerger, axis_distance, close_partial_sites
#include "core/readers/spacegroup.hpp"        // for operations_from_names
#include "core/readers/symmetry.hpp"          // for parse_symmop
#include "core/util/text.hpp"              // for trim, quoted, ascii_lower, is_valid_utf8

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

/// Peak memory of one expanded site while a CIF is read (the site, its species and
/// the merging tables): 106-114 bytes measured at 1 to 16 million sites.
constexpr std::uint64_t kBytesPerExpandedSite = 115;

constexpr double kDegree = 0.017453292519943295;
constexpr double kHalfPi = 1.5707963267948966;

/// A value as messages quote it; bytes that are not UTF-8 are named with their line.
std::string shown(std::string_view value, std::uint32_t line) {
    if (is_valid_utf8(value)) return quoted(value);
    return quoted(value) + " (line " + std::to_string(line) + " holds bytes that are not UTF-8)";
}

/// std::floor's value, without a library call for the values coordinates take.
inline double exact_floor(double x) {
    if (!(std::fabs(x) < 4503599627370496.0)) return std::floor(x);  // 2^52: integral already, or NaN
    const double t = static_cast<double>(static_cast<std::int64_t>(x));  // truncated toward zero
    return t > x ? t - 1.0 : t;
}

/// A number that may be written as a fraction ("1/2", "-1/3"), as coordinates and
/// occupancies sometimes are.
std::optional<double> parse_cif_fraction(std::string_view text) {
    if (auto value = parse_cif_number(text)) return value;
    const std::string_view t = strip_char(strip_char(trim(text), '\''), '"');
    const std::size_t slash = t.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto top = parse_decimal(trim(t.substr(0, slash)));
    const auto bottom = parse_decimal(trim(t.substr(slash + 1)));
    if (!top || !bottom || *bottom == 0.0) return std::nullopt;
    return *top / *bottom;
}

/// Half a unit in the last written decimal of a coordinate ("0.333" -> 0.0005), or 0
/// when the value is exact as written: an integer, a fraction, an exponent form, or
/// a multiple of 1/24 (0.5, 0.25, 0.125, ...), which special positions are.
double written_uncertainty(std::string_view text, double value) {
    std::string_view t = strip_char(strip_char(trim(text), '\''), '"');
    t = t.substr(0, t.find('('));
    std::size_t point = std::string_view::npos;
    for (std::size_t i = 0; i < t.size(); ++i) {  // one pass: the point, and no '/', 'e', 'E'
        const char c = t[i];
        if (c == '.' && point == std::string_view::npos) point = i;
        else if (c == '/' || c == 'e' || c == 'E') return 0.0;
    }
    if (point == std::string_view::npos) return 0.0;
    const double twentyfourths = value * 24.0;
    if (std::fabs(twentyfourths - exact_floor(twentyfourths + 0.5)) < 1e-9) return 0.0;
    // 0.5 divided by ten once per decimal, from a table of those same quotients.
    static constexpr auto units = [] {
        std::array<double, 32> table{};
        table[0] = 0.5;
        for (std::size_t k = 1; k < table.size(); ++k) table[k] = table[k - 1] / 10.0;
        return table;
    }();
    std::size_t decimals = 0;
    for (std::size_t i = point + 1; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) ++decimals;
    if (decimals < units.size()) return units[decimals];
    double unit = units.back();
    for (std::size_t k = units.size() - 1; k < decimals; ++k) unit /= 10.0;
    return unit;
}

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

/// A cell tag's number: absent is nothing; "?", "." and words are refused.
Result<std::optional<double>> cell_value(const Block& block, const char* name) {
    const CifValue* value = block.tag(name);
    if (!value) return std::optional<double>();
    const std::string_view t = strip_char(strip_char(trim(value->text), '\''), '"');
    if (t == "?" || t == "." || t.empty())
        return fail(std::string(name) + " has no value (" + quoted(t) + ")");
    const auto number = parse_cif_number(value->text);
    if (!number) return fail(std::string(name) + " is not a number: " + shown(value->text, value->line));
    if (!std::isfinite(*number))
        return fail(std::string(name) + " is not a finite number: " + quoted(value->text));
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
        if (!*value) return fail(std::string("missing ") + length_tags[i]);
        lengths[i] = **value;
    }
    std::optional<double> angles[3];
    std::string absent;
    for (int i = 0; i < 3; ++i) {
        auto value = cell_value(block, angle_tags[i]);
        if (!value) return fail(value.error());
        angles[i] = *value;
        if (!angles[i]) absent += (absent.empty() ? "" : ", ") + std::string(angle_tags[i]);
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

// ---- symmetry ------------------------------------------------------------------

/// The value of the first of `names` that the block holds, or an empty text.
std::string_view space_group_tag(const Block& block, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (const CifValue* value = block.tag(name)) return value->text;
    return {};
}

/// The group named by the space-group tags; absent when no tag holds a value.
std::optional<NamedGroup> named_group(const Block& block, const Lattice& lattice) {
    SpaceGroupNames names;
    names.hall = space_group_tag(block, {"_space_group_name_hall", "_symmetry_space_group_name_hall",
                                   "_space_group.name_hall", "_symmetry.space_group_name_hall"});
    names.hm = space_group_tag(block, {"_space_group_name_h-m_alt", "_symmetry_space_group_name_h-m",
                                 "_space_group.name_h-m_alt", "_symmetry.space_group_name_h-m",
                                 "_space_group_name_h-m_full", "_space_group.name_h-m_full"});
    names.number = space_group_tag(block, {"_space_group_it_number", "_symmetry_int_tables_number",
                                     "_space_group.it_number", "_symmetry.int_tables_number"});
    names.rhombohedral_cell = is_rhombohedral_cell(lattice.matrix);
    return operations_from_names(names);
}

/// The operations of the named group, its warnings added to `warnings`.
std::vector<SymmOp> take_named(NamedGroup&& named, Warnings& warnings) {
    for (std::string& warning : named.warnings) warnings.push_back(std::move(warning));
    return std::move(named.operations);
}

constexpr std::string_view kOperationTags[3] = {"_symmetry_equiv_pos_as_xyz",
                                                "_space_group_symop_operation_xyz",
                                                "_space_group_symop.operation_xyz"};

std::vector<SymmOp> read_symmetry(const Block& block, const Lattice& lattice, Warnings& warnings) {
    std::vector<SymmOp> ops;
    const CifLoop* loop = block.loop_with({kOperationTags[0], kOperationTags[1], kOperationTags[2]});
    std::vector<std::string> unreadable;
    std::size_t listed = 0;
    if (loop) {
        std::size_t column = 0;
        for (std::size_t i = 0; i < loop->names.size(); ++i)
            if (loop->names[i] == kOperationTags[0] || loop->names[i] == kOperationTags[1] ||
                loop->names[i] == kOperationTags[2]) {
                column = i;
                break;
            }
        for (std::size_t r = 0; r < loop->n_rows(); ++r) {
            const std::string_view value = trim(loop->row(r)[column]);
            if (value.empty()) continue;
            ++listed;
            auto op = parse_symmop(value);
            if (!op) {
                // "1 x,y,z": an id written before the operation.
                const std::size_t space = value.find(' ');
                if (space != std::string_view::npos) op = parse_symmop(value.substr(space + 1));
            }
            if (op)
                ops.push_back(*op);
            else
                unreadable.push_back(shown(value, loop->row_lines[r]));
        }
    }
    // A listed operation always wins over the names.
    if (listed == 0) {
        auto named = named_group(block, lattice);
        return named ? take_named(std::move(*named), warnings) : std::vector{SymmOp::identity()};
    }
    if (ops.empty()) {
        // Nothing listed can be read: the group's name, when it has one that is known.
        const std::string none = "none of the " + std::to_string(listed) +
                                 " symmetry operations can be read, so ";
        if (auto named = named_group(block, lattice); named && named->recognised) {
            warnings.push_back(none + "the operations of the named space group are used");
            return take_named(std::move(*named), warnings);
        }
        warnings.push_back(none + "the file is read as P 1");
        ops.push_back(SymmOp::identity());
    } else {
        for (const std::string& op : unreadable)
            warnings.push_back("symmetry operation " + op + " cannot be read and is ignored");
    }
    return ops;
}

// ---- atom sites ----------------------------------------------------------------

/// Columns of the atom-site loop.
struct AtomColumns {
    std::size_t x = 0, y = 0, z = 0;
    std::optional<std::size_t> occupancy, type, label;
};

/// What the rows of the loop have shown so far that the user must hear about once.
struct RowFindings {
    NotElementNotes symbols_not_elements;            // each reported once
    std::vector<std::string> label_ambiguities;      // "CA" read as C, each once
    std::vector<std::string> special_rows;           // rows on special positions to precision
    double special_distance = 0.0;                   // largest gap of their images, Angstrom
};

/// Findings about the element a type symbol or label gives: a capitalised label that
/// could name another element, or a symbol that is not an element.
void check_element(const std::string& place, bool from_label, std::string_view written,
                   std::uint32_t line, const std::string& symbol, RowFindings& seen,
                   Warnings& warnings) {
    auto first_time = [](std::vector<std::string>& list, const std::string& key) {
        for (const std::string& k : list)
            if (k == key) return false;
        list.push_back(key);
        return true;
    };
    const char* source = from_label ? "label" : "type symbol";
    if (from_label) {
        const std::string_view t = trim(written);
        if (t.size() > 1 && is_upper(upper(t[0])) && is_upper(t[1])) {
            const std::string title{upper(t[0]), static_cast<char>(t[1] - 'A' + 'a')};
            if (is_element(title) && title != symbol && first_time(seen.label_ambiguities, title)) {
                warnings.push_back(place + ": label " + shown(written, line) + " reads as " + symbol +
                                   "; give a type symbol " + quoted(title) +
                                   " if that element is meant");
                return;
            }
        }
    }
    if (!is_element(symbol))
        seen.symbols_not_elements.note(symbol, [&] {
            return place + ": " + source + " " + shown(written, line) + " reads as " + quoted(symbol) +
                   ", which is not a chemical element";
        }, warnings);
}

/// The images of one row that are one atom: within `tolerance` on every axis of an
/// earlier image of the row. A row with many images (a symmetry loop of thousands of
/// operations) files them under a periodic grid of cells at least `tolerance` wide, so
/// each test looks at 27 cells instead of every kept image; the answer is the same
/// (the earliest kept image that coincides).
class RowImages {
public:
    void clear() {
        for (std::uint32_t slot : used_) head_[slot] = kNone;
        used_.clear();
        kept_.clear();
        next_.clear();
        grid_ = 0;
    }
    /// Whether `image` (coordinates in [0, 1]) is new; when it coincides with a kept
    /// image, `nearest` gets that image. `n_images` is how many images the row has.
    bool is_new(const Vec3& image, double tolerance, std::size_t n_images, Vec3& nearest) {
        const std::uint32_t found = grid_ ? find_in_grid(image, tolerance) : find_by_scan(image, tolerance);
        if (found != kNone) {
            nearest = kept_[found];
            return false;
        }
        kept_.push_back(image);
        if (grid_) file(static_cast<std::uint32_t>(kept_.size() - 1));
        else if (kept_.size() == kScanLimit) start_grid(tolerance, n_images);
        return true;
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    static constexpr std::size_t kScanLimit = 64;  // a real space group has at most 192 images

    static bool coincide(const Vec3& a, const Vec3& b, double tolerance) {
        return axis_distance(a[0], b[0]) < tolerance && axis_distance(a[1], b[1]) < tolerance &&
               axis_distance(a[2], b[2]) < tolerance;
    }
    std::uint32_t find_by_scan(const Vec3& image, double tolerance) const {
        for (std::size_t k = 0; k < kept_.size(); ++k)
            if (coincide(kept_[k], image, tolerance)) return static_cast<std::uint32_t>(k);
        return kNone;
    }
    std::int64_t cell(double f) const {
        const auto c = static_cast<std::int64_t>(f * static_cast<double>(grid_));
        return c < 0 ? 0 : (c >= grid_ ? grid_ - 1 : c);
    }
    std::uint32_t slot(std::int64_t i, std::int64_t j, std::int64_t k) const {
        const auto wrap = [this](std::int64_t c) {
            return static_cast<std::uint64_t>((c % grid_ + grid_) % grid_);
        };
        const std::uint64_t g = static_cast<std::uint64_t>(grid_);
        const std::uint64_t key = (wrap(i) * g + wrap(j)) * g + wrap(k);
        return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }
    void start_grid(double tolerance, std::size_t n_images) {
        // Cells of width 1/grid >= tolerance: images that coincide lie in neighbouring
        // cells (periodically). With fewer than three cells per axis every cell is a
        // neighbour, and the scan is as good.
        const double per_axis = std::floor(1.0 / tolerance);
        if (!(per_axis >= 3.0)) return;
        grid_ = per_axis > 1048576.0 ? 1048576 : static_cast<std::int64_t>(per_axis);
        unsigned bits = 10;
        while (bits < 30 && (std::size_t{1} << bits) < 2 * n_images) ++bits;
        if (bits != bits_ || head_.empty()) {
            bits_ = bits;
            head_.assign(std::size_t{1} << bits_, kNone);
        }
        for (std::uint32_t k = 0; k < kept_.size(); ++k) file(k);
    }
    void file(std::uint32_t index) {
        const Vec3& f = kept_[index];
        const std::uint32_t s = slot(cell(f[0]), cell(f[1]), cell(f[2]));
        if (head_[s] == kNone) used_.push_back(s);
        next_.resize(kept_.size(), kNone);
        next_[index] = head_[s];
        head_[s] = index;
    }
    std::uint32_t find_in_grid(const Vec3& image, double tolerance) const {
        // Chains may hold images of other cells that share a slot: each is tested, and
        // the earliest that coincides wins, as in the scan.
        std::uint32_t best = kNone;
        const std::int64_t ci = cell(image[0]), cj = cell(image[1]), ck = cell(image[2]);
        for (std::int64_t di = -1; di <= 1; ++di)
            for (std::int64_t dj = -1; dj <= 1; ++dj)
                for (std::int64_t dk = -1; dk <= 1; ++dk)
                    for (std::uint32_t k = head_[slot(ci + di, cj + dj, ck + dk)]; k != kNone; k = next_[k])
                        if (k < best && coincide(kept_[k], image, tolerance)) best = k;
        return best;
    }

    std::vector<Vec3> kept_;
    std::int64_t grid_ = 0;  // cells per axis once the grid is in use, else 0
    unsigned bits_ = 0;
    std::vector<std::uint32_t> head_;  // per table slot: the newest kept image filed there
    std::vector<std::uint32_t> next_;  // per kept image: the previous one in its slot
    std::vector<std::uint32_t> used_;  // slots to empty for the next row
};

double periodic_distance(const Lattice& lattice, const Vec3& a, const Vec3& b) {
    Vec3 d;
    for (int i = 0; i < 3; ++i) {
        d[i] = a[i] - b[i];
        d[i] -= std::round(d[i]);
    }
    const Vec3 cart = lattice.to_cartesian(d);
    return std::sqrt(cart[0] * cart[0] + cart[1] * cart[1] + cart[2] * cart[2]);
}

std::string position_text(const Vec3& frac) {
    return "(" + format_fixed(frac[0], 4) + ", " + format_fixed(frac[1], 4) + ", " +
           format_fixed(frac[2], 4) + ")";
}

/// "atom site 'O1'", "atom sites 'H1A', 'H1B'", "atom sites in rows 3, 4".
std::string sites_named(const CifLoop& atoms, const AtomColumns& col,
                        const std::vector<std::uint32_t>& rows) {
    std::vector<std::string> names;
    for (std::uint32_t r : rows) {
        std::string name = col.label ? shown(atoms.row(r)[*col.label], atoms.row_lines[r])
                                     : std::to_string(r + 1);
        bool seen = false;
        for (const std::string& n : names) seen |= n == name;
        if (!seen) names.push_back(std::move(name));
    }
    std::string out = names.size() == 1 ? "atom site " : "atom sites ";
    if (!col.label) out += names.size() == 1 ? "in row " : "in rows ";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + names[i];
    return out;
}

/// A loop the structure is read from (atom sites, their displacements, symmetry
/// operations) whose last values do not fill a row: the row is dropped, and said.
void report_short_row(const CifLoop& loop, Warnings& warnings) {
    if (!loop.short_row_values) return;
    bool used = false;
    for (const std::string& name : loop.names)
        used |= name.starts_with("_atom_site") || name == kOperationTags[0] ||
                name == kOperationTags[1] || name == kOperationTags[2];
    if (!used) return;
    const std::size_t n = loop.short_row_values;
    warnings.push_back("the loop of " + quoted(loop.names.front()) + " ends with a row of " +
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
    const double symprec = options.symprec;

    auto lattice = read_cell(block, warnings);
    if (!lattice) return fail(lattice.error());
    const std::vector<SymmOp> ops = read_symmetry(block, *lattice, warnings);

    const CifLoop* atoms = atom_loop(block);
    if (!atoms) return fail("no _atom_site loop with fractional coordinates found");
    AtomColumns col;
    col.x = *atoms->column("_atom_site_fract_x");
    const auto col_y = atoms->column("_atom_site_fract_y");
    if (!col_y) return fail("missing _atom_site_fract_y");
    const auto col_z = atoms->column("_atom_site_fract_z");
    if (!col_z) return fail("missing _atom_site_fract_z");
    col.y = *col_y;
    col.z = *col_z;
    col.occupancy = atoms->column("_atom_site_occupancy");
    col.type = atoms->column("_atom_site_type_symbol");
    col.label = atoms->column("_atom_site_label");
    const std::size_t n_rows = atoms->n_rows();
    if (n_rows == 0) return fail("CIF contains no usable atom sites");
    const std::uint64_t n_ops = ops.size();
    if (n_rows > UINT32_MAX / n_ops || !fits_in_memory(n_rows * n_ops, kBytesPerExpandedSite)) {
        // Refused before anything is expanded: every row times every operation is one
        // site until merging, at the measured cost of a site read.
        const double gib = static_cast<double>(n_rows) * static_cast<double>(n_ops) *
                           static_cast<double>(kBytesPerExpandedSite) / 1073741824.0;
        return fail("the CIF expands " + std::to_string(n_rows) + " atom-site rows by " +
                    std::to_string(n_ops) + " symmetry operations to up to " +
                    std::to_string(n_rows * n_ops) + " sites, which need about " + format_general(gib, 3) + " GiB, more than the " +
                    format_general(static_cast<double>(available_memory_bytes()) / 1073741824.0, 3) +
                    " GiB this machine has available" +
                    (n_ops > 192 ? "; no space group has more than 192 operations, so check the "
                                   "file's symmetry loop"
                                 : "; free memory or read the structure on a larger machine"));
    }
    // Every image is placed and merged (about 1 to 3 us each): beyond this a read takes
    // minutes. The largest real files (frameworks of 11,000 rows in groups of 192
    // operations) stay near two million.
    constexpr std::uint64_t max_images = 50'000'000;
    if (n_rows * n_ops > max_images)
        return fail("the CIF expands " + std::to_string(n_rows) + " atom-site rows by " +
                    std::to_string(n_ops) + " symmetry operations to " + std::to_string(n_rows * n_ops) +
                    " images, more than the " + std::to_string(max_images) +
                    " one read places (minutes of work)" +
                    (n_ops > 192 ? "; no space group has more than 192 operations, so check the "
                                   "file's symmetry loop"
                                 : "; write the structure with fewer symmetry-equivalent rows"));

    // Rows with the same label are one atom written twice; distinct labels, distinct atoms.
    std::vector<std::uint32_t> keys(n_rows);
    if (col.label) {
        // An open-addressing table of first rows by label: no allocation per row.
        std::size_t size = 16;
        while (size < 2 * n_rows) size *= 2;
        std::vector<std::uint32_t> first_row(size, UINT32_MAX);
        const std::hash<std::string_view> hash;
        for (std::uint32_t r = 0; r < n_rows; ++r) {
            const std::string_view label = trim(atoms->row(r)[*col.label]);
            std::size_t slot = hash(label) & (size - 1);
            while (first_row[slot] != UINT32_MAX &&
                   trim(atoms->row(first_row[slot])[*col.label]) != label)
                slot = (slot + 1) & (size - 1);
            if (first_row[slot] == UINT32_MAX) first_row[slot] = r;
            keys[r] = first_row[slot];
        }
    } else {
        for (std::uint32_t r = 0; r < n_rows; ++r) keys[r] = r;
    }

    for (const CifLoop& loop : block.loops) report_short_row(loop, warnings);
    const std::vector<double> uiso = site_displacements(block, *atoms, *lattice, warnings);
    SiteMerger merger(symprec, n_rows * n_ops);
    RowFindings findings;
    RowImages images;
    bool any_image = false;
    std::string element;
    for (std::uint32_t r = 0; r < n_rows; ++r) {
        const auto row = atoms->row(r);
        const std::uint32_t line = atoms->row_lines[r];
        auto place = [&]() {
            return col.label ? "atom site " + shown(row[*col.label], line)
                             : "atom site in row " + std::to_string(r + 1);
        };
        const std::string_view coord_text[3] = {row[col.x], row[col.y], row[col.z]};
        Vec3 frac;
        bool readable = true;
        for (int axis = 0; axis < 3 && readable; ++axis) {
            const auto value = parse_cif_fraction(coord_text[axis]);
            if (!value) {
                warnings.push_back(place() + " has the coordinate " +
                                   shown(trim(coord_text[axis]), line) + " and is dropped");
                readable = false;
            } else if (!std::isfinite(*value)) {
                return fail(place() + " has a coordinate that is not a finite number: " +
                            quoted(coord_text[axis]));
            } else {
                frac[axis] = *value;
            }
        }
        if (!readable) continue;

        bool from_label = false;
        std::optional<std::string> symbol;
        std::string_view written;
        if (col.type) {
            written = row[*col.type];
            symbol = element_from_species(written);
        }
        if (!symbol && col.label) {
            from_label = true;
            written = row[*col.label];
            symbol = element_from_label(written);
        }
        if (!symbol) {
            std::string message = "could not determine the element of an atom site";
            if (!is_valid_utf8(written))
                message += " (line " + std::to_string(line) + " holds bytes that are not UTF-8)";
            return fail(message);
        }
        element = std::move(*symbol);

        double occupancy = 1.0;
        if (col.occupancy) {
            const std::string_view t = trim(row[*col.occupancy]);
            if (t != "?" && t != ".") {
                const auto written_occupancy = parse_cif_fraction(t);
                if (written_occupancy && !std::isfinite(*written_occupancy))
                    return fail(place() + " has an occupancy that is not a finite number: " +
                                quoted(row[*col.occupancy]));
                if (!written_occupancy)
                    return fail(place() + " has an occupancy that is not a number: " +
                                shown(t, line));
                occupancy = *written_occupancy;
            }
        }
        if (!(occupancy > 0.0)) {
            const std::string_view value = row[*col.occupancy];
            warnings.push_back(place() + " has occupancy " +
                               (is_valid_utf8(value) ? excerpt(value) : shown(value, line)) +
                               " and is dropped");
            continue;
        }
        if (from_label || !is_element(element))
            check_element(place(), from_label, written, line, element, findings, warnings);

        // Images of this row closer than the precision its coordinates are written
        // with are one atom (0.333 for 1/3 on a three-fold axis).
        double uncertainty = 0.0;
        for (int axis = 0; axis < 3; ++axis)
            uncertainty = std::max(uncertainty, written_uncertainty(coord_text[axis], frac[axis]));
        const double tolerance =
            symprec > 0.0 ? std::max(symprec, std::min(3.5 * uncertainty, 0.02)) : 0.0;
        images.clear();
        bool special = false;
        for (std::size_t k = 0; k < ops.size(); ++k) {
            Vec3 image = ops[k].apply(frac);
            for (double& f : image) {
                if (!std::isfinite(f))
                    return fail("symmetry operation " + std::to_string(k + 1) + " moves " +
                                place() + " to a position that is not finite");
                f = f - exact_floor(f);
            }
            Vec3 nearest;
            if (tolerance > symprec && !images.is_new(image, tolerance, ops.size(), nearest)) {
                if (!(axis_distance(nearest[0], image[0]) < symprec &&
                      axis_distance(nearest[1], image[1]) < symprec &&
                      axis_distance(nearest[2], image[2]) < symprec)) {
                    special = true;
                    findings.special_distance =
                        std::max(findings.special_distance, periodic_distance(*lattice, nearest, image));
                }
                continue;
            }
            merger.add(r, keys[r], element, occupancy, image, uiso[r]);
            any_image = true;
        }
        if (special) findings.special_rows.push_back(place());
    }
    if (!any_image) return fail("CIF contains no usable atom sites");

    if (!findings.special_rows.empty()) {
        const std::size_t n = findings.special_rows.size();
        std::string named;
        for (std::size_t i = 0; i < n && i < 3; ++i) named += (i ? ", " : "") + findings.special_rows[i];
        if (n > 3) named += " and " + std::to_string(n - 3) + " more";
        warnings.push_back(named + (n == 1 ? " lies" : " lie") +
                           " on a special position only to the precision of its written "
                           "coordinates: symmetry images up to " +
                           format_fixed(findings.special_distance, 3) +
                           " A apart are read as one atom");
    }

    // Distinct atoms sharing a position add up; more than a full site is refused.
    const std::vector<Site>& sites = merger.sites();
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const double sum = sites[i].occupancy_sum();
        if (sum > 1.001) {
            const std::vector<std::uint32_t> rows = merger.rows_of(i);
            const std::string named = sites_named(*atoms, col, rows);
            const bool several = named.starts_with("atom sites");
            return fail(named + " at " + position_text(sites[i].frac) +
                        (several ? " have occupancies summing to " : " has occupancies summing to ") +
                        format_fixed(sum, 4) + ", which exceeds 1");
        }
    }

    const std::vector<ClosePair> close = close_partial_sites(sites, *lattice, 0.5);
    if (!close.empty()) {
        // A pair of rows and its symmetry images are one finding: each pair of rows is
        // named once, at its shortest distance (the pairs come closest first).
        struct RowPair {
            std::uint32_t a, b;
            double distance;
        };
        std::vector<RowPair> pairs;
        for (const ClosePair& pair : close) {
            std::uint32_t a = keys[merger.rows_of(pair.first).front()];
            std::uint32_t b = keys[merger.rows_of(pair.second).front()];
            if (a > b) std::swap(a, b);
            bool seen = false;
            for (const RowPair& p : pairs) seen |= p.a == a && p.b == b;
            if (!seen) pairs.push_back({a, b, pair.distance});
        }
        auto label_of = [&](std::uint32_t r) {
            return col.label ? shown(atoms->row(r)[*col.label], atoms->row_lines[r])
                             : "row " + std::to_string(r + 1);
        };
        std::string named;
        for (std::size_t i = 0; i < pairs.size() && i < 3; ++i) {
            const std::string a = label_of(pairs[i].a);
            named += (i ? ", " : "") + a +
                     (pairs[i].a == pairs[i].b ? " and an image of it" : " and " + label_of(pairs[i].b)) +
                     " (" + format_fixed(pairs[i].distance, 3) + " A)";
        }
        if (pairs.size() > 3) named += " and " + std::to_string(pairs.size() - 3) + " more pairs";
        warnings.push_back("partially occupied sites stand closer than 0.5 A, so they are "
                           "alternative positions never filled at once: " + named +
                           "; the RDF still counts pairs between them, weighted by the "
                           "occupancies");
    }
    auto structure = Structure::new_(std::move(*lattice), merger.take());
    if (!structure) return fail(structure.error());
    return ReadStructure{std::move(*structure), std::move(warnings)};
}

}  // namespace kelvara
