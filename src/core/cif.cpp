// CIF reader: line tokenizer, data blocks of tags and loops, structure assembly.
#include "core/cif.hpp"

#include <algorithm>  // for std::min, std::clamp
#include <cstdint>
#include <cmath>      // for std::floor, std::sin, std::cos, std::sqrt, std::isfinite

#include "core/cif_displacement.hpp"  // for site_displacements
#include "core/elements.hpp"  // for is_element
#include "core/memory.hpp"    // for fits_in_memory
#include "core/number.hpp"    // for parse_decimal, saturating_u64
#include "core/spacegroup.hpp"  // for operations_from_names
#include "core/symmetry.hpp"  // for parse_symmop
#include "core/text.hpp"      // for trim, split_lines, quoted, strip_char, whitespace_length_at

namespace kelvara {

// ---- lexical layer ---------------------------------------------------------------

std::vector<std::string> tokenize(std::string_view line) {
    std::vector<std::string> tokens;
    std::string token;
    char quote = 0;
    const std::size_t n = line.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = line[i];
        if (quote) {
            if (c == quote) {
                tokens.push_back(std::move(token));
                token.clear();
                quote = 0;
            } else {
                token += c;
            }
            ++i;
            continue;
        }
        if (const std::size_t w = whitespace_length_at(line, i)) {
            if (!token.empty()) {
                tokens.push_back(std::move(token));
                token.clear();
            }
            i += w;
            continue;
        }
        if (c == '#' && token.empty()) return tokens;
        if (c == '\'' || c == '"') {
            if (!token.empty()) {
                tokens.push_back(std::move(token));
                token.clear();
            }
            quote = c;
        } else {
            token += c;
        }
        ++i;
    }
    if (!token.empty()) tokens.push_back(std::move(token));
    return tokens;
}

std::optional<double> parse_cif_number(std::string_view text) {
    std::string_view t = strip_char(strip_char(trim(text), '\''), '"');
    if (t.empty() || t == "." || t == "?") return std::nullopt;
    // The standard uncertainty in brackets ("5.4307(2)") is not part of the value.
    t = trim(t.substr(0, t.find('(')));
    return parse_decimal(t);
}

// ---- data blocks -----------------------------------------------------------------

namespace {

bool starts_with(std::string_view text, char c) { return !text.empty() && text.front() == c; }

bool is_loop_keyword(std::string_view line) {
    if (line.size() != 5) return false;
    return ascii_lower(line) == "loop_";
}

std::string join_tokens(const std::vector<std::string>& tokens, std::size_t first) {
    std::string out;
    for (std::size_t i = first; i < tokens.size(); ++i) {
        if (i > first) out += ' ';
        out += tokens[i];
    }
    return out;
}

/// Reads the CIF text line by line; every line is looked at trimmed.
class BlockReader {
public:
    explicit BlockReader(std::string_view text) : lines_(split_lines(text)) {
        for (auto& line : lines_) line = trim(line);
    }

    Block read() {
        while (next_ < lines_.size()) {
            const std::string_view line = lines_[next_++];  // blank, comment or stray text: skipped
            if (starts_with(line, ';'))
                skip_text_field();
            else if (is_loop_keyword(line))
                read_loop();
            else if (starts_with(line, '_'))
                read_tag(line);
            else if (line.starts_with("data_"))
                block_.block_names.emplace_back(line.substr(5));
        }
        return std::move(block_);
    }

private:
    std::vector<std::string_view> lines_;
    std::size_t next_ = 0;
    Block block_;

    /// Passes over the lines of a text field whose opening line was consumed, up to
    /// and including the closing ";" line (or to the end of the text).
    void skip_text_field() {
        while (next_ < lines_.size() && !starts_with(lines_[next_], ';')) ++next_;
        if (next_ < lines_.size()) ++next_;
    }

    /// The value of a text field whose opening line was consumed: the inner lines,
    /// trimmed and concatenated; the closing line is consumed.
    std::string text_field() {
        std::string value;
        while (next_ < lines_.size() && !starts_with(lines_[next_], ';')) {
            value += lines_[next_];
            ++next_;
        }
        if (next_ < lines_.size()) ++next_;
        return value;
    }

    void read_tag(std::string_view line) {
        std::vector<std::string> tokens = tokenize(line);
        if (tokens.empty()) return;
        std::string name = ascii_lower(tokens[0]);
        if (tokens.size() >= 2) {
            block_.tags.insert_or_assign(std::move(name), join_tokens(tokens, 1));
            return;
        }
        while (next_ < lines_.size() && lines_[next_].empty()) ++next_;
        if (next_ == lines_.size()) return;
        const std::string_view value_line = lines_[next_++];
        if (starts_with(value_line, ';')) {
            block_.tags.insert_or_assign(std::move(name), text_field());
        } else {
            block_.tags.insert_or_assign(std::move(name), join_tokens(tokenize(value_line), 0));
        }
    }

    void read_loop() {
        CifLoop loop;
        while (next_ < lines_.size()) {
            const std::string_view line = lines_[next_];
            if (line.empty() || starts_with(line, '#')) {
                ++next_;
            } else if (starts_with(line, '_')) {
                std::string_view word = line;
                for_each_word(line, [&](std::string_view first) {
                    word = first;
                    return false;
                });
                loop.names.push_back(ascii_lower(word));
                ++next_;
            } else {
                break;
            }
        }
        const std::size_t width = loop.names.size();
        std::vector<std::string> pending;
        auto add_value = [&](std::string value) {
            if (width == 0) return;  // a loop without names is discarded with its values
            pending.push_back(std::move(value));
            if (pending.size() == width) {
                loop.rows.push_back(std::move(pending));
                pending.clear();
            }
        };
        while (next_ < lines_.size()) {
            const std::string_view line = lines_[next_];
            if (line.empty() || starts_with(line, '#')) {
                ++next_;
            } else if (starts_with(line, '_') || line.starts_with("loop_") ||
                       line.starts_with("data_")) {
                break;
            } else if (starts_with(line, ';')) {
                ++next_;
                add_value(text_field());
            } else {
                ++next_;
                for (std::string& token : tokenize(line)) add_value(std::move(token));
            }
        }
        if (width > 0) block_.loops.push_back(std::move(loop));
    }
};

}  // namespace

Block read_block(std::string_view text) { return BlockReader(text).read(); }

// ---- structure assembly ----------------------------------------------------------

std::optional<std::string> element_from_label(std::string_view text) {
    const std::string_view t = trim(text);
    if (t.empty()) return std::nullopt;
    char first = t[0];
    if (first >= 'a' && first <= 'z') first = static_cast<char>(first - 'a' + 'A');
    if (first < 'A' || first > 'Z') return std::nullopt;
    std::string symbol(1, first);
    if (t.size() > 1 && t[1] >= 'a' && t[1] <= 'z') symbol += t[1];
    return symbol;
}

namespace {

constexpr double kDegree = 0.017453292519943295;
constexpr double kHalfPi = 1.5707963267948966;


const std::string* find_tag(const Block& block, const char* name) {
    auto it = block.tags.find(name);
    return it == block.tags.end() ? nullptr : &it->second;
}

/// A cell tag as a number; absent and unreadable values are alike.
std::optional<double> cell_number(const Block& block, const char* name) {
    const std::string* value = find_tag(block, name);
    return value ? parse_cif_number(*value) : std::nullopt;
}

Result<Lattice> read_cell(const Block& block) {
    static const char* const length_tags[3] = {"_cell_length_a", "_cell_length_b",
                                               "_cell_length_c"};
    static const char* const angle_tags[3] = {"_cell_angle_alpha", "_cell_angle_beta",
                                              "_cell_angle_gamma"};
    double lengths[3];
    for (int i = 0; i < 3; ++i) {
        auto value = cell_number(block, length_tags[i]);
        if (!value) return fail(std::string("missing ") + length_tags[i]);
        lengths[i] = *value;
    }
    std::optional<double> angles[3];
    for (int i = 0; i < 3; ++i) angles[i] = cell_number(block, angle_tags[i]);
    // inf or nan would otherwise surface as a misleading geometric complaint.
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(lengths[i]))
            return fail(std::string(length_tags[i]) + " is not a finite number: " +
                        quoted(*find_tag(block, length_tags[i])));
    for (int i = 0; i < 3; ++i)
        if (angles[i] && !std::isfinite(*angles[i]))
            return fail(std::string(angle_tags[i]) + " is not a finite number: " +
                        quoted(*find_tag(block, angle_tags[i])));
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

const CifLoop* find_loop(const Block& block, std::initializer_list<std::string_view> any_of) {
    for (const CifLoop& loop : block.loops)
        for (const std::string& name : loop.names)
            for (std::string_view wanted : any_of)
                if (name == wanted) return &loop;
    return nullptr;
}

std::optional<std::size_t> column_of(const CifLoop& loop, std::string_view name) {
    for (std::size_t i = 0; i < loop.names.size(); ++i)
        if (loop.names[i] == name) return i;
    return std::nullopt;
}

/// The value of the first of `names` that the block holds, or an empty text.
std::string_view space_group_tag(const Block& block, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (const std::string* value = find_tag(block, name)) return *value;
    return {};
}

/// Operations named by the space-group tags, for a block that lists none.
std::vector<SymmOp> named_symmetry(const Block& block, const Lattice& lattice,
                                   Warnings& warnings) {
    SpaceGroupNames names;
    names.hall = space_group_tag(block, {"_space_group_name_hall", "_symmetry_space_group_name_hall",
                                   "_space_group.name_hall", "_symmetry.space_group_name_hall"});
    names.hm = space_group_tag(block, {"_space_group_name_h-m_alt", "_symmetry_space_group_name_h-m",
                                 "_space_group.name_h-m_alt", "_symmetry.space_group_name_h-m",
                                 "_space_group_name_h-m_full", "_space_group.name_h-m_full"});
    names.number = space_group_tag(block, {"_space_group_it_number", "_symmetry_int_tables_number",
                                     "_space_group.it_number", "_symmetry.int_tables_number"});
    names.rhombohedral_cell = is_rhombohedral_cell(lattice.matrix);
    auto named = operations_from_names(names);
    if (!named) return {SymmOp::identity()};
    for (std::string& warning : named->warnings) warnings.push_back(std::move(warning));
    return std::move(named->operations);
}

const char* const kOperationTags[2] = {"_symmetry_equiv_pos_as_xyz",
                                       "_space_group_symop_operation_xyz"};

std::vector<SymmOp> read_symmetry(const Block& block, const Lattice& lattice, Warnings& warnings) {
    std::vector<SymmOp> ops;
    const CifLoop* loop = find_loop(block, {kOperationTags[0], kOperationTags[1]});
    std::vector<std::string> unreadable;
    std::size_t listed = 0;
    if (loop) {
        std::size_t column = 0;
        for (std::size_t i = 0; i < loop->names.size(); ++i)
            if (loop->names[i] == kOperationTags[0] || loop->names[i] == kOperationTags[1]) {
                column = i;
                break;
            }
        for (const auto& row : loop->rows) {
            if (column >= row.size()) continue;
            const std::string_view value = trim(row[column]);
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
                unreadable.emplace_back(value);
        }
    }
    // A listed operation always wins over the names.
    if (listed == 0) return named_symmetry(block, lattice, warnings);
    if (ops.empty()) {
        warnings.push_back("none of the " + std::to_string(listed) +
                           " symmetry operations can be read, so the file is read as P 1");
        ops.push_back(SymmOp::identity());
    } else {
        for (const std::string& op : unreadable)
            warnings.push_back("symmetry operation " + quoted(op) + " cannot be read and is ignored");
    }
    return ops;
}

/// Findings about the element a type symbol or label gives: another element meant in
/// capitals, or a symbol that is not an element.
void warn_element(const std::string& place, const char* source, std::string_view written,
                  const std::string& symbol, Warnings& warnings) {
    const std::string_view t = trim(written);
    if (t.size() > 1 && t[1] >= 'A' && t[1] <= 'Z') {
        std::string title(1, static_cast<char>(t[0] >= 'a' && t[0] <= 'z' ? t[0] - 32 : t[0]));
        title += static_cast<char>(t[1] + 32);
        if (is_element(title) && title != symbol) {
            warnings.push_back(place + ": " + source + " " + quoted(written) + " reads as " +
                               symbol + "; write " + quoted(title) + " if that element is meant");
            return;
        }
    }
    if (!is_element(symbol))
        warnings.push_back(place + ": " + source + " " + quoted(written) + " reads as " +
                           quoted(symbol) + ", which is not a chemical element");
}

/// The periodic distance along one axis of two wrapped coordinates.
inline double axis_distance(double a, double b) {
    double d = std::fabs(a - b);
    if (d > 0.5) d = 1.0 - d;
    return d;
}

/// Sites built from symmetry images. An image joins the first site (in creation
/// order) that lies within `symprec` on all three axes. Sites are filed under a
/// periodic grid cell wider than `symprec`, so only the 27 cells around an image can
/// hold a match; the cells are hashed into a chained table (head/next indices, no
/// per-cell allocation), and the earliest matching site among the candidates wins.
class SiteMerger {
public:
    /// `expected_images` bounds the number of sites and sizes the table.
    SiteMerger(double symprec, std::uint64_t expected_images) : symprec_(symprec) {
        merging_ = symprec > 0.0;  // d < symprec never holds otherwise (NaN included)
        if (!merging_) return;
        if (symprec < 1.0) {
            const double g = std::floor(1.0 / (symprec * 1.01));
            grid_ = std::clamp<std::uint64_t>(saturating_u64(g), 1, kMaxGrid);
        }
        const std::uint64_t wanted = 2 * std::min<std::uint64_t>(expected_images, 1u << 21);
        while ((std::uint64_t{1} << bits_) < wanted) ++bits_;
        head_.assign(std::size_t{1} << bits_, kNone);
    }

    void add(const std::string& element, double occupancy, const Vec3& frac, double uiso) {
        std::uint64_t cell[3] = {0, 0, 0};
        if (merging_) {
            for (int axis = 0; axis < 3; ++axis) cell[axis] = cell_of(frac[axis]);
            if (Site* site = find(frac, cell)) {
                for (Species& s : site->species)
                    if (s.first == element) {
                        if (occupancy > s.second) s.second = occupancy;
                        return;
                    }
                site->uiso = merged_uiso(*site, occupancy, uiso);
                site->species.emplace_back(element, occupancy);
                return;
            }
        }
        Site site;
        site.species.emplace_back(element, occupancy);
        site.frac = frac;
        site.uiso = uiso;
        if (merging_) {
            std::size_t& head = head_[slot(cell[0], cell[1], cell[2])];
            next_.push_back(head);
            head = sites_.size();
        }
        sites_.push_back(std::move(site));
    }

    std::vector<Site> take() { return std::move(sites_); }

    /// One displacement per site: species of a mixed site written with different
    /// values share their occupancy-weighted mean.
    static double merged_uiso(const Site& site, double occupancy, double uiso) {
        if (std::isnan(uiso)) return site.uiso;
        if (std::isnan(site.uiso)) return uiso;
        const double held = site.occupancy_sum();
        return (site.uiso * held + uiso * occupancy) / (held + occupancy);
    }

private:
    static constexpr std::uint64_t kMaxGrid = 1u << 20;
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    double symprec_;
    bool merging_ = false;
    std::uint64_t grid_ = 1;
    unsigned bits_ = 4;
    std::vector<Site> sites_;
    std::vector<std::size_t> head_;  // per table slot: newest site filed there
    std::vector<std::size_t> next_;  // per site: the previous site in the same slot

    std::uint64_t cell_of(double f) const {
        const std::uint64_t cell = saturating_u64(std::floor(f * static_cast<double>(grid_)));
        return cell >= grid_ ? grid_ - 1 : cell;
    }
    std::size_t slot(std::uint64_t i, std::uint64_t j, std::uint64_t k) const {
        const std::uint64_t key = (i * grid_ + j) * grid_ + k;
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    bool matches(const Site& site, const Vec3& frac) const {
        return axis_distance(site.frac[0], frac[0]) < symprec_ &&
               axis_distance(site.frac[1], frac[1]) < symprec_ &&
               axis_distance(site.frac[2], frac[2]) < symprec_;
    }

    Site* find(const Vec3& frac, const std::uint64_t (&c)[3]) {
        // Neighbour cells along each axis, each once (fewer than three on a small grid).
        std::uint64_t around[3][3];
        std::size_t n_around[3];
        for (int axis = 0; axis < 3; ++axis) {
            n_around[axis] = 0;
            const std::uint64_t candidates[3] = {c[axis], (c[axis] + grid_ - 1) % grid_,
                                                 (c[axis] + 1) % grid_};
            for (std::uint64_t cand : candidates) {
                bool seen = false;
                for (std::size_t m = 0; m < n_around[axis]; ++m) seen |= around[axis][m] == cand;
                if (!seen) around[axis][n_around[axis]++] = cand;
            }
        }
        // Hash collisions may file one slot twice or mix cells; every candidate is
        // checked against the real distance rule, so that only costs time.
        std::size_t best = kNone;
        for (std::size_t a = 0; a < n_around[0]; ++a)
            for (std::size_t b = 0; b < n_around[1]; ++b)
                for (std::size_t d = 0; d < n_around[2]; ++d)
                    for (std::size_t index = head_[slot(around[0][a], around[1][b], around[2][d])];
                         index != kNone; index = next_[index])
                        if (index < best && matches(sites_[index], frac)) best = index;
        return best == kNone ? nullptr : &sites_[best];
    }
};

}  // namespace

Result<ReadStructure> parse_cif(std::string_view text, const CifOptions& options) {
    const Block block = read_block(text);
    const double symprec = options.symprec;
    Warnings warnings;
    if (block.block_names.size() > 1) {
        std::string names;
        for (const std::string& name : block.block_names)
            names += (names.empty() ? "" : ", ") + quoted(name);
        warnings.push_back("the file holds " + std::to_string(block.block_names.size()) +
                           " data blocks (" + names +
                           "); their tags are merged (the last value wins) and the first "
                           "atom-site loop is read");
    }

    auto lattice = read_cell(block);
    if (!lattice) return fail(lattice.error());
    const std::vector<SymmOp> ops = read_symmetry(block, *lattice, warnings);

    const CifLoop* atoms = find_loop(block, {"_atom_site_fract_x"});
    if (!atoms) return fail("no _atom_site loop with fractional coordinates found");
    const auto col_x = column_of(*atoms, "_atom_site_fract_x");
    const auto col_y = column_of(*atoms, "_atom_site_fract_y");
    if (!col_y) return fail("missing _atom_site_fract_y");
    const auto col_z = column_of(*atoms, "_atom_site_fract_z");
    if (!col_z) return fail("missing _atom_site_fract_z");
    const auto col_occupancy = column_of(*atoms, "_atom_site_occupancy");
    const auto col_type = column_of(*atoms, "_atom_site_type_symbol");
    const auto col_label = column_of(*atoms, "_atom_site_label");
    if (atoms->rows.empty()) return fail("CIF contains no usable atom sites");
    const std::uint64_t n_rows = atoms->rows.size(), n_ops = ops.size();
    if (n_rows > UINT64_MAX / n_ops || !fits_in_memory(n_rows * n_ops, sizeof(Site)))
        return fail("CIF expands to " + std::to_string(atoms->rows.size()) + " atom sites times " +
                    std::to_string(ops.size()) + " symmetry operations, more than memory holds");

    const std::vector<double> uiso = site_displacements(block, *atoms, *lattice);
    SiteMerger merger(symprec, n_rows * n_ops);
    bool any_image = false;
    for (std::size_t r = 0; r < atoms->rows.size(); ++r) {
        const auto& row = atoms->rows[r];
        auto value_of = [&](std::optional<std::size_t> column) -> const std::string* {
            return column && *column < row.size() ? &row[*column] : nullptr;
        };
        auto number_of = [&](std::optional<std::size_t> column) -> std::optional<double> {
            const std::string* value = value_of(column);
            return value ? parse_cif_number(*value) : std::nullopt;
        };
        auto place = [&]() {
            const std::string* label = value_of(col_label);
            return label ? "atom site " + quoted(*label)
                         : "atom site in row " + std::to_string(r + 1);
        };
        const auto x = number_of(col_x), y = number_of(col_y), z = number_of(col_z);
        if (!x || !y || !z) {
            for (auto column : {col_x, col_y, col_z})
                if (const std::string* value = value_of(column); value && !parse_cif_number(*value)) {
                    warnings.push_back(place() + " has the coordinate " + quoted(trim(*value)) +
                                       " and is dropped");
                    break;
                }
            continue;
        }
        const Vec3 frac{*x, *y, *z};
        const std::optional<std::size_t> frac_columns[3] = {col_x, col_y, col_z};
        for (int axis = 0; axis < 3; ++axis)
            if (!std::isfinite(frac[axis]))
                return fail(place() + " has a coordinate that is not a finite number: " +
                            quoted(*value_of(frac_columns[axis])));

        std::optional<std::string> element;
        const char* source = "type symbol";
        const std::string* written = value_of(col_type);
        if (written) element = element_from_label(*written);
        if (!element) {
            source = "label";
            written = value_of(col_label);
            if (written) element = element_from_label(*written);
        }
        if (!element) return fail("could not determine the element of an atom site");

        double occupancy = 1.0;
        if (auto written = number_of(col_occupancy)) {
            if (!std::isfinite(*written))
                return fail(place() + " has an occupancy that is not a finite number: " +
                            quoted(*value_of(col_occupancy)));
            occupancy = *written;
        }
        if (!(occupancy > 0.0)) {
            warnings.push_back(place() + " has occupancy " + *value_of(col_occupancy) +
                               " and is dropped");
            continue;
        }
        warn_element(place(), source, *written, *element, warnings);

        for (std::size_t k = 0; k < ops.size(); ++k) {
            Vec3 image = ops[k].apply(frac);
            for (double& f : image) {
                if (!std::isfinite(f))
                    return fail("symmetry operation " + std::to_string(k + 1) + " moves " +
                                place() + " to a position that is not finite");
                f = f - std::floor(f);
            }
            merger.add(*element, occupancy, image, uiso[r]);
            any_image = true;
        }
    }
    if (!any_image) return fail("CIF contains no usable atom sites");
    auto structure = Structure::new_(std::move(*lattice), merger.take());
    if (!structure) return fail(structure.error());
    return ReadStructure{std::move(*structure), std::move(warnings)};
}

}  // namespace kelvara
