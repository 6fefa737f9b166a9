// Decimal number grammar, saturating float-to-integer conversion and float formatting.
#include "core/util/number.hpp"

#include <charconv>  // for std::from_chars, std::to_chars
#include <cmath>     // for std::isnan, std::trunc
#include <limits>

#include "core/util/decimal_chars.hpp"

namespace kelvara {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignore_case(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

/// Whether a grammatical mantissa/exponent that from_chars found out of range
/// overflows (true) or underflows (false): the decimal position of the first
/// non-zero digit plus the exponent decides.
bool overflows(std::string_view body) {
    std::size_t e_pos = body.find_first_of("eE");
    std::string_view mantissa = body.substr(0, e_pos);
    long long exponent = 0;
    if (e_pos != std::string_view::npos) {
        std::string_view exp = body.substr(e_pos + 1);
        bool negative = false;
        if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
            negative = exp[0] == '-';
            exp.remove_prefix(1);
        }
        for (char c : exp) {
            exponent = exponent * 10 + (c - '0');
            if (exponent > 1'000'000'000LL) break;  // far beyond any double
        }
        if (negative) exponent = -exponent;
    }
    long long position = 0;  // digits before the point, minus leading zeros
    bool seen_point = false, seen_nonzero = false;
    for (char c : mantissa) {
        if (c == '.') {
            seen_point = true;
            continue;
        }
        if (!seen_nonzero && c == '0') {
            if (seen_point) --position;
            continue;
        }
        if (!seen_nonzero) seen_nonzero = true;
        if (!seen_point) ++position;
    }
    return position + exponent > 0;
}

/// The general reader: grammar check, then from_chars.
std::optional<double> parse_decimal_general(std::string_view token) {
    if (token.empty()) return std::nullopt;
    bool negative = false;
    std::string_view body = token;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return std::nullopt;
    const double sign = negative ? -1.0 : 1.0;
    if (equals_ignore_case(body, "inf") || equals_ignore_case(body, "infinity"))
        return sign * std::numeric_limits<double>::infinity();
    if (equals_ignore_case(body, "nan"))
        return negative ? -std::numeric_limits<double>::quiet_NaN()
                        : std::numeric_limits<double>::quiet_NaN();

    // Grammar check: digits [. digits] [(e|E) [sign] digits], at least one mantissa digit.
    std::size_t i = 0, mantissa_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return std::nullopt;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < body.size() && is_digit(body[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return std::nullopt;
    }
    if (i != body.size()) return std::nullopt;

    double value = 0.0;
    auto [end, ec] = decimal_from_chars(body.data(), body.data() + body.size(), value);
    if (ec == std::errc::result_out_of_range) {
        value = overflows(body) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || end != body.data() + body.size()) {
        return std::nullopt;
    }
    return sign * value;
}

}  // namespace

std::optional<double> parse_decimal(std::string_view token) {
    // Fast exact path for the plain numbers that fill coordinate lines
    // ("-0.1234567890"): at most 15 significant digits and no exponent. Such a
    // mantissa and 10^k (k <= 22) are exact doubles, so one IEEE division gives the
    // correctly rounded value, bit for bit what the general reader returns.
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (token.empty()) return std::nullopt;
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    std::uint64_t mantissa = 0;
    int digits = 0, fraction_digits = 0, all_digits = 0;
    bool point = false;
    for (; p != end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            if (mantissa != 0 || c != '0') ++digits;
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++all_digits;
            if (point) ++fraction_digits;
            if (digits > 15 || fraction_digits > 22) return parse_decimal_general(token);
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return parse_decimal_general(token);  // exponents, words, anything unusual
        }
    }
    if (all_digits == 0) return std::nullopt;  // "", "-", ".", "-."
    const double value = static_cast<double>(mantissa) / powers[fraction_digits];
    return negative ? -value : value;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view token) {
    if (!token.empty() && token[0] == '+') token.remove_prefix(1);
    if (token.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : token) {
        if (!is_digit(c)) return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string format_fixed(double x, int decimals) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buffer[400];  // largest double in fixed notation is 309 digits plus decimals
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed,
                                   decimals);
    if (ec != std::errc()) return "?";
    return std::string(buffer, end);
}

std::string format_shortest(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    if (ec != std::errc()) return "?";
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
    // sci is [-]d[.ddd]e(+|-)XX: lay the digits out without an exponent.
    bool negative = sci[0] == '-';
    if (negative) sci.remove_prefix(1);
    std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits += c;
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(),
                    exponent);
    std::string out = negative ? "-" : "";
    int point = exponent + 1;  // digits before the decimal point
    if (point < -24 || point > 24) {  // 1e-320 is not worth 320 zeros
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += (exponent < 0 ? "e-" : "e+") + std::to_string(exponent < 0 ? -exponent : exponent);
        return out;
    }
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string format_general(double x, int digits) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, digits);
    if (ec != std::errc()) return "?";
    return std::string(buffer, static_cast<std::size_t>(end - buffer));
}

}  // namespace kelvara
