// Text helpers shared by the readers: Unicode whitespace, trimming, splitting, lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

/// Byte length of the multi-byte Unicode White_Space character (U+0085, U+00A0,
/// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000 in UTF-8) that
/// starts at `text[pos]`, or 0.
std::size_t multibyte_whitespace_length_at(std::string_view text, std::size_t pos);

/// Byte length of the Unicode White_Space character that starts at `text[pos]`
/// (ASCII 9-13 and space, or one of the multi-byte ones), or 0 when there is none.
/// Inline: the readers call it once per byte, and almost every byte is ASCII.
inline std::size_t whitespace_length_at(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) return (c == ' ' || (c >= 9 && c <= 13)) ? 1 : 0;
    return multibyte_whitespace_length_at(text, pos);
}

/// Same, for the whitespace character that ends just before `end` (0 when none).
std::size_t whitespace_length_before(std::string_view text, std::size_t end);

/// `text` without Unicode whitespace at either end (the general case).
std::string_view trim_slow(std::string_view text);

/// `text` without Unicode whitespace at either end. Inline: readers trim every value,
/// and nearly all begin and end with a printable ASCII byte.
inline std::string_view trim(std::string_view text) {
    if (!text.empty()) {
        const auto first = static_cast<unsigned char>(text.front());
        const auto last = static_cast<unsigned char>(text.back());
        if (first > ' ' && first < 0x80 && last > ' ' && last < 0x80) return text;
    }
    return trim_slow(text);
}

/// The non-empty pieces of `text` between runs of Unicode whitespace.
std::vector<std::string_view> split_whitespace(std::string_view text);

/// Calls `fn(word)` for each whitespace-separated word; stops early when `fn`
/// returns false. No allocation.
template <class Fn>
void for_each_word(std::string_view text, Fn&& fn) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        std::size_t w = whitespace_length_at(text, i);
        if (w) {
            i += w;
            continue;
        }
        std::size_t start = i;
        while (i < n && !whitespace_length_at(text, i)) ++i;
        if (!fn(text.substr(start, i - start))) return;
    }
}

/// Lines of `text`: "\n" ends a line, one "\r" before it is removed, a last line
/// without "\n" still counts (an empty text has no lines).
std::vector<std::string_view> split_lines(std::string_view text);

/// Whether `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

/// At most the first 60 bytes of `text` (cut on a character boundary) followed by
/// "..." when longer: every message quotes a bounded piece of its input, so that a
/// line of megabytes never becomes a message of megabytes.
inline std::string excerpt(std::string_view text) {
    constexpr std::size_t keep = 60;
    if (text.size() <= keep) return std::string(text);
    std::size_t cut = keep;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

/// An excerpt of `text` in single quotes, as messages show a piece of the input: 'x/0'.
inline std::string quoted(std::string_view text) { return "'" + excerpt(text) + "'"; }

/// `text` without every leading and trailing `quote` character.
inline std::string_view strip_char(std::string_view text, char quote) {
    while (!text.empty() && text.front() == quote) text.remove_prefix(1);
    while (!text.empty() && text.back() == quote) text.remove_suffix(1);
    return text;
}

/// ASCII-lowercased copy (bytes outside A-Z unchanged).
std::string ascii_lower(std::string_view text);

}  // namespace kelvara
