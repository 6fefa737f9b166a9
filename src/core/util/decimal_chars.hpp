// Decimal text to double: std::from_chars where the standard library has it for
// floating point, the C library's correctly rounded strtod where it does not.
#pragma once

#include <charconv>  // for std::from_chars_result

namespace kelvara {

/// As std::from_chars(first, last, value, std::chars_format::general), for text
/// already checked against the decimal grammar (digits, a point, an exponent; no sign,
/// no words): on result_out_of_range `value` is left as it was.
std::from_chars_result decimal_from_chars(const char* first, const char* last, double& value);

}  // namespace kelvara
