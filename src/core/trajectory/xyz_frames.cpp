// XYZ trajectory frames: the comment-line fields, the frame builder and the frame format.
#include "core/trajectory/xyz_frames.hpp"

#include <algorithm>  // for std::max
#include <array>
#include <limits>
#include <utility>

#include "core/readers/formats.hpp"      // for clean_symbol, lattice_numbers, parse_f64
#include "core/util/line_reader.hpp"  // for LineReader
#include "core/trajectory/frame_format.hpp"  // for FrameFormat
#include "core/util/number.hpp"       // for parse_unsigned
#include "core/util/number_scan.hpp"  // for LineWords
#include "core/util/text.hpp"         // for whitespace_length_at, trim, for_each_word

namespace kelvara {

namespace {

constexpr std::uint64_t no_column = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > no_column - b ? no_column : a + b;
}

char ascii_lower_char(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

/// The whitespace bytes that may precede a key (no vertical tab).
bool is_key_separator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

/// Where the species and the x column sit in an atom line.
struct Columns {
    std::uint64_t species = 0;
    std::uint64_t position = 1;
};

Result<Lattice> frame_lattice(std::string_view comment, const std::optional<Mat3>& cell,
                              std::uint64_t frame) {
    if (auto value = comment_value(comment, "Lattice")) {
        const auto matrix = lattice_numbers(*value);
        if (!matrix) return fail(matrix.error());
        return Lattice::new_(*matrix);
    }
    if (cell) return Lattice::new_(*cell);
    return fail("frame " + std::to_string(frame) +
                " has no Lattice=\"...\" and no cell was given; an RDF of a periodic system "
                "needs the cell, so pass cell=[[a],[b],[c]]");
}

Result<Columns> frame_columns(std::string_view comment) {
    auto value = comment_value(comment, "Properties");
    if (!value) return Columns{};
    const std::string_view text = *value;
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        std::size_t colon = text.find(':', start);
        const std::size_t length = colon == std::string_view::npos ? colon : colon - start;
        fields.push_back(text.substr(start, length));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (fields.size() % 3 != 0) return fail("cannot read Properties=" + excerpt(text));
    Columns columns{no_column, no_column};
    std::uint64_t offset = 0;
    for (std::size_t f = 0; f < fields.size(); f += 3) {
        auto count = parse_unsigned(fields[f + 2]);
        if (!count) return fail("bad column count in Properties=" + excerpt(text));
        const std::string name = ascii_lower(fields[f]);
        if (name == "species" || name == "element" || name == "elements" || name == "symbols")
            columns.species = offset;
        else if (name == "pos" || name == "positions")
            columns.position = offset;
        offset = saturating_add(offset, *count);
    }
    if (columns.species == no_column || columns.position == no_column)
        return fail("Properties=" + excerpt(text) + " names no species or pos column");
    return columns;
}

}  // namespace

std::optional<std::string_view> comment_value(std::string_view comment, std::string_view key) {
    const std::size_t needle = key.size() + 1;  // the key and "="
    if (comment.size() < needle) return std::nullopt;
    const char first = ascii_lower_char(key.empty() ? '=' : key[0]);
    for (std::size_t pos = 0; pos + needle <= comment.size(); ++pos) {
        if (ascii_lower_char(comment[pos]) != first) continue;
        bool match = comment[pos + key.size()] == '=';
        for (std::size_t k = 1; match && k < key.size(); ++k)
            match = ascii_lower_char(comment[pos + k]) == ascii_lower_char(key[k]);
        if (!match) continue;
        if (pos > 0 && !is_key_separator(comment[pos - 1])) {
            pos += needle - 1;  // resume after this occurrence
            continue;
        }
        std::string_view rest = comment.substr(pos + needle);
        if (rest.empty()) return rest;
        if (rest[0] == '"') {
            rest.remove_prefix(1);
            return rest.substr(0, rest.find('"'));
        }
        std::size_t end = 0;
        while (end < rest.size() && !whitespace_length_at(rest, end)) ++end;
        return rest.substr(0, end);
    }
    return std::nullopt;
}

Result<void> XyzFrameBuilder::begin(std::string_view comment, const std::optional<Mat3>& cell,
                                    std::uint64_t frame) {
    frame_ = frame;
    sites_.clear();
    first_seen_.clear();
    species_words_.clear();
    auto lattice = frame_lattice(comment, cell, frame);
    if (!lattice) return fail(std::move(lattice.error()));
    lattice_ = std::move(*lattice);
    auto columns = frame_columns(comment);
    if (!columns) return fail(std::move(columns.error()));
    species_column_ = columns->species;
    x_column_ = columns->position;
    // Column indices are saturated, so a huge layout makes every line incomplete.
    min_tokens_ = saturating_add(std::max(species_column_, saturating_add(x_column_, 2)), 1);
    return {};
}

Result<void> XyzFrameBuilder::add(std::string_view line) {
    const std::size_t k = sites_.size();
    std::string_view species;
    Vec3 cart;
    std::array<std::string_view, 3> position;
    std::size_t bad = 3;  // the first coordinate that is not a number
    // One pass over the columns in use: the coordinates read as they are met, the
    // other columns passed over.
    LineWords words(line);
    std::uint64_t seen = 0;
    for (std::string_view word; seen < min_tokens_; ++seen) {
        const std::uint64_t a = seen - x_column_;
        if (a < 3) {
            const auto got = words.coordinate(cart[a], position[a]);
            if (got == LineWords::Number::end) break;
            if (got == LineWords::Number::bad && bad == 3) bad = static_cast<std::size_t>(a);
        } else {
            if (!words.word(word)) break;
            if (seen == species_column_) species = word;
        }
    }
    if (seen < min_tokens_)
        return fail("frame " + std::to_string(frame_) + ", atom line " + std::to_string(k + 1) +
                    " is incomplete");
    if (bad != 3) return fail("expected a number, found " + quoted(position[bad]));
    const SpeciesList* list = species_words_.find(species);
    if (!list) {
        // A word met for the first time in this frame: the symbol is worked out once.
        std::string symbol = clean_symbol(species);
        bool seen = false;
        for (const FirstSeen& first : first_seen_) seen = seen || first.symbol == symbol;
        if (!seen || species.size() > symbol.size()) first_seen_.push_back({std::string(species), symbol, k});
        list = &species_words_.add(species, std::move(symbol));
    }
    // Lattice::to_fractional, written out: the same operations in the same order.
    const Mat3& inverse = lattice_.inverse;
    Vec3 frac;
    for (int j = 0; j < 3; ++j)
        frac[j] = (cart[0] * inverse[0][j] + cart[1] * inverse[1][j]) + cart[2] * inverse[2][j];
    sites_.emplace_back(*list, frac);
    return {};
}

Result<Structure> XyzFrameBuilder::finish(FrameFindings& findings) {
    // The species of the frame, each where it first occurs, in the order met.
    for (const FirstSeen& first : first_seen_)
        findings.species(first.written, first.symbol, [&] {
            return "frame " + std::to_string(frame_) + ", atom line " + std::to_string(first.line + 1);
        });
    std::vector<Site> sites;
    sites.swap(sites_);
    return Structure::new_(std::move(lattice_), std::move(sites));
}

namespace {

/// XYZ frames: an atom count line, a comment line, the atom lines.
class XyzFormat final : public FrameFormat {
public:
    explicit XyzFormat(std::optional<Mat3> cell) : cell_(cell) {}

    Result<Next> next(LineReader& reader, std::uint64_t i, bool keep,
                      std::optional<Structure>& out) override {
        std::string_view line;
        std::string error;
        // The atom count, after any blank lines.
        LineReader::Status status;
        std::string_view count_text;
        while ((status = reader.next(line, error)) == LineReader::Status::line) {
            count_text = trim(line);
            if (!count_text.empty()) break;
        }
        if (status == LineReader::Status::error) return fail(read_error("the atom count", error));
        if (status == LineReader::Status::end_of_file) return Next::end;
        auto n_atoms = parse_unsigned(count_text);
        if (!n_atoms)
            return fail("frame " + std::to_string(i) + ": expected an atom count, found " +
                        quoted(count_text));

        status = reader.next(line, error);
        if (status == LineReader::Status::error) return fail(read_error("the comment line", error));
        if (status == LineReader::Status::end_of_file) {
            cut_short = true;
            return fail("frame " + std::to_string(i) + " ends before its comment line");
        }
        // Each atom line goes into the frame as it comes. The frame's first error
        // is kept and told once all its lines are there, so that a frame cut short
        // says so first (the file may still be growing).
        std::optional<std::string> failure;
        if (keep) {
            if (auto begun = builder_.begin(line, cell_, i); !begun) {
                failure = std::move(begun.error());
            } else {
                // The count comes from the file: reserve at most what the last frame held.
                builder_.reserve(static_cast<std::size_t>(
                    std::min<std::uint64_t>(*n_atoms, std::max<std::size_t>(last_atoms_, 4096))));
            }
        }
        for (std::uint64_t k = 0; k < *n_atoms; ++k) {
            status = reader.next(line, error);
            if (status == LineReader::Status::error) return fail(read_error("an atom line", error));
            if (status == LineReader::Status::end_of_file) {
                cut_short = true;
                return fail("frame " + std::to_string(i) + " ends after " + std::to_string(k) +
                            " of " + std::to_string(*n_atoms) + " atoms");
            }
            if (keep && !failure)
                if (auto added = builder_.add(line); !added) failure = std::move(added.error());
        }
        if (keep) {
            if (failure) return fail(std::move(*failure));
            last_atoms_ = static_cast<std::size_t>(*n_atoms);
            auto structure = builder_.finish(findings);
            if (!structure) return fail(std::move(structure.error()));
            out = std::move(*structure);
        }
        return Next::frame;
    }

private:
    std::optional<Mat3> cell_;
    XyzFrameBuilder builder_;
    std::size_t last_atoms_ = 0;  // atoms of the last kept frame
};

}  // namespace

std::unique_ptr<FrameFormat> xyz_format(const FrameContext& context) {
    return std::make_unique<XyzFormat>(context.cell);
}

}  // namespace kelvara
