// Decimal text to double: std::from_chars where the standard library has it for
// floating point, the C library's correctly rounded strtod where it does not.
#include "core/util/decimal_chars.hpp"

#include <version>  // for _LIBCPP_VERSION

// libc++ has floating-point std::from_chars from version 20 on: before it (the
// libc++ of current Xcode releases) the C library converts, in the "C" locale so
// that the decimal point is always '.'; macOS's and glibc's strtod round correctly.
#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 200000
#define KELVARA_DECIMAL_FROM_STRTOD 1
#include <cerrno>
#include <clocale>  // for newlocale, LC_ALL_MASK, locale_t
#include <cmath>    // for std::isinf
#include <cstdlib>  // for strtod_l
#include <string>
#if defined(__APPLE__)
#include <xlocale.h>  // for strtod_l
#endif
#endif

namespace kelvara {

#if defined(KELVARA_DECIMAL_FROM_STRTOD)
std::from_chars_result decimal_from_chars(const char* first, const char* last, double& value) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string text(first, last);  // strtod needs the terminating NUL
    char* end = nullptr;
    errno = 0;
    const double parsed = strtod_l(text.c_str(), &end, c_locale);
    const char* stop = first + (end - text.c_str());
    if (stop == first) return {first, std::errc::invalid_argument};
    // Out of range only when the value overflowed or underflowed to zero; a
    // subnormal result (ERANGE in glibc) is a value like any other.
    if (errno == ERANGE && (std::isinf(parsed) || parsed == 0.0)) return {stop, std::errc::result_out_of_range};
    value = parsed;
    return {stop, std::errc()};
}
#else
std::from_chars_result decimal_from_chars(const char* first, const char* last, double& value) {
    return std::from_chars(first, last, value, std::chars_format::general);
}
#endif

}  // namespace kelvara
