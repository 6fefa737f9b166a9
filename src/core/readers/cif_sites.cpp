// Atom sites of a CIF block: rows read, expanded by the symmetry operations, merged into sites.
#include "core/readers/cif_sites.hpp"

#include <algorithm>  // for std::find, std::max, std::min, std::none_of, std::sort, std::unique
#include <array>
#include <cmath>       // for std::fabs, std::floor, std::isfinite, std::round, std::sqrt
#include <cstdint>
#include <cstring>     // for std::memcpy
#include <functional>  // for std::hash
#include <optional>
#include <string>
#include <utility>  // for std::swap

#include "core/model/elements.hpp"           // for is_element
#include "core/readers/cif.hpp"              // for element_from_label, element_from_species
#include "core/readers/cif_displacement.hpp"  // for site_displacements
#include "core/readers/row_images.hpp"        // for RowImages
#include "core/readers/site_merge.hpp"        // for SiteMerger, ClosePair, axis_distance
#include "core/util/memory.hpp"               // for fits_in_memory, available_memory_bytes
#include "core/util/number.hpp"               // for parse_decimal, format_fixed, format_general
#include "core/util/scratch.hpp"              // for lend, give_back
#include "core/util/text.hpp"                 // for trim, quoted, strip_char, is_valid_utf8, excerpt

namespace kelvara {

namespace {

/// Peak memory of one expanded site while a CIF is read (the site, its species, the
/// merging tables and the search for close sites): 106-114 bytes measured at 1 to 16
/// million sites without the search, 146 at a million sites when the search kept tables
/// of its own; it now runs on the merging grid, whose table is no larger, so 146 bounds it.
constexpr std::uint64_t kBytesPerExpandedSite = 146;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

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

/// How a coordinate is written: exact (an integer, a fraction, an exponent form, or a
/// multiple of 1/24 such as 0.5 or 0.125, which special positions are), or with
/// `written` decimals whose last nonzero one is the `significant`-th.
struct Decimals {
    bool exact = true;
    std::size_t written = 0, significant = 0;
};

Decimals written_decimals(std::string_view text, double value) {
    std::string_view t = strip_char(strip_char(trim(text), '\''), '"');
    t = t.substr(0, t.find('('));
    std::size_t point = std::string_view::npos;
    for (std::size_t i = 0; i < t.size(); ++i) {  // one pass: the point, and no '/', 'e', 'E'
        const char c = t[i];
        if (c == '.' && point == std::string_view::npos) point = i;
        else if (c == '/' || c == 'e' || c == 'E') return {};
    }
    if (point == std::string_view::npos) return {};
    const double twentyfourths = value * 24.0;
    if (std::fabs(twentyfourths - exact_floor(twentyfourths + 0.5)) < 1e-9) return {};
    Decimals out{false, 0, 0};
    for (std::size_t i = point + 1; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i)
        if (++out.written, t[i] != '0') out.significant = out.written;
    return out;
}

/// Half a unit in the `decimals`-th decimal (0.0005 for 3).
double half_unit(std::size_t decimals) {
    // 0.5 divided by ten once per decimal, from a table of those same quotients.
    static constexpr auto units = [] {
        std::array<double, 32> table{};
        table[0] = 0.5;
        for (std::size_t k = 1; k < table.size(); ++k) table[k] = table[k - 1] / 10.0;
        return table;
    }();
    if (decimals < units.size()) return units[decimals];
    double unit = units.back();
    for (std::size_t k = units.size() - 1; k < decimals; ++k) unit /= 10.0;
    return unit;
}

/// Decimals a coordinate of a row counts as precise to at least, however many zeros
/// end it.
constexpr std::size_t kPaddingFrom = 3;

/// Half a unit in the last decimal a row's coordinates are precise to ("0.333" ->
/// 0.0005), or 0 when all are exact. Zeros that end a coordinate are padding, not
/// precision, past the 3rd decimal and past the row's most precise coordinate:
/// "0.166700000000" is precise to 4 decimals, as "0.1667" is, and "0.100000" in a row
/// with it too.
double row_uncertainty(const std::string_view (&text)[3], const Vec3& frac) {
    Decimals axes[3];
    std::size_t significant = kPaddingFrom;
    for (int axis = 0; axis < 3; ++axis) {
        axes[axis] = written_decimals(text[axis], frac[axis]);
        if (!axes[axis].exact) significant = std::max(significant, axes[axis].significant);
    }
    double uncertainty = 0.0;
    for (const Decimals& d : axes)
        if (!d.exact) uncertainty = std::max(uncertainty, half_unit(std::min(d.written, significant)));
    return uncertainty;
}

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

// ---- the loop and its columns --------------------------------------------------

/// The atom-site loop and its columns.
struct AtomTable {
    const CifLoop* loop = nullptr;
    std::size_t x = 0, y = 0, z = 0;
    std::optional<std::size_t> occupancy, type, label;

    /// "atom site 'O1'", or "atom site in row 3" in a loop without labels.
    std::string place(std::uint32_t r) const {
        return label ? "atom site " + shown_value(loop->row(r)[*label], loop->row_lines[r])
                     : "atom site in row " + std::to_string(r + 1);
    }
    /// "'O1'", or "row 3".
    std::string name(std::uint32_t r) const {
        return label ? shown_value(loop->row(r)[*label], loop->row_lines[r])
                     : "row " + std::to_string(r + 1);
    }
};

Result<AtomTable> atom_table(const Block& block) {
    AtomTable table;
    table.loop = block.loop_with({"_atom_site_fract_x"});
    if (!table.loop) return fail("no _atom_site loop with fractional coordinates found");
    const CifLoop& atoms = *table.loop;
    table.x = *atoms.column("_atom_site_fract_x");
    const auto y = atoms.column("_atom_site_fract_y");
    if (!y) return fail("missing " + block.written("_atom_site_fract_y"));
    const auto z = atoms.column("_atom_site_fract_z");
    if (!z) return fail("missing " + block.written("_atom_site_fract_z"));
    table.y = *y;
    table.z = *z;
    table.occupancy = atoms.column("_atom_site_occupancy");
    table.type = atoms.column("_atom_site_type_symbol");
    table.label = atoms.column("_atom_site_label");
    if (atoms.n_rows() == 0) return fail("CIF contains no usable atom sites");
    return table;
}

/// Every row times every operation is one site until merging: refused before anything
/// is expanded when that needs more memory than the machine has, or minutes of work.
Result<void> check_expansion(std::uint64_t n_rows, std::uint64_t n_ops) {
    const std::string advice = n_ops > 192 ? "; no space group has more than 192 operations, so "
                                             "check the file's symmetry loop"
                                           : "";
    if (n_rows > UINT32_MAX / n_ops || !fits_in_memory(n_rows * n_ops, kBytesPerExpandedSite)) {
        const double gib = static_cast<double>(n_rows) * static_cast<double>(n_ops) *
                           static_cast<double>(kBytesPerExpandedSite) / 1073741824.0;
        return fail("the CIF expands " + std::to_string(n_rows) + " atom-site rows by " +
                    std::to_string(n_ops) + " symmetry operations to up to " +
                    std::to_string(n_rows * n_ops) + " sites, which need about " +
                    format_general(gib, 3) + " GiB, more than the " +
                    format_general(static_cast<double>(available_memory_bytes()) / 1073741824.0, 3) +
                    " GiB this machine has available" +
                    (advice.empty() ? "; free memory or read the structure on a larger machine" : advice));
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
                    (advice.empty() ? "; write the structure with fewer symmetry-equivalent rows" : advice));
    return {};
}

struct LabelStore;  // where label_keys' table is kept between reads

/// Rows with the same label are one atom written twice; distinct labels, distinct
/// atoms. Each row's key is the first row of its label (its own index without labels).
std::vector<std::uint32_t> label_keys(const AtomTable& table) {
    const CifLoop& atoms = *table.loop;
    const std::size_t n_rows = atoms.n_rows();
    std::vector<std::uint32_t> keys(n_rows);
    if (!table.label) {
        for (std::uint32_t r = 0; r < n_rows; ++r) keys[r] = r;
        return keys;
    }
    // An open-addressing table of first rows by label: no allocation per row.
    std::size_t size = 16;
    while (size < 2 * n_rows) size *= 2;
    std::vector<std::uint32_t> first_row = lend<LabelStore, std::uint32_t>();
    first_row.assign(size, UINT32_MAX);
    const std::hash<std::string_view> hash;
    for (std::uint32_t r = 0; r < n_rows; ++r) {
        const std::string_view label = trim(atoms.row(r)[*table.label]);
        std::size_t slot = hash(label) & (size - 1);
        while (first_row[slot] != UINT32_MAX && trim(atoms.row(first_row[slot])[*table.label]) != label)
            slot = (slot + 1) & (size - 1);
        if (first_row[slot] == UINT32_MAX) first_row[slot] = r;
        keys[r] = first_row[slot];
    }
    give_back<LabelStore>(std::move(first_row));
    return keys;
}

// ---- one row -------------------------------------------------------------------

/// What the rows have shown so far that the user must hear about once.
struct RowFindings {
    NotElementNotes symbols_not_elements;            // each reported once
    std::vector<std::string> label_ambiguities;      // "CA" read as C, each once
    std::vector<std::string> special_rows;           // rows on special positions to precision
    double special_distance = 0.0;                   // largest gap of their images, Angstrom
    std::uint64_t typeless_rows = 0;                 // rows whose type symbol gives no element
    // (row, the earlier row it repeats exactly): under its label, read once; under
    // another label (or none), counted as an atom of its own.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> repeats, distinct_repeats;
    std::string typeless_type, typeless_label, typeless_symbol;  // the first of them
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
                warnings.push_back(place + ": label " + shown_value(written, line) + " reads as " +
                                   symbol + "; give a type symbol " + quoted(title) +
                                   " if that element is meant");
                return;
            }
        }
    }
    if (!is_element(symbol))
        seen.symbols_not_elements.note(symbol, [&] {
            return place + ": " + source + " " + shown_value(written, line) + " reads as " +
                   quoted(symbol) + ", which is not a chemical element";
        }, warnings);
}

/// One readable atom-site row.
struct AtomRow {
    Vec3 frac;
    std::string element;
    double occupancy = 1.0;
    /// Half a unit in the last decimal its coordinates are written to (0: exact).
    double uncertainty = 0.0;
};

/// Row `r` read into `out`; false when the row is dropped (said in `warnings`).
Result<bool> read_row(const AtomTable& table, std::uint32_t r, AtomRow& out, RowFindings& findings,
                      Warnings& warnings) {
    const auto row = table.loop->row(r);
    const std::uint32_t line = table.loop->row_lines[r];
    const std::string_view coord_text[3] = {row[table.x], row[table.y], row[table.z]};
    for (int axis = 0; axis < 3; ++axis) {
        const auto value = parse_cif_fraction(coord_text[axis]);
        if (!value) {
            warnings.push_back(table.place(r) + " has the coordinate " +
                               shown_value(trim(coord_text[axis]), line) + " and is dropped");
            return false;
        }
        if (!std::isfinite(*value))
            return fail(table.place(r) + " has a coordinate that is not a finite number: " +
                        quoted(coord_text[axis]));
        out.frac[axis] = *value;
    }

    bool from_label = false;
    std::optional<std::string> symbol;
    std::string_view written;
    if (table.type) {
        written = row[*table.type];
        symbol = element_from_species(written);
    }
    if (!symbol && table.label) {
        const std::string_view type_written = written;
        from_label = true;
        written = row[*table.label];
        symbol = element_from_label(written);
        if (symbol && table.type && findings.typeless_rows++ == 0) {
            findings.typeless_type = shown_value(trim(type_written), line);
            findings.typeless_label = shown_value(trim(written), line);
            findings.typeless_symbol = *symbol;
        }
    }
    if (!symbol) {
        std::string message = "could not determine the element of an atom site";
        if (!is_valid_utf8(written))
            message += " (line " + std::to_string(line) + " holds bytes that are not UTF-8)";
        return fail(message);
    }
    out.element = std::move(*symbol);

    out.occupancy = 1.0;
    if (table.occupancy) {
        const std::string_view t = trim(row[*table.occupancy]);
        if (t != "?" && t != ".") {
            const auto written_occupancy = parse_cif_fraction(t);
            if (written_occupancy && !std::isfinite(*written_occupancy))
                return fail(table.place(r) + " has an occupancy that is not a finite number: " +
                            quoted(row[*table.occupancy]));
            if (!written_occupancy)
                return fail(table.place(r) + " has an occupancy that is not a number: " +
                            shown_value(t, line));
            out.occupancy = *written_occupancy;
        }
    }
    if (!(out.occupancy > 0.0)) {
        const std::string_view value = row[*table.occupancy];
        warnings.push_back(table.place(r) + " has occupancy " +
                           (is_valid_utf8(value) ? excerpt(value) : shown_value(value, line)) +
                           " and is dropped");
        return false;
    }
    if (from_label || !is_element(out.element))
        check_element(table.place(r), from_label, written, line, out.element, findings, warnings);

    out.uncertainty = row_uncertainty(coord_text, out.frac);
    return true;
}

/// The element of row `r` as `read_row` finds it (type symbol, else label), or nothing.
std::optional<std::string> row_element(const AtomTable& table, std::uint32_t r) {
    const auto row = table.loop->row(r);
    std::optional<std::string> symbol;
    if (table.type) symbol = element_from_species(row[*table.type]);
    if (!symbol && table.label) symbol = element_from_label(row[*table.label]);
    return symbol;
}

/// Rows read so far, filed by element, position and occupancy: a row that repeats an
/// earlier one exactly is found in one probe. The table holds the first row of each
/// content (row numbers only: an earlier row is read again to compare when a hash
/// matches); the first row of each other label with that content follows it in a chain.
class RepeatedRows {
public:
    explicit RepeatedRows(std::size_t n_rows) : n_rows_(n_rows), slots_(lend<RepeatedRows, Slot>()) {
        std::size_t size = 16;
        while (size < 2 * n_rows) size *= 2;
        slots_.assign(size, Slot{kNone, 0});
    }
    ~RepeatedRows() { give_back<RepeatedRows>(std::move(slots_)); }
    RepeatedRows(const RepeatedRows&) = delete;
    RepeatedRows& operator=(const RepeatedRows&) = delete;

    /// The earlier rows that row `r` (read as `atom`, of label key `keys[r]`) repeats:
    /// the first of its own label (then nothing else is looked for), else the first of
    /// any label. Where there is none, `r` is filed.
    struct Earlier {
        std::optional<std::uint32_t> same_label, other_label;
    };
    Earlier earlier(const AtomTable& table, const std::vector<std::uint32_t>& keys, std::uint32_t r,
                    const AtomRow& atom) {
        const std::uint64_t h = hash(atom);
        const auto check = static_cast<std::uint32_t>(h >> 32);
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = h & mask;
        for (; slots_[slot].row != kNone; slot = (slot + 1) & mask) {
            const std::uint32_t q = slots_[slot].row;
            if (slots_[slot].hash != check || !same(table, q, atom)) continue;
            if (next_.empty()) next_.assign(n_rows_, kNone);
            std::uint32_t last = q;
            for (std::uint32_t p = q; p != kNone; p = next_[p]) {
                if (keys[p] == keys[r]) return {p, std::nullopt};
                last = p;
            }
            next_[last] = r;
            return {std::nullopt, q};
        }
        slots_[slot] = {r, check};
        return {};
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    struct Slot {
        std::uint32_t row, hash;
    };
    std::size_t n_rows_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> next_;  // per row, once a row repeats: the next label's first row

    static std::uint64_t mix(std::uint64_t h, std::uint64_t bits) {
        h = (h ^ bits) * 0x9E3779B97F4A7C15ull;
        return h ^ (h >> 29);
    }
    static std::uint64_t hash(const AtomRow& atom) {
        std::uint64_t h = 0;
        if (atom.element.size() <= sizeof h) std::memcpy(&h, atom.element.data(), atom.element.size());
        else h = std::hash<std::string>{}(atom.element);
        h = mix(h, atom.element.size());
        const double values[4] = {atom.frac[0], atom.frac[1], atom.frac[2], atom.occupancy};
        for (double v : values) {
            v += 0.0;  // -0 files as 0, which it equals
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            h = mix(h, bits);
        }
        return h;
    }
    /// Whether row `q`, read before without a fault, holds what `atom` holds.
    static bool same(const AtomTable& table, std::uint32_t q, const AtomRow& atom) {
        const auto row = table.loop->row(q);
        const std::size_t columns[3] = {table.x, table.y, table.z};
        for (int axis = 0; axis < 3; ++axis)
            if (parse_cif_fraction(row[columns[axis]]) != atom.frac[axis]) return false;
        double occupancy = 1.0;
        if (table.occupancy) {
            const std::string_view t = trim(row[*table.occupancy]);
            if (t != "?" && t != ".") occupancy = parse_cif_fraction(t).value_or(0.0);
        }
        return occupancy == atom.occupancy && row_element(table, q) == atom.element;
    }
};

/// Places every image of `atom` (row `r`) into `merger`. Images of the row closer than
/// the precision its coordinates are written with are one atom (0.333 for 1/3 on a
/// three-fold axis); the row is then noted as on a special position.
Result<void> place_images(const AtomRow& atom, std::uint32_t r, std::uint32_t key, double uiso,
                          const std::vector<SymmOp>& ops, const Lattice& lattice, double symprec,
                          const AtomTable& table, SiteMerger& merger, RowImages& images,
                          RowFindings& findings) {
    const double tolerance =
        symprec > 0.0 ? std::max(symprec, std::min(3.5 * atom.uncertainty, 0.02)) : 0.0;
    images.clear();
    bool special = false;
    for (std::size_t k = 0; k < ops.size(); ++k) {
        Vec3 image = ops[k].apply(atom.frac);
        for (double& f : image) {
            if (!std::isfinite(f))
                return fail("symmetry operation " + std::to_string(k + 1) + " moves " + table.place(r) +
                            " to a position that is not finite");
            f = f - exact_floor(f);
        }
        Vec3 nearest;
        if (tolerance > symprec && !images.is_new(image, tolerance, ops.size(), nearest)) {
            if (!(axis_distance(nearest[0], image[0]) < symprec &&
                  axis_distance(nearest[1], image[1]) < symprec &&
                  axis_distance(nearest[2], image[2]) < symprec)) {
                special = true;
                findings.special_distance =
                    std::max(findings.special_distance, periodic_distance(lattice, nearest, image));
            }
            continue;
        }
        merger.add(r, key, atom.element, atom.occupancy, image, uiso);
    }
    if (special) findings.special_rows.push_back(table.place(r));
    return {};
}

// ---- what the rows showed ------------------------------------------------------

/// "'Fe2' (line 16)", or "row 2" in a loop without labels.
std::string row_at(const AtomTable& table, std::uint32_t r) {
    return table.name(r) + (table.label ? " (line " + std::to_string(table.loop->row_lines[r]) + ")" : "");
}

/// "'Si2' (line 18) repeats 'Si1' (line 15), ...": the first three and how many more.
std::string repeats_named(const AtomTable& table,
                          const std::vector<std::pair<std::uint32_t, std::uint32_t>>& repeats) {
    std::string named;
    for (std::size_t i = 0; i < repeats.size() && i < 3; ++i)
        named += (i ? ", " : "") + row_at(table, repeats[i].first) + " repeats " + row_at(table, repeats[i].second);
    if (repeats.size() > 3) named += " and " + std::to_string(repeats.size() - 3) + " more";
    return named;
}

void report_rows(const AtomTable& table, const RowFindings& findings, Warnings& warnings) {
    if (!findings.repeats.empty()) {
        const std::size_t n = findings.repeats.size();
        warnings.push_back(std::to_string(n) + (n == 1 ? " atom-site row repeats" : " atom-site rows repeat") +
                           " an earlier row exactly (label, element, position and occupancy) and " +
                           (n == 1 ? "is" : "are") + " read once: " + repeats_named(table, findings.repeats));
    }
    if (!findings.distinct_repeats.empty()) {
        const std::size_t n = findings.distinct_repeats.size();
        warnings.push_back(std::to_string(n) + (n == 1 ? " atom-site row repeats" : " atom-site rows repeat") +
                           " an earlier row exactly (element, position and occupancy) " +
                           (table.label ? "under another label" : "in a loop without labels") + " and " +
                           (n == 1 ? "is counted as a distinct atom" : "are counted as distinct atoms") +
                           ", the occupancies added: " + repeats_named(table, findings.distinct_repeats));
    }
    if (findings.typeless_rows) {
        const std::uint64_t n = findings.typeless_rows;
        const std::string& label = findings.typeless_label;
        warnings.push_back(
            n == 1 ? "atom site " + label + " has the type symbol " + findings.typeless_type +
                         ", so its element is read from the label (" + findings.typeless_symbol + ")"
                   : std::to_string(n) + " atom sites have type symbols that name no element (" +
                         findings.typeless_type + " for " + label +
                         "), so each element is read from the label (" + label + " gives " +
                         findings.typeless_symbol + ")");
    }
    if (!findings.special_rows.empty()) {
        const std::size_t n = findings.special_rows.size();
        std::string named;
        for (std::size_t i = 0; i < n && i < 3; ++i) named += (i ? ", " : "") + findings.special_rows[i];
        if (n > 3) named += " and " + std::to_string(n - 3) + " more";
        warnings.push_back(named + (n == 1 ? " lies" : " lie") +
                           " on a special position only to the precision of its written "
                           "coordinates: symmetry images up to " +
                           format_fixed(findings.special_distance, 3) + " A apart are read as one atom");
    }
}

/// "atom site 'O1'", "atom sites 'H1A', 'H1B'", "atom sites in rows 3, 4".
std::string sites_named(const AtomTable& table, const std::vector<std::uint32_t>& rows) {
    std::vector<std::string> names;
    for (std::uint32_t r : rows) {
        std::string name = table.label ? table.name(r) : std::to_string(r + 1);
        bool seen = false;
        for (const std::string& n : names) seen |= n == name;
        if (!seen) names.push_back(std::move(name));
    }
    std::string out = names.size() == 1 ? "atom site " : "atom sites ";
    if (!table.label) out += names.size() == 1 ? "in row " : "in rows ";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + names[i];
    return out;
}

/// Distinct atoms sharing a position add up; more than a full site is refused, naming
/// the rows on it that repeat another exactly (one atom written under two labels?).
Result<void> check_occupancies(const SiteMerger& merger, const AtomTable& table,
                               const std::vector<std::pair<std::uint32_t, std::uint32_t>>& distinct_repeats) {
    const std::vector<Site>& sites = merger.sites();
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const double sum = sites[i].occupancy_sum();
        if (sum > 1.001) {
            const std::vector<std::uint32_t> rows = merger.rows_of(i);
            const std::string named = sites_named(table, rows);
            const bool several = named.starts_with("atom sites");
            std::vector<std::pair<std::uint32_t, std::uint32_t>> here;
            for (const auto& pair : distinct_repeats)
                if (std::find(rows.begin(), rows.end(), pair.first) != rows.end()) here.push_back(pair);
            std::string repeated;
            if (!here.empty())
                repeated = "; " + repeats_named(table, here) +
                           " exactly (element, position and occupancy), counted as " +
                           (here.size() == 1 ? "an atom of its own" : "atoms of their own") +
                           ": remove a repeated row if it is the same atom written twice";
            return fail(named + " at " + position_text(sites[i].frac) +
                        (several ? " have occupancies summing to " : " has occupancies summing to ") +
                        format_fixed(sum, 4) + ", which exceeds 1" + repeated);
        }
    }
    return {};
}

/// Pairs of sites closer than 0.5 A, named by their rows: each pair of rows once, at
/// its shortest distance ("'O1' and 'O2' (0.310 A)", "'Si1' and an image of it (0.001
/// A)"), the first three and how many more.
std::string close_rows_named(const std::vector<ClosePair>& close, const SiteMerger& merger,
                             const AtomTable& table, const std::vector<std::uint32_t>& keys) {
    struct RowPair {
        std::uint32_t a, b;
        double distance;
    };
    // The first three pairs of rows (closest first), and every pair of rows once to count them.
    std::vector<RowPair> pairs;
    std::vector<std::uint64_t> all(close.size());
    for (std::size_t i = 0; i < close.size(); ++i) {
        std::uint32_t a = keys[merger.first_row(close[i].first)];
        std::uint32_t b = keys[merger.first_row(close[i].second)];
        if (a > b) std::swap(a, b);
        all[i] = std::uint64_t{a} << 32 | b;
        if (pairs.size() < 3 && std::none_of(pairs.begin(), pairs.end(), [&](const RowPair& p) {
                return p.a == a && p.b == b;
            }))
            pairs.push_back({a, b, close[i].distance});
    }
    std::sort(all.begin(), all.end());
    const auto n_pairs = static_cast<std::size_t>(std::unique(all.begin(), all.end()) - all.begin());
    std::string named;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        named += (i ? ", " : "") + table.name(pairs[i].a) +
                 (pairs[i].a == pairs[i].b ? " and an image of it" : " and " + table.name(pairs[i].b)) +
                 " (" + format_fixed(pairs[i].distance, 3) + " A)";
    }
    if (n_pairs > 3) named += " and " + std::to_string(n_pairs - 3) + " more pairs";
    return named;
}

/// Sites closer than 0.5 A: partially occupied ones are alternative positions; where
/// one is fully occupied, two atoms stand where one fits, which the user must check.
void report_close_sites(const SiteMerger& merger, const AtomTable& table,
                        const std::vector<std::uint32_t>& keys, Warnings& warnings) {
    std::vector<ClosePair> partial, full;  // both partly occupied (below 1 together), or not
    for (const ClosePair& pair : merger.close_pairs()) {
        const bool is_partial = merger.sites()[pair.first].occupancy_sum() < 1.0 - 1e-6 &&
                                merger.sites()[pair.second].occupancy_sum() < 1.0 - 1e-6;
        (is_partial ? partial : full).push_back(pair);
    }
    if (!partial.empty())
        warnings.push_back("partially occupied sites stand closer than 0.5 A, so they are "
                           "alternative positions never filled at once: " +
                           close_rows_named(partial, merger, table, keys) +
                           "; the RDF still counts pairs between them, weighted by the occupancies");
    if (!full.empty())
        warnings.push_back("fully occupied sites stand closer than 0.5 A, where no two atoms fit: " +
                           close_rows_named(full, merger, table, keys) +
                           "; they are read as written (is a row repeated, or are the symmetry "
                           "operations or the coordinates' precision off?)");
}

}  // namespace

Result<std::vector<Site>> cif_sites(const Block& block, const std::vector<SymmOp>& ops,
                                    const Lattice& lattice, double symprec, Warnings& warnings) {
    auto table = atom_table(block);
    if (!table) return fail(table.error());
    const CifLoop& atoms = *table->loop;
    const std::size_t n_rows = atoms.n_rows();
    if (auto fits = check_expansion(n_rows, ops.size()); !fits) return fail(fits.error());
    const std::vector<std::uint32_t> keys = label_keys(*table);
    const std::vector<double> uiso = site_displacements(block, atoms, lattice, warnings);

    SiteMerger merger(symprec, n_rows * ops.size());
    merger.watch_close(lattice, 0.5);
    RowFindings findings;
    RowImages images;
    {
        // Freed before the close sites are looked for.
        RepeatedRows earlier_rows(n_rows);
        AtomRow atom;
        for (std::uint32_t r = 0; r < n_rows; ++r) {
            auto readable = read_row(*table, r, atom, findings, warnings);
            if (!readable) return fail(readable.error());
            if (!*readable) continue;
            const auto earlier = earlier_rows.earlier(*table, keys, r, atom);
            if (earlier.same_label) {
                findings.repeats.emplace_back(r, *earlier.same_label);  // the same atom: its images change nothing
                continue;
            }
            if (earlier.other_label) findings.distinct_repeats.emplace_back(r, *earlier.other_label);
            if (auto placed = place_images(atom, r, keys[r], uiso[r], ops, lattice, symprec, *table, merger,
                                           images, findings);
                !placed)
                return fail(placed.error());
        }
    }
    if (merger.sites().empty()) return fail("CIF contains no usable atom sites");
    report_rows(*table, findings, warnings);
    if (auto full = check_occupancies(merger, *table, findings.distinct_repeats); !full) return fail(full.error());
    report_close_sites(merger, *table, keys, warnings);
    return merger.take();
}

}  // namespace kelvara
