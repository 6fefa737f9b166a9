// SymmOp and the parser of the coordinate-triplet notation ("-x+1/2, y, z+3/4").
#include "core/readers/symmetry.hpp"

#include <cmath>   // for std::isfinite
#include <string>

#include "core/util/number.hpp"  // for parse_decimal
#include "core/util/text.hpp"    // for trim, quoted, strip_char, whitespace_length_at

namespace kelvara {

namespace {

/// `text` with every Unicode whitespace character removed, wherever it stands.
std::string without_whitespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t w = whitespace_length_at(text, i);
        if (w) {
            i += w;
        } else {
            out += text[i];
            ++i;
        }
    }
    return out;
}

int variable_column(char c) {
    switch (c) {
        case 'x': case 'X': return 0;
        case 'y': case 'Y': return 1;
        case 'z': case 'Z': return 2;
        default: return -1;
    }
}

/// Adds one whitespace-free component into row `row` of `op`.
Result<void> parse_component(std::string_view component, std::size_t row, SymmOp& op) {
    const std::string c = without_whitespace(component);
    if (c.empty()) return fail("empty symmetry component");
    std::size_t start = 0;
    while (start < c.size()) {
        std::size_t end = start + 1;
        while (end < c.size() && c[end] != '+' && c[end] != '-') ++end;
        std::string_view term(c.data() + start, end - start);
        start = end;

        double sign = 1.0;
        if (term.front() == '-' || term.front() == '+') {
            sign = term.front() == '-' ? -1.0 : 1.0;
            term.remove_prefix(1);
            if (term.empty()) return fail("dangling sign in " + quoted(c));
        }
        const std::string_view u = term;

        std::size_t letter = 0;
        while (letter < u.size() && variable_column(u[letter]) < 0) ++letter;
        if (letter == u.size()) {
            auto constant = parse_number(u);
            if (!constant) return fail(constant.error());
            if (!std::isfinite(*constant))
                return fail("symmetry term " + quoted(u) + " is not a finite number");
            op.translation[row] += sign * *constant;
            continue;
        }

        double coefficient = 1.0;
        std::string_view coefficient_text = u.substr(0, letter);
        if (!coefficient_text.empty()) {
            while (!coefficient_text.empty() && coefficient_text.back() == '*')
                coefficient_text.remove_suffix(1);
            auto parsed = parse_number(coefficient_text);
            if (!parsed) return fail(parsed.error());
            coefficient = *parsed;
        }
        double value = coefficient;
        std::string_view divisor_text = u.substr(letter + 1);
        if (!divisor_text.empty()) {
            if (divisor_text.front() != '/') return fail("cannot read symmetry term " + quoted(u));
            while (!divisor_text.empty() && divisor_text.front() == '/') divisor_text.remove_prefix(1);
            auto divisor = parse_number(divisor_text);
            if (!divisor) return fail(divisor.error());
            // A zero divisor would put an infinite or NaN coefficient into the matrix.
            if (*divisor == 0.0) return fail("division by zero in " + quoted(u));
            value = coefficient / *divisor;
        }
        if (!std::isfinite(value))
            return fail("symmetry term " + quoted(u) + " is not a finite number");
        op.rotation[row][static_cast<std::size_t>(variable_column(u[letter]))] += sign * value;
    }
    return {};
}

}  // namespace

SymmOp SymmOp::identity() {
    SymmOp op;
    op.rotation[0][0] = op.rotation[1][1] = op.rotation[2][2] = 1.0;
    return op;
}

Vec3 SymmOp::apply(const Vec3& f) const {
    Vec3 out{};
    for (std::size_t i = 0; i < 3; ++i)
        out[i] = rotation[i][0] * f[0] + rotation[i][1] * f[1] + rotation[i][2] * f[2] +
                 translation[i];
    return out;
}

Result<double> parse_number(std::string_view text) {
    const std::string_view t = trim(text);
    const std::size_t slash = t.find('/');
    if (slash == std::string_view::npos) {
        if (auto value = parse_decimal(t)) return *value;
        return fail("bad number " + quoted(t));
    }
    auto numerator = parse_decimal(trim(t.substr(0, slash)));
    auto denominator = parse_decimal(trim(t.substr(slash + 1)));
    if (!numerator || !denominator) return fail("bad number " + quoted(t));
    if (*denominator == 0.0) return fail("division by zero in " + quoted(t));
    return *numerator / *denominator;
}

Result<SymmOp> parse_symmop(std::string_view text) {
    std::string_view t = trim(text);
    t = strip_char(t, '\'');
    t = strip_char(t, '"');
    t = trim(t);

    std::string_view components[3];
    std::size_t n_components = 0, start = 0;
    while (true) {
        const std::size_t comma = t.find(',', start);
        const std::size_t end = comma == std::string_view::npos ? t.size() : comma;
        if (n_components < 3) components[n_components] = t.substr(start, end - start);
        ++n_components;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (n_components != 3) return fail("expected 3 components in symmetry op " + quoted(t));

    SymmOp op;
    for (std::size_t i = 0; i < 3; ++i) {
        auto done = parse_component(components[i], i, op);
        if (!done) return fail(done.error());
    }
    // Finite terms can still add up to an infinite sum (1e308x+1e308x).
    for (std::size_t i = 0; i < 3; ++i) {
        bool finite = std::isfinite(op.translation[i]);
        for (double r : op.rotation[i]) finite = finite && std::isfinite(r);
        if (!finite) return fail("symmetry op " + quoted(t) + " is not made of finite numbers");
    }
    return op;
}

}  // namespace kelvara
