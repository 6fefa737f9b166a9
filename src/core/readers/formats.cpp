// POSCAR and extended XYZ readers, and the species-name rule they share.
#include "core/readers/formats.hpp"

#include <algorithm>  // for std::min
#include <cmath>      // for std::cbrt, std::isfinite
#include <optional>
#include <string>
#include <vector>

#include "core/model/elements.hpp"  // for is_element
#include "core/util/number.hpp"    // for parse_decimal, parse_unsigned
#include "core/util/text.hpp"    // for trim, quoted, split_whitespace, whitespace_length_at

namespace kelvara {

namespace {
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
}  // namespace

std::string clean_symbol(std::string_view text) {
    if (text.empty() || !is_ascii_letter(text[0])) return std::string(text);
    // "SR", "CL": a species in capitals whose two letters are an element is that element.
    if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'A' && text[1] <= 'Z') {
        const std::string title{text[0], static_cast<char>(text[1] - 'A' + 'a')};
        if (is_element(title)) return title;
    }
    std::string symbol(1, text[0] >= 'a' ? static_cast<char>(text[0] - 'a' + 'A') : text[0]);
    if (text.size() > 1 && text[1] >= 'a' && text[1] <= 'z') symbol += text[1];
    return symbol;
}

std::string dropped_letter_note(std::string_view written, std::string_view symbol,
                                std::string_view place) {
    if (symbol.size() != 1 || written.size() < 2 || static_cast<unsigned char>(written[1]) < 0x80)
        return {};
    // The whole character (a UTF-8 sequence, its lead byte saying how long).
    const auto lead = static_cast<unsigned char>(written[1]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const std::string_view dropped = written.substr(1, length);
    return "species " + quoted(written) + " " + std::string(place) + " reads as " + quoted(symbol) +
           ": " + quoted(dropped) + " is not an ASCII letter, so it is not read as the second "
           "letter of the symbol";
}

Result<double> parse_f64(std::string_view token) {
    if (auto value = parse_decimal(token)) return *value;
    return fail("expected a number, found " + quoted(token));
}

namespace {

/// Up to `N` leading whitespace-separated words of `line`; returns how many there were.
template <std::size_t N>
std::size_t first_words(std::string_view line, std::string_view (&words)[N]) {
    std::size_t count = 0, i = 0;
    const std::size_t n = line.size();
    while (i < n && count < N) {
        if (const std::size_t w = whitespace_length_at(line, i)) {
            i += w;
            continue;
        }
        const std::size_t start = i;
        while (i < n && !whitespace_length_at(line, i)) ++i;
        words[count++] = line.substr(start, i - start);
    }
    return count;
}

/// Lines of a text read one at a time, by the rule of `split_lines` ("\n" ends a line,
/// one "\r" before it is dropped, a last line without "\n" counts), so that a file of
/// a million atoms needs no array of its lines.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text) {}

    /// The next line, or false at the end of the text.
    bool next(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        const std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) {
            line = text_.substr(pos_);
            pos_ = text_.size();
            return true;
        }
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = end + 1;
        return true;
    }
    /// Bytes not yet read.
    std::size_t remaining() const { return text_.size() - pos_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

/// A bound on the number of lines left that could each hold `min_words` words.
std::uint64_t max_lines_left(const LineCursor& cursor, std::size_t min_words) {
    return cursor.remaining() / (2 * min_words) + 1;  // a word and a separator each
}

/// The first non-whitespace byte of `line`, or 0.
char first_char(std::string_view line) {
    const std::string_view t = trim(line);
    return t.empty() ? '\0' : t.front();
}

/// `message`, with the line named when `text` holds bytes that are not UTF-8.
std::string with_line(std::string message, std::string_view text, std::uint64_t line) {
    if (!is_valid_utf8(text))
        message += " (line " + std::to_string(line) + " holds bytes that are not UTF-8)";
    return message;
}

/// Three finite numbers from `words`; a failure names the line as `what` and `number`
/// ("coordinate line 3 holds a number that is not finite: 'inf'").
Result<Vec3> read_vector(const std::string_view* words, const char* what, std::uint64_t number,
                         std::uint64_t line) {
    Vec3 out{};
    for (std::size_t c = 0; c < 3; ++c) {
        auto value = parse_f64(words[c]);
        if (!value) return fail(with_line(value.error(), words[c], line));
        if (!std::isfinite(*value))
            return fail(std::string(what) + " " + std::to_string(number) +
                        " holds a number that is not finite: " + quoted(words[c]));
        out[c] = *value;
    }
    return out;
}

/// Whether a species name is an element symbol, alone or with a suffix that is not a
/// letter ("Si", "SI", "Fe_pv", "O2-"; not "silicon", "POSCAR" or "bulk").
bool names_an_element(std::string_view word) {
    const std::string symbol = clean_symbol(word);
    return is_element(symbol) && (word.size() == symbol.size() || !is_ascii_letter(word[symbol.size()]));
}

/// The element of a species name on `line`; a name that is not an element is kept,
/// and said once; one that is not UTF-8 is refused.
Result<std::string> species_of(std::string_view name, std::uint64_t line,
                               NotElementNotes& reported, Warnings& warnings) {
    if (!is_valid_utf8(name))
        return fail(with_line("species name " + quoted(name) + " cannot be read", name, line));
    std::string symbol = clean_symbol(name);
    if (auto note = dropped_letter_note(name, symbol, "on line " + std::to_string(line)); !note.empty())
        warnings.push_back(std::move(note));
    if (!is_element(symbol))
        reported.note(symbol, [&] {
            return "species " + quoted(name) + " on line " + std::to_string(line) + " reads as " +
                   quoted(symbol) + ", which is not a chemical element";
        }, warnings);
    return symbol;
}

/// The elements of a formula that gives one count per element, in order ("Mn12 O12",
/// "# Mn12O12"), when its counts are `counts`; nothing otherwise. Words of
/// punctuation alone ("#") are passed over.
std::optional<std::vector<std::string>> formula_species(std::string_view comment,
                                                        const std::vector<std::uint64_t>& counts) {
    std::string formula;
    for (std::string_view word : split_whitespace(comment)) {
        bool letters_or_digits = false;
        for (char c : word) letters_or_digits |= is_ascii_letter(c) || (c >= '0' && c <= '9');
        if (letters_or_digits) formula += word;
    }
    std::vector<std::string> names;
    std::size_t i = 0;
    while (i < formula.size()) {
        if (!(formula[i] >= 'A' && formula[i] <= 'Z')) return std::nullopt;
        std::string symbol(1, formula[i++]);
        if (i < formula.size() && formula[i] >= 'a' && formula[i] <= 'z') symbol += formula[i++];
        const std::size_t digits = i;
        while (i < formula.size() && formula[i] >= '0' && formula[i] <= '9') ++i;
        const auto count = parse_unsigned(std::string_view(formula).substr(digits, i - digits));
        if (!is_element(symbol) || !count || names.size() >= counts.size() || *count != counts[names.size()])
            return std::nullopt;
        names.push_back(std::move(symbol));
    }
    if (names.size() != counts.size()) return std::nullopt;
    return names;
}

bool all_finite(const Mat3& m) {
    for (const Vec3& row : m)
        for (double x : row)
            if (!std::isfinite(x)) return false;
    return true;
}

}  // namespace

// ---- POSCAR ----------------------------------------------------------------------

Result<ReadStructure> parse_poscar(std::string_view text) {
    Warnings warnings;
    LineCursor cursor(text);
    std::string_view lines[9];  // the header: up to 9 lines with selective dynamics
    std::size_t n_header = 0;
    while (n_header < 8 && cursor.next(lines[n_header])) ++n_header;
    if (n_header < 8) return fail("POSCAR is too short to contain a structure");

    std::string_view scale_word[1] = {std::string_view()};
    first_words(lines[1], scale_word);
    auto scale = parse_f64(scale_word[0]);
    if (!scale) return fail(with_line(scale.error(), scale_word[0], 2));
    if (!std::isfinite(*scale))
        return fail("the scale factor on line 2 is not a finite number: " + quoted(scale_word[0]));

    Mat3 unscaled{};
    for (std::size_t r = 0; r < 3; ++r) {
        std::string_view words[3];
        if (first_words(lines[2 + r], words) < 3)
            return fail("lattice vector " + std::to_string(r + 1) + " is incomplete");
        auto row = read_vector(words, "lattice vector", r + 1, r + 3);
        if (!row) return fail(row.error());
        unscaled[r] = *row;
    }
    double effective_scale = *scale;
    if (*scale < 0.0) {
        // A negative scale is the wanted cell volume.
        auto unscaled_lattice = Lattice::new_(unscaled);
        if (!unscaled_lattice) return fail(unscaled_lattice.error());
        effective_scale = std::cbrt(-*scale / unscaled_lattice->volume());
    }
    Mat3 scaled{};
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) scaled[r][c] = unscaled[r][c] * effective_scale;
    if (!all_finite(scaled))
        return fail("the lattice vectors times the scale factor " + quoted(scale_word[0]) +
                    " are not finite");
    auto lattice = Lattice::new_(scaled);
    if (!lattice) return fail(lattice.error());

    // Species names and counts: VASP 5 has a line of names before the counts.
    const std::vector<std::string_view> line6 = split_whitespace(lines[5]);
    const bool vasp4 = line6.empty() || parse_unsigned(line6[0]).has_value();
    std::vector<std::string_view> names = vasp4 ? split_whitespace(lines[0]) : line6;
    // A VASP 4 comment names the species only when every word is an element
    // ("POSCAR generated by ..." names none).
    if (vasp4)
        for (std::string_view word : names)
            if (!names_an_element(word)) {
                names.clear();
                break;
            }
    const std::vector<std::string_view> count_words = vasp4 ? line6 : split_whitespace(lines[6]);
    std::size_t mode_line = vasp4 ? 6 : 7;  // 0-based
    std::vector<std::uint64_t> counts;
    counts.reserve(count_words.size());
    for (std::string_view word : count_words) {
        auto count = parse_unsigned(word);
        if (!count) return fail(with_line("bad atom count " + quoted(word), word, vasp4 ? 6 : 7));
        counts.push_back(*count);
    }
    // A VASP 4 comment that is a formula whose counts are the counts line names the
    // species too ("# Mn12 O12" over "12 12"), and that is said.
    std::optional<std::vector<std::string>> formula;
    if (vasp4 && names.size() < counts.size()) formula = formula_species(lines[0], counts);
    if (formula) {
        names.assign(formula->begin(), formula->end());
        std::string listed;
        for (const std::string& name : *formula) listed += (listed.empty() ? "" : ", ") + name;
        warnings.push_back("the species (" + listed + ") are read from the formula " +
                           quoted(trim(lines[0])) +
                           " on the comment line, whose counts are those of line 6");
    }
    if (names.size() < counts.size())
        return fail("POSCAR does not name one species per atom count (VASP 4 files need the "
                    "species on the comment line)");

    const char mode = first_char(lines[mode_line]);
    if (mode == 's' || mode == 'S') {
        ++mode_line;
        if (mode_line == n_header) {  // the selective-dynamics line was line 8
            if (!cursor.next(lines[n_header])) return fail("POSCAR ends before the coordinates");
            ++n_header;
        }
    }
    const char kind = first_char(lines[mode_line]);
    const bool cartesian = kind == 'C' || kind == 'c' || kind == 'K' || kind == 'k';

    std::uint64_t n_atoms = 0;
    for (std::uint64_t count : counts) {
        if (count > UINT64_MAX - n_atoms)
            return fail("POSCAR atom counts add up to more than 18446744073709551615");
        n_atoms += count;
    }
    // Coordinate lines already read as part of the header (VASP 4 files) come first.
    std::size_t header_next = mode_line + 1;
    std::vector<Site> sites;
    // Never reserve by the declared count: the text may be far shorter than it claims.
    const std::uint64_t bound = max_lines_left(cursor, 3) + (n_header - header_next);
    sites.reserve(static_cast<std::size_t>(std::min(n_atoms, bound)));

    std::size_t block = 0;
    std::uint64_t left_in_block = counts.empty() ? 0 : counts[0];
    const std::uint64_t names_line = vasp4 ? 1 : 6;
    NotElementNotes reported;
    std::string symbol;
    if (!counts.empty()) {
        auto first = species_of(names[0], names_line, reported, warnings);
        if (!first) return fail(first.error());
        symbol = std::move(*first);
    }
    std::uint64_t line_number = n_header;  // of the last line the cursor gave
    for (std::uint64_t i = 0; i < n_atoms; ++i) {
        std::string_view line;
        std::uint64_t this_line;
        if (header_next < n_header) {
            this_line = header_next + 1;
            line = lines[header_next++];
        } else if (!cursor.next(line)) {
            return fail("POSCAR ends after " + std::to_string(i) + " of " +
                        std::to_string(n_atoms) + " coordinates");
        } else {
            this_line = ++line_number;
        }
        while (left_in_block == 0) {
            ++block;
            left_in_block = counts[block];
            auto next = species_of(names[block], names_line, reported, warnings);
            if (!next) return fail(next.error());
            symbol = std::move(*next);
        }
        --left_in_block;

        std::string_view words[3];
        if (first_words(line, words) < 3)
            return fail("coordinate line " + std::to_string(i + 1) + " is incomplete");
        auto read = read_vector(words, "coordinate line", i + 1, this_line);
        if (!read) return fail(read.error());
        const Vec3 position = *read;
        Site site;
        if (cartesian) {
            site.frac = lattice->to_fractional({position[0] * effective_scale,
                                                position[1] * effective_scale,
                                                position[2] * effective_scale});
            for (double f : site.frac)
                if (!std::isfinite(f))
                    return fail("coordinate line " + std::to_string(i + 1) +
                                " gives a position that is not finite");
        } else {
            site.frac = position;
        }
        site.species.emplace_back(symbol, 1.0);
        sites.push_back(std::move(site));
    }
    auto structure = Structure::new_(std::move(*lattice), std::move(sites));
    if (!structure) return fail(structure.error());
    return ReadStructure{std::move(*structure), std::move(warnings)};
}

// ---- extended XYZ ----------------------------------------------------------------

Result<Mat3> lattice_numbers(std::string_view value) {
    double numbers[9] = {};
    std::size_t n_numbers = 0;
    std::string_view first_infinite;
    std::string message;
    for_each_word(value, [&](std::string_view w) {
        auto number = parse_f64(w);
        if (!number) {
            message = number.error();
            return false;
        }
        if (!std::isfinite(*number) && first_infinite.empty()) first_infinite = w;
        if (n_numbers < 9) numbers[n_numbers] = *number;
        ++n_numbers;
        return true;
    });
    if (!message.empty()) return fail(message);
    if (n_numbers != 9)
        return fail("Lattice=\"...\" must hold 9 numbers, found " + std::to_string(n_numbers));
    if (!first_infinite.empty())
        return fail("Lattice=\"...\" holds a number that is not finite: " + quoted(first_infinite));
    return Mat3{{{numbers[0], numbers[1], numbers[2]},
                 {numbers[3], numbers[4], numbers[5]},
                 {numbers[6], numbers[7], numbers[8]}}};
}

Result<ReadStructure> parse_extxyz(std::string_view text) {
    Warnings warnings;
    LineCursor cursor(text);
    std::string_view count_line, comment;
    if (!cursor.next(count_line) || !cursor.next(comment)) return fail("XYZ file is too short");
    const auto n_atoms = parse_unsigned(trim(count_line));
    if (!n_atoms) return fail("first line of an XYZ file must be the atom count");

    std::size_t key = comment.find("Lattice=\"");
    if (key == std::string_view::npos) key = comment.find("lattice=\"");
    if (key == std::string_view::npos)
        return fail("this XYZ file has no Lattice=\"...\" field, so it has no cell and no "
                    "periodic RDF can be computed");
    const std::size_t value_start = key + 9;
    const std::size_t value_end = comment.find('"', value_start);
    if (value_end == std::string_view::npos) return fail("unterminated Lattice=\"...\" field");

    const std::string_view cell = comment.substr(value_start, value_end - value_start);
    const auto matrix = lattice_numbers(cell);
    if (!matrix) return fail(with_line(matrix.error(), cell, 2));
    auto lattice = Lattice::new_(*matrix);
    if (!lattice) return fail(lattice.error());

    std::vector<Site> sites;
    NotElementNotes reported;
    // Never reserve by the declared count: the text may be far shorter than it claims.
    sites.reserve(static_cast<std::size_t>(std::min(*n_atoms, max_lines_left(cursor, 4))));
    for (std::uint64_t i = 0; i < *n_atoms; ++i) {
        std::string_view line;
        if (!cursor.next(line))
            return fail("XYZ ends after " + std::to_string(i) + " of " + std::to_string(*n_atoms) +
                        " atoms");
        std::string_view words[4];
        if (first_words(line, words) < 4)
            return fail("atom line " + std::to_string(i + 1) + " is incomplete");
        auto position = read_vector(words + 1, "atom line", i + 1, i + 3);
        if (!position) return fail(position.error());
        Site site;
        site.frac = lattice->to_fractional(*position);
        for (double f : site.frac)
            if (!std::isfinite(f))
                return fail("atom line " + std::to_string(i + 1) +
                            " gives a position that is not finite");
        auto symbol = species_of(words[0], i + 3, reported, warnings);
        if (!symbol) return fail(symbol.error());
        site.species.emplace_back(std::move(*symbol), 1.0);
        sites.push_back(std::move(site));
    }
    auto structure = Structure::new_(std::move(*lattice), std::move(sites));
    if (!structure) return fail(structure.error());
    // Another atom count after the atoms starts a second frame: say which one this is.
    std::string_view rest;
    while (cursor.next(rest) && trim(rest).empty()) {
    }
    if (!trim(rest).empty() && parse_unsigned(trim(rest)))
        warnings.push_back("the file holds more than one frame; this structure is its first "
                           "(frame 0); kelvara.trajectory_rdf averages over the frames and "
                           "kelvara.read_xyz_trajectory reads them all");
    return ReadStructure{std::move(*structure), std::move(warnings)};
}

}  // namespace kelvara
