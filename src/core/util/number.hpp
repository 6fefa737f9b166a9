// Decimal number grammar, saturating float-to-integer conversion and float formatting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvara {

/// Reads a token with the decimal grammar shared by every reader: optional sign,
/// digits with at most one point (not both sides empty), optional exponent with at
/// least one digit; or "inf", "infinity", "nan" in any case with an optional sign.
/// No surrounding whitespace. Out-of-range magnitudes become +-inf or +-0.
std::optional<double> parse_decimal(std::string_view token);

/// Decimal digits with one optional leading "+", fitting in 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view token);

/// Float-to-integer conversions that never invoke undefined behaviour:
/// NaN gives 0, values beyond the range clamp to its ends, fractions truncate.
/// Inline: the pair pass calls them once per pair.
inline std::int64_t saturating_i64(double x) {
    if (x != x) return 0;  // NaN
    // 2^63 is exactly representable; anything at or above it clamps.
    if (x >= 9223372036854775808.0) return INT64_MAX;
    if (x <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(x);
}
inline std::uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) return 0;  // NaN too
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(x);
}

/// Fixed-point text with exactly `decimals` digits after the point, correctly
/// rounded (an exact tie goes to the even digit): 1.25 with 4 gives "1.2500".
std::string format_fixed(double x, int decimals);

/// Shortest text that reads back to the same double, written without an
/// exponent ("1", "0.1", "0.00001", "1e21" becomes "1000000000000000000000") unless
/// that would take more than 24 digits: then with one ("1e-320", "1.5e+300").
std::string format_shortest(double x);

/// `digits` significant digits, with an exponent only for very large or small
/// values (as printf's %g): 6e+09, 0.00023, 1.2.
std::string format_general(double x, int digits);

}  // namespace kelvara
