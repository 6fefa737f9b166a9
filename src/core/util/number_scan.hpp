// Number scanning for readers: a coordinate token read fast and exactly, and the words
// and numbers of one line read in one pass.
#pragma once

#include <bit>  // for std::countr_zero
#include <cstdint>
#include <cstring>  // for std::memcpy
#include <optional>
#include <string_view>

#include "core/util/number.hpp"  // for parse_decimal
#include "core/util/text.hpp"    // for whitespace_length_at

namespace kelvara {

/// A coordinate token by the shared decimal grammar (`parse_decimal`), with an inline
/// path for the plain "-12.345678" form that fills trajectory files: up to 15
/// significant digits and no exponent give an exact mantissa and power of ten, so one
/// division is the correctly rounded value, bit for bit what `parse_decimal` returns.
inline std::optional<double> parse_coordinate(std::string_view token) {
    static constexpr double powers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = token.data();
    const char* const end = p + token.size();
    const bool negative = p != end && *p == '-';
    p += negative;
    std::uint64_t mantissa = 0;
    const char* digits_start = p;
    while (p != end && static_cast<unsigned>(*p - '0') < 10) mantissa = mantissa * 10 + (*p++ - '0');
    std::size_t int_digits = static_cast<std::size_t>(p - digits_start);
    std::size_t frac_digits = 0;
    if (p != end && *p == '.') {
        const char* frac_start = ++p;
        while (p != end && static_cast<unsigned>(*p - '0') < 10) mantissa = mantissa * 10 + (*p++ - '0');
        frac_digits = static_cast<std::size_t>(p - frac_start);
    }
    if (p != end || int_digits + frac_digits == 0 || int_digits + frac_digits > 15)
        return parse_decimal(token);  // exponents, words, long mantissas, bad text
    const double value = static_cast<double>(mantissa) / powers[frac_digits];
    return negative ? -value : value;
}

/// The words of one line read left to right, split at Unicode whitespace, with
/// coordinates read in the same pass. The line must come from
/// `LineReader::next`: the line break after it ends every scan, and its padding
/// lets a number be loaded eight bytes at a time.
class LineWords {
public:
    explicit LineWords(std::string_view line)
        : line_(line), p_(line.data()), end_(line.data() + line.size()) {}

    /// The next word; false at the end of the line.
    [[gnu::always_inline]] bool word(std::string_view& out) {
        if (!skip_space()) return false;
        const char* const start = p_++;
        scan_word();
        out = std::string_view(start, static_cast<std::size_t>(p_ - start));
        return true;
    }

    enum class Number { value, end, bad };
    /// The next word read as `parse_coordinate` reads it: `value` (in `x`), `end`
    /// of the line, or `bad` with the word in `text`.
    [[gnu::always_inline]] Number coordinate(double& x, std::string_view& text) {
        if (!skip_space()) return Number::end;
        if (plain_decimal(x)) return Number::value;
        return general_coordinate(x, text);
    }

private:
    static bool ascii_space(unsigned char c) { return c == ' ' || static_cast<unsigned>(c - 9) < 5; }

    /// Past the whitespace before the next word; false when the line ends first.
    [[gnu::always_inline]] bool skip_space() {
        for (;;) {
            const auto c = static_cast<unsigned char>(*p_);
            if (static_cast<signed char>(c) > ' ') return true;  // printable ASCII
            if (p_ == end_) return false;
            if (ascii_space(c)) {
                ++p_;
            } else if (c < 0x80) {
                return true;
            } else {
                const std::size_t w =
                    whitespace_length_at(line_, static_cast<std::size_t>(p_ - line_.data()));
                if (!w) return true;
                p_ += w;
            }
        }
    }

    /// To the end of the word whose first byte is behind `p_`.
    [[gnu::always_inline]] void scan_word() {
        for (;;) {
            // Printable ASCII (0x21-0x7e) and DEL are word bytes: one test for the
            // common case; the line break after the line stops it at the end.
            while (static_cast<signed char>(*p_) > ' ') ++p_;
            if (p_ == end_) return;
            const auto c = static_cast<unsigned char>(*p_);
            if (c < 0x80 ? ascii_space(c)
                         : whitespace_length_at(line_, static_cast<std::size_t>(p_ - line_.data())) != 0)
                return;
            ++p_;
        }
    }

    /// The word at `p_` by `parse_coordinate`, for what `plain_decimal` leaves.
    [[gnu::noinline]] Number general_coordinate(double& x, std::string_view& text) {
        const char* const start = p_++;
        scan_word();
        text = std::string_view(start, static_cast<std::size_t>(p_ - start));
        const auto value = parse_coordinate(text);
        if (!value) return Number::bad;
        x = *value;
        return Number::value;
    }

    /// How many of the bytes of `t` from the lowest are decimal digits, where `t` is
    /// eight text bytes XOR '0' (digits become 0-9); 8 when all are.
    static unsigned digit_run(std::uint64_t t) {
        constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0ULL, six = 0x0606060606060606ULL;
        // A byte is a digit when its high nibble was 3 and adding 6 stays below 16;
        // a carry out of a non-digit byte only touches bytes after it.
        const std::uint64_t non_digit = (t & high) | ((t + six) & high);
        return non_digit ? static_cast<unsigned>(std::countr_zero(non_digit)) >> 3 : 8;
    }
    /// The value of the `n` (1-8) digits at the low end of `t` (digit values 0-9).
    static std::uint64_t digits_value(std::uint64_t t, unsigned n) {
        std::uint64_t v = t << (8 * (8 - n));  // the digits at the top, zeros before them
        v = v * 10 + (v >> 8);
        v = (((v & 0x000000FF000000FFULL) * 0x000F424000000064ULL) +
             (((v >> 16) & 0x000000FF000000FFULL) * 0x0000271000000001ULL)) >> 32;
        return v;
    }

    /// The value of the `n` (0-8) digits at the low end of `t`; one or two (the
    /// integer part of most coordinates) without the word arithmetic.
    static std::uint64_t run_value(std::uint64_t t, unsigned n) {
        if (n > 2) return digits_value(t, n);
        if (n == 2) return (t & 0xFF) * 10 + ((t >> 8) & 0xFF);
        return n == 1 ? (t & 0xFF) : 0;
    }

    /// "-12.345678" read at `p_`: an optional "-", up to 8 digits, optionally "." and up
    /// to 8 digits, from 1 to 15 digits in all, then whitespace (or the line break
    /// after the line). That is `parse_coordinate`'s exact path (mantissa over a power
    /// of ten), so the value is the same bits. Anything else returns false with `p_`
    /// unmoved.
    [[gnu::always_inline]] bool plain_decimal(double& x) {
        static constexpr double powers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
        static constexpr std::uint64_t scale[] = {1,      10,      100,      1000,     10000,
                                                  100000, 1000000, 10000000, 100000000};
        auto is_digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
        constexpr std::uint64_t zeros = 0x3030303030303030ULL;
        const char* q = p_;
        const bool negative = *q == '-';
        q += negative;
        auto load = [](const char* at) {
            std::uint64_t w;
            std::memcpy(&w, at, 8);
            return w ^ zeros;
        };
        // Digit runs stop at the line break after the line at the latest.
        const std::uint64_t t1 = load(q);
        const unsigned n1 = digit_run(t1);
        if (n1 == 8 && is_digit(q[8])) return false;
        std::uint64_t mantissa = run_value(t1, n1);
        q += n1;
        unsigned n2 = 0;
        if (*q == '.') {
            ++q;
            const std::uint64_t t2 = load(q);
            n2 = digit_run(t2);
            if (n2 == 8 && is_digit(q[8])) return false;
            mantissa = mantissa * scale[n2] + run_value(t2, n2);
            q += n2;
        }
        // From 1 to 15 digits in all, then whitespace.
        if (n1 + n2 - 1 >= 15 || !ascii_space(static_cast<unsigned char>(*q))) return false;
        // Below 10^15: the signed conversion is exact and one instruction.
        const double value = static_cast<double>(static_cast<std::int64_t>(mantissa)) / powers[n2];
        x = negative ? -value : value;
        p_ = q;
        return true;
    }

    std::string_view line_;
    const char* p_;
    const char* end_;
};

}  // namespace kelvara
