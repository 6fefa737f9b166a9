// Text helpers shared by the readers: Unicode whitespace, trimming, splitting, lines.
#include "core/util/text.hpp"

namespace kelvara {

namespace {
unsigned char byte_at(std::string_view text, std::size_t pos) {
    return static_cast<unsigned char>(text[pos]);
}
}  // namespace

std::size_t multibyte_whitespace_length_at(std::string_view text, std::size_t pos) {
    const std::size_t n = text.size();
    if (pos >= n) return 0;
    const unsigned char c = byte_at(text, pos);
    if (c < 0xC2) return 0;
    if (c == 0xC2 && pos + 1 < n) {
        const unsigned char d = byte_at(text, pos + 1);
        return (d == 0x85 || d == 0xA0) ? 2 : 0;
    }
    if (pos + 2 >= n) return 0;
    const unsigned char d = byte_at(text, pos + 1), e = byte_at(text, pos + 2);
    if (c == 0xE1) return (d == 0x9A && e == 0x80) ? 3 : 0;                 // U+1680
    if (c == 0xE3) return (d == 0x80 && e == 0x80) ? 3 : 0;                 // U+3000
    if (c == 0xE2 && d == 0x80)                                             // U+2000..U+202F
        return ((e >= 0x80 && e <= 0x8A) || e == 0xA8 || e == 0xA9 || e == 0xAF) ? 3 : 0;
    if (c == 0xE2 && d == 0x81) return e == 0x9F ? 3 : 0;                   // U+205F
    return 0;
}

std::size_t whitespace_length_before(std::string_view text, std::size_t end) {
    if (end == 0 || end > text.size()) return 0;
    for (std::size_t len = 1; len <= 3 && len <= end; ++len)
        if (whitespace_length_at(text, end - len) == len) return len;
    return 0;
}

std::string_view trim_slow(std::string_view text) {
    std::size_t start = 0, end = text.size();
    while (start < end) {
        std::size_t w = whitespace_length_at(text, start);
        if (!w) break;
        start += w;
    }
    while (end > start) {
        std::size_t w = whitespace_length_before(text, end);
        if (!w) break;
        end -= w;
    }
    return text.substr(start, end - start);
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> words;
    for_each_word(text, [&](std::string_view word) {
        words.push_back(word);
        return true;
    });
    return words;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (next != end && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = next;
    }
    return lines;
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const unsigned char c = byte_at(text, i);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c == 0xE0) len = 3, lo = 0xA0;
        else if (c >= 0xE1 && c <= 0xEC) len = 3;
        else if (c == 0xED) len = 3, hi = 0x9F;
        else if (c >= 0xEE && c <= 0xEF) len = 3;
        else if (c == 0xF0) len = 4, lo = 0x90;
        else if (c >= 0xF1 && c <= 0xF3) len = 4;
        else if (c == 0xF4) len = 4, hi = 0x8F;
        else return false;
        if (i + len > n) return false;
        const unsigned char second = byte_at(text, i + 1);
        if (second < lo || second > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            const unsigned char b = byte_at(text, i + k);
            if (b < 0x80 || b > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace kelvara
