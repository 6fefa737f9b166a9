// POSCAR and extended XYZ readers, and the species-name rule they share.
#include "core/formats.hpp"

#include "core/number.hpp"

namespace kelvara {

namespace {
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
}  // namespace

std::string clean_symbol(std::string_view text) {
    if (text.empty() || !is_ascii_letter(text[0])) return std::string(text);
    std::string symbol(1, text[0] >= 'a' ? static_cast<char>(text[0] - 'a' + 'A') : text[0]);
    if (text.size() > 1 && text[1] >= 'a' && text[1] <= 'z') symbol += text[1];
    return symbol;
}

Result<double> parse_f64(std::string_view token) {
    if (auto value = parse_decimal(token)) return *value;
    return fail("expected a number, found '" + std::string(token) + "'");
}

}  // namespace kelvara
