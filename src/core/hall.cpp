// Hall symbols: parsing and closure of the generators into the space group's operations.
#include "core/hall.hpp"

#include <array>
#include <cmath>    // for std::fabs, std::round
#include <cstdint>

#include "core/text.hpp"  // for trim, for_each_word

namespace kelvara {

namespace {

// Translations are kept in 24ths: every translation a Hall symbol can spell (halves,
// thirds, quarters, sixths, the twelfths of origin shifts) is a whole number of them.
constexpr int kDen = 24;

using Rot = std::array<int, 9>;  // row-major, acting on column vectors of fractions
using Tr = std::array<int, 3>;   // in 24ths, reduced into [0, 24)

struct Seitz {
    Rot r;
    Tr t;
};

int mod_den(int v) {
    v %= kDen;
    return v < 0 ? v + kDen : v;
}

Seitz multiply(const Seitz& a, const Seitz& b) {
    Seitz p{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            p.r[3 * i + j] = a.r[3 * i] * b.r[j] + a.r[3 * i + 1] * b.r[3 + j] +
                             a.r[3 * i + 2] * b.r[6 + j];
        p.t[i] = mod_den(a.r[3 * i] * b.t[0] + a.r[3 * i + 1] * b.t[1] + a.r[3 * i + 2] * b.t[2] +
                         a.t[i]);
    }
    return p;
}

constexpr Rot kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

// Proper rotations about a, b, c of order 2, 3, 4, 6 ([axis][order index]).
constexpr Rot kPrincipal[3][4] = {
    {{1, 0, 0, 0, -1, 0, 0, 0, -1}, {1, 0, 0, 0, 0, -1, 0, 1, -1},
     {1, 0, 0, 0, 0, -1, 0, 1, 0}, {1, 0, 0, 0, 1, -1, 0, 1, 0}},
    {{-1, 0, 0, 0, 1, 0, 0, 0, -1}, {-1, 0, 1, 0, 1, 0, -1, 0, 0},
     {0, 0, 1, 0, 1, 0, -1, 0, 0}, {0, 0, 1, 0, 1, 0, -1, 0, 1}},
    {{-1, 0, 0, 0, -1, 0, 0, 0, 1}, {0, -1, 0, 1, -1, 0, 0, 0, 1},
     {0, -1, 0, 1, 0, 0, 0, 0, 1}, {1, -1, 0, 1, 0, 0, 0, 0, 1}},
};
// Two-fold rotations about face diagonals, ' and ", perpendicular to a, b or c.
constexpr Rot kPrime[3] = {{-1, 0, 0, 0, 0, -1, 0, -1, 0},
                           {0, 0, -1, 0, -1, 0, -1, 0, 0},
                           {0, -1, 0, -1, 0, 0, 0, 0, -1}};
constexpr Rot kDoublePrime[3] = {{-1, 0, 0, 0, 0, 1, 0, 1, 0},
                                 {0, 0, 1, 0, -1, 0, 1, 0, 0},
                                 {0, 1, 0, 1, 0, 0, 0, 0, -1}};
// Three-fold rotation about the body diagonal a+b+c.
constexpr Rot kStar{0, 0, 1, 1, 0, 0, 0, 1, 0};

int order_index(int n) { return n == 2 ? 0 : n == 3 ? 1 : n == 4 ? 2 : 3; }

/// Lattice centring translations (24ths) of a Hall lattice letter, the zero vector first.
bool centring(char letter, std::vector<Tr>& out) {
    out.assign(1, Tr{0, 0, 0});
    switch (letter) {
        case 'P': return true;
        case 'A': out.push_back({0, 12, 12}); return true;
        case 'B': out.push_back({12, 0, 12}); return true;
        case 'C': out.push_back({12, 12, 0}); return true;
        case 'I': out.push_back({12, 12, 12}); return true;
        case 'R': out.push_back({16, 8, 8}); out.push_back({8, 16, 16}); return true;
        case 'S': out.push_back({8, 8, 16}); out.push_back({16, 16, 8}); return true;
        case 'T': out.push_back({8, 16, 8}); out.push_back({16, 8, 16}); return true;
        case 'F':
            out.push_back({0, 12, 12});
            out.push_back({12, 0, 12});
            out.push_back({12, 12, 0});
            return true;
        default: return false;
    }
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

/// What the previous matrix symbol left for the implicit-axis rules.
struct Previous {
    int order = 0;  // 0 before the first symbol
    int axis = 2;   // principal axis 0, 1, 2; the reference of ' and "
};

/// One matrix symbol ("-2ybc", "31", "2\"c", "3*", "-1d"), the `index`-th of the symbol.
std::optional<Seitz> matrix_symbol(std::string_view word, int index, Previous& prev) {
    std::size_t i = 0;
    const bool improper = i < word.size() && word[i] == '-';
    if (improper) ++i;
    if (i >= word.size()) return std::nullopt;
    const int n = word[i] - '0';
    if (n != 1 && n != 2 && n != 3 && n != 4 && n != 6) return std::nullopt;
    ++i;
    int screw = 0;
    if (i < word.size() && word[i] >= '1' && word[i] <= '5') {
        screw = word[i] - '0';
        if (screw >= n) return std::nullopt;
        ++i;
    }
    char axis = 0;  // 'x', 'y', 'z', '\'', '"', '*'
    if (i < word.size()) {
        const char c = lower(word[i]);
        if (c == 'x' || c == 'y' || c == 'z' || c == '\'' || c == '"' || c == '*') {
            axis = c;
            ++i;
        }
    }
    Tr t{0, 0, 0};
    for (; i < word.size(); ++i) {
        switch (lower(word[i])) {
            case 'a': t[0] += 12; break;
            case 'b': t[1] += 12; break;
            case 'c': t[2] += 12; break;
            case 'n': t[0] += 12; t[1] += 12; t[2] += 12; break;
            case 'u': t[0] += 6; break;
            case 'v': t[1] += 6; break;
            case 'w': t[2] += 6; break;
            case 'd': t[0] += 6; t[1] += 6; t[2] += 6; break;
            default: return std::nullopt;
        }
    }
    if (axis == 0 && n != 1) {
        if (index == 0)
            axis = 'z';
        else if (index == 1 && n == 2 && (prev.order == 2 || prev.order == 4))
            axis = 'x';
        else if (index == 1 && n == 2 && (prev.order == 3 || prev.order == 6))
            axis = '\'';
        else if (index == 2 && n == 3)
            axis = '*';
        else
            return std::nullopt;
    }
    Rot r = kIdentity;
    int principal = -1;
    if (n != 1) {
        switch (axis) {
            case 'x': principal = 0; break;
            case 'y': principal = 1; break;
            case 'z': principal = 2; break;
            default: break;
        }
        if (principal >= 0) {
            r = kPrincipal[principal][order_index(n)];
        } else if (axis == '*') {
            if (n != 3) return std::nullopt;
            r = kStar;
        } else {  // face diagonal, perpendicular to the previous principal axis
            if (n != 2) return std::nullopt;
            r = axis == '\'' ? kPrime[prev.axis] : kDoublePrime[prev.axis];
        }
    }
    if (screw) {
        if (principal < 0) return std::nullopt;
        t[principal] += screw * (kDen / n);
    }
    if (improper)
        for (int& v : r) v = -v;
    for (int& v : t) v = mod_den(v);
    prev.order = n;
    if (principal >= 0) prev.axis = principal;
    return Seitz{r, t};
}

/// A rotation whose entries are all -1, 0 or 1 (every crystallographic one in these
/// bases) as a number below 3^9; -1 for any other matrix.
int rotation_key(const Rot& r) {
    int key = 0;
    for (int v : r) {
        if (v < -1 || v > 1) return -1;
        key = key * 3 + (v + 1);
    }
    return key;
}

/// The translation as the smallest of its images under the centring vectors.
Tr canonical(const Tr& t, const std::vector<Tr>& centrings) {
    Tr best = t;
    for (std::size_t k = 1; k < centrings.size(); ++k) {
        const Tr c{mod_den(t[0] + centrings[k][0]), mod_den(t[1] + centrings[k][1]),
                   mod_den(t[2] + centrings[k][2])};
        if (c < best) best = c;
    }
    return best;
}

/// Members of a group under construction by rotation key: a small open-addressing
/// table (at most 48 rotations in 128 slots).
class RotationIndex {
public:
    /// The position of the member with this key, or -1.
    int find(int key) const {
        for (unsigned s = slot(key);; s = (s + 1) & kMask) {
            if (keys_[s] == 0) return -1;
            if (keys_[s] == key + 1) return positions_[s];
        }
    }
    void insert(int key, int position) {
        unsigned s = slot(key);
        while (keys_[s] != 0) s = (s + 1) & kMask;
        keys_[s] = key + 1;
        positions_[s] = static_cast<std::uint8_t>(position);
    }

private:
    static constexpr unsigned kMask = 127;
    static unsigned slot(int key) { return (static_cast<unsigned>(key) * 2654435761u) >> 25; }
    std::array<int, 128> keys_{};  // key + 1; 0 marks an empty slot
    std::array<std::uint8_t, 128> positions_{};
};

/// The coset representatives of the group (one per rotation), or absent when the
/// generators do not close into a crystallographic space group.
std::optional<std::vector<Seitz>> close_group(const std::vector<Seitz>& generators,
                                              const std::vector<Tr>& centrings) {
    std::vector<Seitz> group{Seitz{kIdentity, {0, 0, 0}}};
    group.reserve(48);
    RotationIndex index;
    index.insert(rotation_key(kIdentity), 0);
    for (std::size_t i = 0; i < group.size(); ++i) {
        for (const Seitz& g : generators) {
            Seitz p = multiply(g, group[i]);
            const int key = rotation_key(p.r);
            if (key < 0) return std::nullopt;
            p.t = canonical(p.t, centrings);
            if (const int j = index.find(key); j >= 0) {
                // One rotation, two translations that are no lattice vector apart: not a group.
                if (group[j].t != p.t) return std::nullopt;
                continue;
            }
            if (group.size() == 48) return std::nullopt;
            index.insert(key, static_cast<int>(group.size()));
            group.push_back(p);
        }
    }
    return group;
}

/// Adds the products with a centre of symmetry at the origin to a closed group: half
/// the work of closing with it as one more generator. False when the result is no
/// group: the inversion must map every member (R, t) onto a member (R, -t).
bool add_inversion(std::vector<Seitz>& group, const std::vector<Tr>& centrings) {
    const std::size_t n = group.size();
    const int inversion_key = rotation_key({-1, 0, 0, 0, -1, 0, 0, 0, -1});
    for (std::size_t i = 0; i < n; ++i) {
        // Already a member: then only as a centre of symmetry at the origin.
        if (rotation_key(group[i].r) == inversion_key) return group[i].t == Tr{0, 0, 0};
        const Tr minus = canonical({mod_den(-group[i].t[0]), mod_den(-group[i].t[1]),
                                    mod_den(-group[i].t[2])}, centrings);
        if (minus != group[i].t) return false;
    }
    if (2 * n > 48) return false;
    for (std::size_t i = 0; i < n; ++i) {
        Seitz p = group[i];
        for (int& v : p.r) v = -v;
        group.push_back(p);  // (-1, 0)(R, t) = (-R, -t), the same as (-R, t) here
    }
    return true;
}

/// An origin shift "(0 0 4)" in twelfths, read into 24ths.
std::optional<Tr> origin_shift(std::string_view inside) {
    Tr v{0, 0, 0};
    int count = 0;
    bool ok = true;
    for_each_word(inside, [&](std::string_view word) {
        if (count == 3) return ok = false;
        bool negative = false;
        std::size_t i = 0;
        if (i < word.size() && (word[i] == '-' || word[i] == '+')) negative = word[i++] == '-';
        if (i == word.size() || word.size() - i > 3) return ok = false;
        int value = 0;
        for (; i < word.size(); ++i) {
            if (word[i] < '0' || word[i] > '9') return ok = false;
            value = value * 10 + (word[i] - '0');
        }
        v[count++] = mod_den(2 * (negative ? -value : value));
        return true;
    });
    if (!ok || count != 3) return std::nullopt;
    return v;
}

/// A change of basis V and its inverse: operations S of the symbol become V S V^-1.
struct Basis {
    Seitz to;
    Seitz from;
};

/// The change of basis after the matrix symbols: an origin shift "(0 0 4)", or an
/// operation "(z,x,y+1/4)" with a whole-numbered matrix of determinant 1 or -1 and
/// translations in 24ths (a change to a cell of another size is not read).
std::optional<Basis> change_of_basis(std::string_view inside) {
    if (inside.find(',') == std::string_view::npos) {
        auto v = origin_shift(inside);
        if (!v) return std::nullopt;
        return Basis{{kIdentity, *v}, {kIdentity, {mod_den(-(*v)[0]), mod_den(-(*v)[1]),
                                                   mod_den(-(*v)[2])}}};
    }
    auto op = parse_symmop(inside);
    if (!op) return std::nullopt;
    Seitz to{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double v = op->rotation[i][j];
            if (!(std::fabs(v) <= 1.0) || v != std::round(v)) return std::nullopt;
            to.r[3 * i + j] = static_cast<int>(v);
        }
        const double t = op->translation[i] * kDen;
        if (!(std::fabs(t) <= 1e6) || std::fabs(t - std::round(t)) > 1e-9) return std::nullopt;
        to.t[i] = mod_den(static_cast<int>(std::round(t)));
    }
    const Rot& m = to.r;
    const int det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                    m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (det != 1 && det != -1) return std::nullopt;
    // The inverse of a whole-numbered matrix of determinant +-1 is its adjugate times det.
    Seitz from{};
    from.r = {det * (m[4] * m[8] - m[5] * m[7]), det * (m[2] * m[7] - m[1] * m[8]),
              det * (m[1] * m[5] - m[2] * m[4]), det * (m[5] * m[6] - m[3] * m[8]),
              det * (m[0] * m[8] - m[2] * m[6]), det * (m[2] * m[3] - m[0] * m[5]),
              det * (m[3] * m[7] - m[4] * m[6]), det * (m[1] * m[6] - m[0] * m[7]),
              det * (m[0] * m[4] - m[1] * m[3])};
    for (int i = 0; i < 3; ++i)  // t' = -M^-1 t
        from.t[i] = mod_den(-(from.r[3 * i] * to.t[0] + from.r[3 * i + 1] * to.t[1] +
                              from.r[3 * i + 2] * to.t[2]));
    return Basis{to, from};
}

std::optional<std::vector<Seitz>> hall_seitz(std::string_view text) {
    text = trim(text);
    std::optional<Basis> basis;
    if (const std::size_t open = text.find('('); open != std::string_view::npos) {
        const std::size_t close = text.find(')', open);
        if (close == std::string_view::npos || !trim(text.substr(close + 1)).empty())
            return std::nullopt;
        basis = change_of_basis(text.substr(open + 1, close - open - 1));
        if (!basis) return std::nullopt;
        text = trim(text.substr(0, open));
    }
    std::vector<std::string_view> words;
    for_each_word(text, [&](std::string_view w) {
        words.push_back(w);
        return true;
    });
    if (words.empty()) return std::nullopt;
    // The lattice symbol: "-" for a centre of symmetry at the origin, then the letter.
    std::string_view lattice = words[0];
    const bool centric = lattice.starts_with('-');
    if (centric) lattice.remove_prefix(1);
    if (lattice.empty()) return std::nullopt;
    std::vector<Tr> centrings;
    if (!centring(upper(lattice[0]), centrings)) return std::nullopt;
    // "-P2ybc": the first matrix symbol written against the lattice letter.
    std::vector<std::string_view> matrices;
    if (lattice.size() > 1) matrices.push_back(lattice.substr(1));
    matrices.insert(matrices.end(), words.begin() + 1, words.end());
    if (matrices.empty() || matrices.size() > 4) return std::nullopt;

    std::vector<Seitz> generators;
    Previous prev;
    for (std::size_t k = 0; k < matrices.size(); ++k) {
        auto g = matrix_symbol(matrices[k], static_cast<int>(k), prev);
        if (!g) return std::nullopt;
        generators.push_back(*g);
    }
    auto group = close_group(generators, centrings);
    if (!group || (centric && !add_inversion(*group, centrings))) return std::nullopt;
    std::vector<Seitz> ops;
    ops.reserve(group->size() * centrings.size());
    for (const Tr& c : centrings)
        for (const Seitz& g : *group) {
            Seitz op = g;
            for (int i = 0; i < 3; ++i) op.t[i] = mod_den(g.t[i] + c[i]);
            ops.push_back(basis ? multiply(multiply(basis->to, op), basis->from) : op);
        }
    return ops;
}

SymmOp to_symmop(const Seitz& s) {
    SymmOp op;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) op.rotation[i][j] = s.r[3 * i + j];
        op.translation[i] = static_cast<double>(s.t[i]) / kDen;
    }
    return op;
}

std::vector<SymmOp> to_symmops(const std::vector<Seitz>& ops) {
    std::vector<SymmOp> out;
    out.reserve(ops.size());
    for (const Seitz& s : ops) out.push_back(to_symmop(s));
    return out;
}

}  // namespace

std::optional<std::vector<SymmOp>> hall_operations(std::string_view hall) {
    auto ops = hall_seitz(hall);
    if (!ops) return std::nullopt;
    return to_symmops(*ops);
}

}  // namespace kelvara
