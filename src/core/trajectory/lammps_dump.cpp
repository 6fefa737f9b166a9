// LAMMPS text dumps (dump atom / dump custom) read frame by frame.
#include "core/trajectory/lammps_dump.hpp"

#include <algorithm>  // for std::sort, std::min, std::max
#include <array>
#include <cmath>  // for std::isfinite, std::fabs
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/readers/formats.hpp"  // for clean_symbol
#include "core/util/number.hpp"   // for parse_decimal, parse_unsigned, format_shortest
#include "core/util/number_scan.hpp"  // for LineWords
#include "core/util/text.hpp"     // for trim, for_each_word, split_whitespace

namespace kelvara {

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

/// Where the needed columns sit in an atom line of the current ATOMS header.
struct Layout {
    std::size_t id = none, type = none, element = none, x = none;
    bool scaled = false;  // xs ys zs or xsu ysu zsu: fractional coordinates
    std::size_t min_tokens = 0;
};

/// A Cartesian box: rows a, b, c and its origin (xlo, ylo, zlo).
struct Box {
    Mat3 matrix{};
    Vec3 origin{};
};

std::array<std::size_t, 128> filled(std::size_t value) {
    std::array<std::size_t, 128> table;
    table.fill(value);
    return table;
}

/// An atom id: optional "-" or "+", then decimal digits, within the int64 range.
std::optional<std::int64_t> atom_id(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    if (!text.empty() && text.size() <= 18 && text[0] != '+') {
        // Up to 18 digits cannot overflow: read them inline.
        std::int64_t value = 0;
        for (char c : text) {
            if (static_cast<unsigned>(c - '0') >= 10) return std::nullopt;
            value = value * 10 + (c - '0');
        }
        return negative ? -value : value;
    }
    auto magnitude = parse_unsigned(text);
    if (!magnitude || *magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return negative ? -static_cast<std::int64_t>(*magnitude) : static_cast<std::int64_t>(*magnitude);
}

class LammpsDump final : public FrameFormat {
public:
    explicit LammpsDump(const FrameContext& context) : types_(context.types) {}

    Result<Next> next(LineReader& lines, std::uint64_t index, bool keep,
                      std::optional<Structure>& out) override;

private:
    Result<Box> box(LineReader& lines, std::uint64_t index, std::string_view header);
    Result<Layout> layout(std::uint64_t index, std::string_view header);
    /// The `type_cache_` entry of a LAMMPS type, made on first sight.
    Result<std::size_t> element_of_type(std::uint64_t index, std::string_view type);

    std::vector<std::pair<std::string, std::string>> types_;
    // Per-frame working arrays, reused.
    std::vector<std::int64_t> ids_;             // atom ids in file order
    std::vector<std::string_view> words_;       // the first columns of an atom line
    std::size_t last_atoms_ = 0;                // atoms of the last kept frame
    std::vector<std::string> elements_;          // distinct elements of the run so far
    std::vector<SpeciesList> element_species_;   // each of elements_, fully occupied
    std::vector<std::pair<std::string, std::size_t>> type_cache_;  // type token -> element
    std::array<std::size_t, 128> one_byte_types_ = filled(none);  // type_cache_ entries
    SpeciesWords element_words_;                 // words of the element column so far
    std::string atoms_header_;
    Layout layout_;
    bool tilt_noted_ = false;  // a tilt beyond LAMMPS's limit is said once per read
};

Result<Box> LammpsDump::box(LineReader& lines, std::uint64_t index, std::string_view header) {
    // "ITEM: BOX BOUNDS [xy xz yz] xx yy zz": the last three words are the boundaries.
    const auto words = split_whitespace(header);
    const bool triclinic = words.size() >= 6 && words[3] == "xy";
    if (words.size() >= 4 && (words[3] == "abc" || words[3] == "avec"))
        return fail(where(index) + ": a general triclinic box (" + excerpt(header) +
                    ") is not read; dump the restricted triclinic form (xy xz yz)");
    if (words.size() >= 3 + 3) {
        static const char* axes[] = {"x", "y", "z"};
        for (std::size_t k = 0; k < 3; ++k) {
            const std::string_view flag = words[words.size() - 3 + k];
            if (flag != "pp")
                return fail(where(index) + ": the box is not periodic along " + axes[k] +
                            " (boundary '" + excerpt(flag) +
                            "'); an RDF over periodic images needs a periodic box");
        }
    }
    std::array<std::array<double, 3>, 3> bounds{};
    for (std::size_t k = 0; k < 3; ++k) {
        auto line = need(lines, index, "its box bounds");
        if (!line) return fail(std::move(line.error()));
        std::size_t n = 0;
        bool bad = false;
        for_each_word(*line, [&](std::string_view token) {
            if (n == 3) {
                bad = true;
                return false;
            }
            auto value = parse_decimal(token);
            if (!value || *value != *value) bad = true;
            else bounds[k][n] = *value;
            ++n;
            return !bad;
        });
        if (bad || n < 2 || (n == 3) != triclinic)
            return fail(where(index) + ": cannot read box bounds line " + std::to_string(k + 1) +
                        " '" + excerpt(*line) + "' (expected " + (triclinic ? "3" : "2") +
                        " numbers)");
    }
    const double xy = triclinic ? bounds[0][2] : 0.0, xz = triclinic ? bounds[1][2] : 0.0,
                 yz = triclinic ? bounds[2][2] : 0.0;
    // The bounds of a tilted box enclose it: take the tilts back out.
    const double xlo = bounds[0][0] - std::min({0.0, xy, xz, xy + xz});
    const double xhi = bounds[0][1] - std::max({0.0, xy, xz, xy + xz});
    const double ylo = bounds[1][0] - std::min(0.0, yz);
    const double yhi = bounds[1][1] - std::max(0.0, yz);
    const double zlo = bounds[2][0], zhi = bounds[2][1];
    const double lengths[3] = {xhi - xlo, yhi - ylo, zhi - zlo};
    static const char* axes[] = {"x", "y", "z"};
    for (std::size_t k = 0; k < 3; ++k)
        if (!(lengths[k] > 0.0 && std::isfinite(lengths[k])))
            return fail(where(index) + ": the box bounds " + format_shortest(bounds[k][0]) + " " +
                        format_shortest(bounds[k][1]) + " leave a length of " +
                        format_shortest(lengths[k]) + " along " + axes[k] +
                        (triclinic ? " once the tilt factors are taken out" : "") +
                        "; a box needs a positive length");
    // LAMMPS keeps |xy|, |xz| <= lx/2 and |yz| <= ly/2 (a box past that is flipped);
    // a larger tilt is a valid cell, but not one LAMMPS wrote by itself.
    const double tilts[3] = {xy, xz, yz};
    static const char* tilt_names[] = {"xy", "xz", "yz"};
    for (std::size_t k = 0; k < 3 && !tilt_noted_; ++k) {
        const double half = 0.5 * lengths[k == 2 ? 1 : 0];
        if (std::fabs(tilts[k]) > half * (1.0 + 1e-9)) {
            tilt_noted_ = true;
            findings.list.push_back(where(index) + ": the tilt factor " + tilt_names[k] + " = " +
                                    format_shortest(tilts[k]) + " is more than half the box length " +
                                    format_shortest(2.0 * half) + " along " + (k == 2 ? "y" : "x") +
                                    ", beyond what LAMMPS itself writes; the cell is read as given");
        }
    }
    Box result;
    result.matrix = {{{xhi - xlo, 0.0, 0.0}, {xy, yhi - ylo, 0.0}, {xz, yz, zhi - zlo}}};
    result.origin = {xlo, ylo, zlo};
    return result;
}

Result<Layout> LammpsDump::layout(std::uint64_t index, std::string_view header) {
    if (header == atoms_header_) return layout_;
    const auto words = split_whitespace(header);  // "ITEM:", "ATOMS", columns...
    Layout result;
    std::array<std::array<std::size_t, 3>, 4> triples;
    for (auto& t : triples) t = {none, none, none};
    static const std::array<std::array<std::string_view, 3>, 4> names = {{
        {"x", "y", "z"}, {"xs", "ys", "zs"}, {"xu", "yu", "zu"}, {"xsu", "ysu", "zsu"}}};
    for (std::size_t k = 2; k < words.size(); ++k) {
        const std::size_t column = k - 2;
        const std::string_view w = words[k];
        if (w == "id") result.id = column;
        else if (w == "type") result.type = column;
        else if (w == "element") result.element = column;
        for (std::size_t t = 0; t < 4; ++t)
            for (std::size_t a = 0; a < 3; ++a)
                if (w == names[t][a]) triples[t][a] = column;
    }
    for (std::size_t t = 0; t < 4 && result.x == none; ++t) {
        const auto& c = triples[t];
        if (c[0] != none && c[1] == c[0] + 1 && c[2] == c[0] + 2) {
            result.x = c[0];
            result.scaled = t == 1 || t == 3;
        }
    }
    if (result.x == none)
        return fail(where(index) + ": the ATOMS columns (" + excerpt(header) +
                    ") hold no consecutive x y z, xs ys zs, xu yu zu or xsu ysu zsu");
    if (result.element == none && result.type == none)
        return fail(where(index) + ": the ATOMS columns (" + excerpt(header) +
                    ") hold neither an element nor a type column");
    std::size_t last = result.x + 2;
    for (std::size_t c : {result.id, result.type, result.element})
        if (c != none) last = std::max(last, c);
    result.min_tokens = last + 1;
    atoms_header_.assign(header);
    layout_ = result;
    return result;
}

Result<std::size_t> LammpsDump::element_of_type(std::uint64_t index, std::string_view type) {
    for (std::size_t k = 0; k < type_cache_.size(); ++k)
        if (type_cache_[k].first == type) return k;
    const std::string* name = nullptr;
    for (const auto& [key, value] : types_)
        if (key == type) name = &value;
    if (!name) {
        if (types_.empty())
            return fail(where(index) + ": atoms have LAMMPS type " + quoted(type) +
                        " and the dump has no element column; name the elements of the types: "
                        "types={1: 'Si', 2: 'O'} in Python, --types 1=Si,2=O on the command line");
        std::string known;
        for (const auto& [key, value] : types_) known += (known.empty() ? "" : ", ") + key;
        return fail(where(index) + ": LAMMPS type " + quoted(type) +
                    " has no element in types (which names " + known + ")");
    }
    findings.species(*name, *name, [&] { return where(index) + ", LAMMPS type " + quoted(type); });
    std::size_t e = 0;
    while (e < elements_.size() && elements_[e] != *name) ++e;
    if (e == elements_.size()) {
        elements_.push_back(*name);
        element_species_.push_back(SpeciesList{{*name, 1.0}});
    }
    type_cache_.emplace_back(std::string(type), e);
    return type_cache_.size() - 1;
}

Result<FrameFormat::Next> LammpsDump::next(LineReader& lines, std::uint64_t index, bool keep,
                                           std::optional<Structure>& out) {
    std::string_view line;
    std::string error;
    LineReader::Status status;
    while ((status = lines.next(line, error)) == LineReader::Status::line && trim(line).empty()) {
    }
    if (status == LineReader::Status::error)
        return fail(where(index) + ": " + read_error("ITEM: TIMESTEP", error));
    if (status == LineReader::Status::end_of_file) return Next::end;
    // "dump_modify units yes" and "time yes" put their items before the timestep.
    while (trim(line) == "ITEM: UNITS" || trim(line) == "ITEM: TIME") {
        auto value = need(lines, index, "the value of an item");
        if (!value) return fail(std::move(value.error()));
        auto next = need(lines, index, "ITEM: TIMESTEP");
        if (!next) return fail(std::move(next.error()));
        line = *next;
    }
    if (trim(line) != "ITEM: TIMESTEP")
        return fail(where(index) + ": expected 'ITEM: TIMESTEP', found " + quoted(line));

    std::optional<std::uint64_t> n_atoms;
    std::optional<Box> box_value;
    for (;;) {
        auto item = need(lines, index, "its ATOMS section");
        if (!item) return fail(std::move(item.error()));
        const std::string_view header = trim(*item);
        if (header.starts_with("ITEM: NUMBER OF ATOMS")) {
            auto count = need(lines, index, "its atom count");
            if (!count) return fail(std::move(count.error()));
            n_atoms = parse_unsigned(trim(*count));
            if (!n_atoms)
                return fail(where(index) + ": expected an atom count, found " +
                            quoted(trim(*count)));
        } else if (header.starts_with("ITEM: BOX BOUNDS")) {
            auto parsed = box(lines, index, header);
            if (!parsed) return fail(std::move(parsed.error()));
            box_value = *parsed;
        } else if (header.starts_with("ITEM: ATOMS")) {
            if (!n_atoms) return fail(where(index) + " has no ITEM: NUMBER OF ATOMS before its atoms");
            if (!box_value) return fail(where(index) + " has no ITEM: BOX BOUNDS before its atoms");
            auto columns = layout(index, header);
            if (!columns) return fail(std::move(columns.error()));
            break;
        } else if (header.starts_with("ITEM: TIMESTEP")) {
            return fail(where(index) + " has no ITEM: ATOMS section");
        } else if (header.starts_with("ITEM:")) {
            // TIMESTEP's value, UNITS, TIME and other one-value items.
            auto value = need(lines, index, "the value of an item");
            if (!value) return fail(std::move(value.error()));
        }
        // The timestep number itself (the line after ITEM: TIMESTEP) lands here too.
    }

    const Layout columns = layout_;
    bool sorted = true;
    std::int64_t previous_id = INT64_MIN;
    Lattice lattice;
    std::vector<Site> sites;
    if (keep) {
        auto made = Lattice::new_(box_value->matrix);
        if (!made) return fail(where(index) + ": " + made.error());
        lattice = *made;
        // The count comes from the file: reserve at most what the previous frame held.
        sites.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>(*n_atoms, std::max<std::size_t>(last_atoms_, 4096))));
        ids_.clear();
        if (words_.size() < columns.min_tokens) words_.resize(columns.min_tokens);
    }
    const Mat3& inverse = lattice.inverse;
    const Vec3 origin = box_value->origin;
    std::string_view* const token = words_.data();
    for (std::uint64_t k = 0; k < *n_atoms; ++k) {
        status = lines.next(line, error);
        if (status == LineReader::Status::error)
            return fail(where(index) + ": " + read_error("an atom line", error));
        if (status == LineReader::Status::end_of_file) {
            cut_short = true;
            return fail(where(index) + " ends after " + std::to_string(k) + " of " +
                        std::to_string(*n_atoms) + " atoms");
        }
        if (!keep) {
            if (line.starts_with("ITEM:"))
                return fail(where(index) + " has " + std::to_string(k) + " atom lines, but its "
                            "NUMBER OF ATOMS says " + std::to_string(*n_atoms));
            continue;
        }
        // One pass over the columns in use: the coordinates read as they are met.
        LineWords words(line);
        Vec3 p;
        std::size_t bad = 3;  // the first coordinate that is not a number
        std::size_t seen = 0;
        for (; seen < columns.min_tokens; ++seen) {
            const std::size_t a = seen - columns.x;
            if (a < 3) {
                const auto got = words.coordinate(p[a], token[seen]);
                if (got == LineWords::Number::end) break;
                if (got == LineWords::Number::bad && bad == 3) bad = a;
            } else if (!words.word(token[seen])) {
                break;
            }
        }
        if (seen < columns.min_tokens) {
            if (line.starts_with("ITEM:"))
                return fail(where(index) + " has " + std::to_string(k) + " atom lines, but its "
                            "NUMBER OF ATOMS says " + std::to_string(*n_atoms));
            return fail(where(index) + ", atom line " + std::to_string(k + 1) + " is incomplete");
        }
        if (bad != 3)
            return fail(where(index) + ", atom line " + std::to_string(k + 1) +
                        ": expected a number, found " + quoted(token[columns.x + bad]));
        std::int64_t id = static_cast<std::int64_t>(k);
        if (columns.id != none) {
            auto parsed = atom_id(token[columns.id]);
            if (!parsed)
                return fail(where(index) + ", atom line " + std::to_string(k + 1) +
                            ": expected an atom id, found " + quoted(token[columns.id]));
            id = *parsed;
            if (id <= previous_id) sorted = false;
            previous_id = id;
        }
        const SpeciesList* species;
        if (columns.element != none) {
            const std::string_view written = token[columns.element];
            species = element_words_.find(written);
            if (!species) {
                // Worked out, and noted when it is not an element, where it first occurs.
                std::string symbol = clean_symbol(written);
                findings.species(written, symbol, [&] {
                    return where(index) + ", atom line " + std::to_string(k + 1);
                });
                species = &element_words_.add(written, std::move(symbol));
            }
        } else {
            const std::string_view type = token[columns.type];
            // Types are mostly one character ("1", "2"): looked up by that byte.
            const auto first = static_cast<unsigned char>(type[0]);
            std::size_t entry = type.size() == 1 && first < 128 ? one_byte_types_[first] : none;
            if (entry == none) {
                auto e = element_of_type(index, type);
                if (!e) return fail(std::move(e.error()));
                entry = *e;
                if (type.size() == 1 && first < 128) one_byte_types_[first] = entry;
            }
            species = &element_species_[type_cache_[entry].second];
        }
        Vec3 frac;
        if (columns.scaled) {
            frac = p;
        } else {
            // Lattice::to_fractional, written out: the same operations in the same order.
            const Vec3 c{p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
            for (int j = 0; j < 3; ++j)
                frac[j] = (c[0] * inverse[0][j] + c[1] * inverse[1][j]) + c[2] * inverse[2][j];
        }
        sites.emplace_back(*species, frac);
        if (columns.id != none) ids_.push_back(id);
    }
    if (!keep) return Next::frame;
    last_atoms_ = sites.size();
    if (!sorted) {
        // Sort by atom id: an order of the sites, then the sites moved into it.
        std::vector<std::size_t> order(sites.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return ids_[a] < ids_[b]; });
        for (std::size_t k = 1; k < order.size(); ++k)
            if (ids_[order[k]] == ids_[order[k - 1]])
                return fail(where(index) + ": atom id " + std::to_string(ids_[order[k]]) +
                            " occurs twice");
        std::vector<Site> in_order;
        in_order.reserve(sites.size());
        for (std::size_t k : order) in_order.push_back(std::move(sites[k]));
        sites = std::move(in_order);
    }
    auto structure = Structure::new_(std::move(lattice), std::move(sites));
    if (!structure) return fail(where(index) + ": " + structure.error());
    out = std::move(*structure);
    return Next::frame;
}

}  // namespace

std::unique_ptr<FrameFormat> lammps_dump_format(const FrameContext& context) {
    return std::make_unique<LammpsDump>(context);
}

}  // namespace kelvara
