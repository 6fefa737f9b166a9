// Multi-frame XYZ trajectories: the per-frame parser and the streaming reader.
#include "core/trajectory.hpp"

#include <algorithm>  // for std::max
#include <array>
#include <limits>
#include <utility>

#include "core/formats.hpp"      // for clean_symbol, lattice_numbers, parse_f64
#include "core/line_reader.hpp"  // for LineReader
#include "core/frame_format.hpp"  // for FrameFormat
#include "core/number.hpp"       // for parse_unsigned
#include "core/text.hpp"         // for whitespace_length_at, trim, for_each_word

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

Result<Structure> build_frame(std::string_view comment, std::span<const std::string_view> lines,
                              const std::optional<Mat3>& cell, std::uint64_t frame,
                              FrameFindings& findings) {
    auto lattice = frame_lattice(comment, cell, frame);
    if (!lattice) return fail(std::move(lattice.error()));
    auto columns = frame_columns(comment);
    if (!columns) return fail(std::move(columns.error()));
    const std::uint64_t species_column = columns->species;
    const std::uint64_t x_column = columns->position;
    // Column indices are saturated, so a huge layout makes every line incomplete.
    const std::uint64_t min_tokens =
        saturating_add(std::max(species_column, saturating_add(x_column, 2)), 1);

    std::vector<Site> sites;
    sites.reserve(lines.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string_view species;
        std::array<std::string_view, 3> position;
        std::array<std::string_view, 16> words;
        if (min_tokens <= words.size()) {
            const std::size_t seen = split_words(lines[k], words.data(), words.size());
            if (seen < min_tokens)
                return fail("frame " + std::to_string(frame) + ", atom line " + std::to_string(k + 1) +
                            " is incomplete");
            species = words[species_column];
            for (std::size_t j = 0; j < 3; ++j) position[j] = words[x_column + j];
        } else {
            std::uint64_t seen = 0;
            for_each_word(lines[k], [&](std::string_view token) {
                if (seen == species_column) species = token;
                if (seen >= x_column && seen - x_column < 3) position[seen - x_column] = token;
                return ++seen < min_tokens;
            });
            if (seen < min_tokens)
                return fail("frame " + std::to_string(frame) + ", atom line " + std::to_string(k + 1) +
                            " is incomplete");
        }
        Vec3 cart;
        for (std::size_t j = 0; j < 3; ++j) {
            auto value = parse_coordinate(position[j]);
            if (!value) return fail("expected a number, found " + quoted(position[j]));
            cart[j] = *value;
        }
        Site site;
        std::string symbol = clean_symbol(species);
        findings.species(species, symbol, [&] {
            return "frame " + std::to_string(frame) + ", atom line " + std::to_string(k + 1);
        });
        site.species.emplace_back(std::move(symbol), 1.0);
        site.frac = lattice->to_fractional(cart);
        sites.push_back(std::move(site));
    }
    return Structure::new_(std::move(*lattice), std::move(sites));
}

namespace {

/// The current kept frame: its comment and atom lines copied into buffers that
/// are reused from frame to frame, so a frame costs no allocation per line.
struct FrameText {
    std::string comment;
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // offset, length in `text`
    std::vector<std::string_view> lines;

    void reset(std::string_view new_comment) {
        comment.assign(new_comment);
        text.clear();
        spans.clear();
    }
    void add(std::string_view line) {
        spans.emplace_back(text.size(), line.size());
        text.append(line);
    }
    /// Views into `text`, valid until the next reset.
    std::span<const std::string_view> views() {
        lines.clear();
        for (auto [offset, length] : spans) lines.emplace_back(text.data() + offset, length);
        return lines;
    }
};

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
        if (keep) text_.reset(line);
        // The count comes from the file: read line by line, never reserve by it.
        for (std::uint64_t k = 0; k < *n_atoms; ++k) {
            status = reader.next(line, error);
            if (status == LineReader::Status::error) return fail(read_error("an atom line", error));
            if (status == LineReader::Status::end_of_file) {
                cut_short = true;
                return fail("frame " + std::to_string(i) + " ends after " + std::to_string(k) +
                            " of " + std::to_string(*n_atoms) + " atoms");
            }
            if (keep) text_.add(line);
        }
        if (keep) {
            auto structure = build_frame(text_.comment, text_.views(), cell_, i, findings);
            if (!structure) return fail(std::move(structure.error()));
            out = std::move(*structure);
        }
        return Next::frame;
    }

private:
    std::optional<Mat3> cell_;
    FrameText text_;
};

}  // namespace

std::unique_ptr<FrameFormat> xyz_format(const FrameContext& context) {
    return std::make_unique<XyzFormat>(context.cell);
}

}  // namespace kelvara
