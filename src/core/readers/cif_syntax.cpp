// CIF syntax: the value tokens of a line, CIF numbers, and the text read into data blocks.
#include <algorithm>  // for std::min
#include <cstdint>

#include "core/readers/cif_syntax.hpp"
#include "core/util/number_scan.hpp"  // for parse_coordinate
#include "core/util/text.hpp"    // for trim, strip_char, whitespace_length_at, ascii_lower, quoted

namespace kelvara {

namespace {

/// Calls `fn(token)` for each value token of `line`, as views into it.
template <class Fn>
void for_each_token(std::string_view line, Fn&& fn) {
    const std::size_t n = line.size();
    std::size_t i = 0;
    while (i < n) {
        if (const std::size_t w = whitespace_length_at(line, i)) {
            i += w;
            continue;
        }
        const char c = line[i];
        if (c == '#') return;  // a comment runs to the end of the line
        if (c == '\'' || c == '"') {
            // A quote closes only where whitespace or the end of the line follows it,
            // so "'O3'A'" is the value O3'A.
            std::size_t from = i + 1;
            while (true) {
                const std::size_t q = line.find(c, from);
                if (q == std::string_view::npos) {  // unterminated: the rest of the line
                    if (i + 1 < n) fn(line.substr(i + 1));
                    return;
                }
                if (q + 1 == n || whitespace_length_at(line, q + 1)) {
                    fn(line.substr(i + 1, q - i - 1));
                    i = q + 1;
                    break;
                }
                from = q + 1;
            }
            continue;
        }
        const std::size_t start = i;
        while (i < n) {
            // Printable ASCII bytes are word bytes: only the others need the whitespace test.
            const auto byte = static_cast<unsigned char>(line[i]);
            if ((byte > ' ' && byte < 0x80) || !whitespace_length_at(line, i)) ++i;
            else break;
        }
        fn(line.substr(start, i - start));
    }
}

/// At most this many values are reserved ahead for a loop (16 MB of views).
constexpr std::size_t kReservedValues = std::size_t{1} << 20;

bool starts_with(std::string_view text, char c) { return !text.empty() && text.front() == c; }

/// A tag name lower-cased, a dotted name ("_cell.length_a") in the underscore form it
/// aliases ("_cell_length_a"); `dotted` is set when it was dotted.
std::string tag_name(std::string_view token, bool& dotted) {
    std::string name = ascii_lower(token);
    if (const std::size_t dot = name.find('.'); dot != std::string::npos) {
        name[dot] = '_';
        dotted = true;
    }
    return name;
}

/// The categories whose names the dotted form writes with a "." after them, longest first.
constexpr std::string_view kCategories[] = {
    "_space_group_symop_magn_ssg_operation_", "_space_group_symop_magn_operation_",
    "_space_group_symop_magn_centering_",
    "_space_group_symop_", "_atom_site_aniso_", "_symmetry_equiv_", "_space_group_",
    "_atom_site_", "_symmetry_", "_cell_"};

bool is_loop_keyword(std::string_view line) {
    return line.size() == 5 && ascii_lower(line) == "loop_";
}

/// One trimmed line of the text and its 1-based number.
struct Line {
    std::string_view text;
    std::uint32_t number = 0;
};

/// The lines of a text, read one at a time ("\n" ends a line, a "\r" before it is
/// dropped), each trimmed of whitespace. A position can be saved and gone back to.
class Lines {
public:
    struct Mark {
        std::size_t pos;
        std::uint32_t number;
    };

    explicit Lines(std::string_view text) : text_(text) {}

    bool next(Line& line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = text_.find('\n', pos_);
        std::size_t after = end + 1;
        if (end == std::string_view::npos) end = after = text_.size();
        std::string_view raw = text_.substr(pos_, end - pos_);
        if (!raw.empty() && raw.back() == '\r' && after != end) raw.remove_suffix(1);
        pos_ = after;
        line = {trim(raw), ++number_};
        return true;
    }
    Mark mark() const { return {pos_, number_}; }
    /// Bytes of the text not yet read.
    std::size_t remaining() const { return text_.size() - pos_; }
    void rewind(Mark m) {
        pos_ = m.pos;
        number_ = m.number;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::uint32_t number_ = 0;
};

class DocumentReader {
public:
    explicit DocumentReader(std::string_view text) : lines_(text) {}

    CifDocument read() {
        Line line;
        while (lines_.next(line)) {
            const std::string_view t = line.text;
            if (t.empty() || starts_with(t, '#')) continue;
            if (starts_with(t, ';')) {
                text_field();  // a text field standing on its own: passed over
            } else if (is_loop_keyword(t)) {
                read_loop();
            } else if (starts_with(t, '_')) {
                read_tag(line);
            } else if (t.starts_with("data_")) {
                Block block;
                block.name = std::string(t.substr(5));
                doc_.blocks.push_back(std::move(block));
            }
            // Anything else (save frames, stray values) is skipped.
        }
        return std::move(doc_);
    }

private:
    Lines lines_;
    CifDocument doc_;

    Block& block() {
        if (doc_.blocks.empty()) doc_.blocks.emplace_back();  // tags before any "data_"
        return doc_.blocks.back();
    }

    std::string_view keep(std::string text) { return doc_.storage.emplace_back(std::move(text)); }

    /// A line that is never a value: a tag, "loop_" or a "data_" header.
    static bool is_not_value(std::string_view t) {
        return starts_with(t, '_') || is_loop_keyword(t) || t.starts_with("data_");
    }

    /// The value of a text field whose opening line was read: the inner lines,
    /// trimmed and concatenated; the closing line is consumed.
    std::string_view text_field() {
        std::string value;
        Line line;
        while (lines_.next(line)) {
            if (starts_with(line.text, ';')) break;
            value += line.text;
        }
        return keep(std::move(value));
    }

    /// The tokens of a line joined with single spaces (a view when there is one token).
    std::string_view joined(std::string_view text, std::size_t skip) {
        std::string_view single;
        std::string many;
        std::size_t count = 0;
        for_each_token(text, [&](std::string_view token) {
            if (count++ < skip) return;
            if (count == skip + 1) {
                single = token;
            } else {
                if (many.empty()) many = single;
                many += ' ';
                many += token;
            }
        });
        return count > skip + 1 ? keep(std::move(many)) : single;
    }

    void read_tag(const Line& line) {
        std::string_view name_token;
        std::size_t n_tokens = 0;
        for_each_token(line.text, [&](std::string_view token) {
            if (n_tokens++ == 0) name_token = token;
        });
        if (n_tokens == 0) return;
        bool dotted = false;
        std::string name = tag_name(name_token, dotted);
        block().dotted |= dotted;
        if (n_tokens >= 2) {
            block().tags.insert_or_assign(std::move(name),
                                          CifValue{joined(line.text, 1), line.number, false, name_token});
            return;
        }
        Line value_line;
        Lines::Mark mark;
        do {
            mark = lines_.mark();
            if (!lines_.next(value_line)) return;  // the text ends first: the tag is dropped
        } while (value_line.text.empty());
        if (is_not_value(value_line.text)) {
            // A tag is never a value: this one has none, and the next line is read again.
            std::string_view next;
            for_each_token(value_line.text, [&](std::string_view token) {
                if (next.empty()) next = token;
            });
            block().tags.insert_or_assign(std::move(name), CifValue{next, value_line.number, true, name_token});
            lines_.rewind(mark);
            return;
        }
        const std::string_view value =
            starts_with(value_line.text, ';') ? text_field() : joined(value_line.text, 0);
        block().tags.insert_or_assign(std::move(name), CifValue{value, value_line.number, false, name_token});
    }

    void read_loop() {
        CifLoop loop;
        std::size_t width = 0;
        std::size_t column = 0;  // of the next value; the header is complete once values come
        auto add_value = [&](std::string_view value, std::uint32_t line) {
            if (column == 0) loop.row_lines.push_back(line);
            loop.values.push_back(value);
            if (++column == width) column = 0;
        };
        // Header: one name per line; words after a name are the first values.
        Line line;
        bool values_started = false;
        bool dotted = false;
        while (true) {
            const Lines::Mark mark = lines_.mark();
            if (!lines_.next(line)) break;
            if (line.text.empty() || starts_with(line.text, '#')) continue;
            if (!starts_with(line.text, '_')) {
                lines_.rewind(mark);
                break;
            }
            std::size_t k = 0;
            for_each_token(line.text, [&](std::string_view token) {
                if (k++ == 0) {
                    loop.names.push_back(tag_name(token, dotted));
                    width = loop.names.size();
                } else {
                    values_started = true;
                    add_value(token, line.number);
                }
            });
            if (values_started) break;
        }
        bool sized = false;
        while (true) {
            const Lines::Mark mark = lines_.mark();
            if (!lines_.next(line)) break;
            const std::string_view t = line.text;
            if (t.empty() || starts_with(t, '#')) continue;
            if (starts_with(t, '_') || t.starts_with("loop_") || t.starts_with("data_")) {
                lines_.rewind(mark);  // read again by the block reader
                break;
            }
            if (width == 0) continue;  // a loop without names is discarded with its values
            if (starts_with(t, ';')) {
                add_value(text_field(), line.number);
            } else {
                const std::size_t before = loop.values.size();
                for_each_token(t, [&](std::string_view token) { add_value(token, line.number); });
                if (!sized) {
                    // Room for as many lines like the first as the rest of the text
                    // could hold (a bound, capped): the values of a long loop are not
                    // copied again and again as they grow.
                    sized = true;
                    const std::size_t per_line = loop.values.size() - before;
                    const std::size_t lines_left = lines_.remaining() / (t.size() + 1) + 1;
                    loop.values.reserve(std::min<std::size_t>(lines_left * per_line, kReservedValues));
                    loop.row_lines.reserve(
                        std::min<std::size_t>(lines_left * per_line / width + 1, kReservedValues));
                }
            }
        }
        if (width == 0) return;
        block().dotted |= dotted;
        const std::size_t n_rows = loop.values.size() / width;
        // Values that do not fill a row are dropped; the reader of the loop says so.
        loop.short_row_values = loop.values.size() - n_rows * width;
        if (loop.short_row_values) loop.short_row_line = loop.row_lines.back();
        loop.values.resize(n_rows * width);
        loop.row_lines.resize(n_rows);
        block().loops.push_back(std::move(loop));
    }
};

}  // namespace

std::optional<double> parse_cif_number(std::string_view text) {
    std::string_view t = strip_char(strip_char(trim(text), '\''), '"');
    if (t.empty() || t == "." || t == "?") return std::nullopt;
    // The standard uncertainty in brackets ("5.4307(2)") is not part of the value.
    const std::size_t bracket = t.find('(');
    if (bracket != std::string_view::npos) t = trim(t.substr(0, bracket));
    return parse_coordinate(t);  // parse_decimal's value, "0.12345" read inline
}

std::string shown_value(std::string_view value, std::uint32_t line) {
    if (is_valid_utf8(value)) return quoted(value);
    return quoted(value) + " (line " + std::to_string(line) + " holds bytes that are not UTF-8)";
}

CifDocument read_cif_document(std::string_view text) { return DocumentReader(text).read(); }

std::optional<std::size_t> CifLoop::column(std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return i;
    return std::nullopt;
}

const CifValue* Block::tag(std::string_view lowered_name) const {
    const auto it = tags.find(std::string(lowered_name));
    return it == tags.end() ? nullptr : &it->second;
}

const CifLoop* Block::loop_with(std::initializer_list<std::string_view> wanted) const {
    for (const CifLoop& loop : loops)
        for (const std::string& name : loop.names)
            for (std::string_view w : wanted)
                if (name == w) return &loop;
    return nullptr;
}

std::string Block::written(std::string_view name) const {
    std::string out(name);
    if (!dotted) return out;
    for (std::string_view category : kCategories)
        if (name.starts_with(category) && name.size() > category.size()) {
            out[category.size() - 1] = '.';
            break;
        }
    return out;
}

std::vector<CifBlockSummary> cif_blocks(std::string_view text) {
    const CifDocument doc = read_cif_document(text);
    std::vector<CifBlockSummary> out;
    for (const Block& block : doc.blocks) {
        const CifLoop* atoms = block.loop_with({"_atom_site_fract_x"});
        out.push_back({block.name, atoms ? atoms->n_rows() : 0});
    }
    return out;
}

}  // namespace kelvara
