// Hall symbols: parsing and closure of the generators into the space group's operations.
#include "core/readers/hall.hpp"

#include <algorithm>  // for std::find
#include <array>
#include <cmath>      // for std::fabs, std::round
#include <cstdint>

#include "core/util/text.hpp"  // for trim, for_each_word

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

/// Adds `p`, its translation made canonical, to the coset representatives `group`
/// (one per rotation, indexed by `index`) unless its rotation is there already.
/// False when that shows no crystallographic space group: p's rotation is not
/// crystallographic, it is there with a translation no lattice vector apart, or it
/// would be the 49th.
bool add_member(std::vector<Seitz>& group, RotationIndex& index, Seitz p, const std::vector<Tr>& centrings) {
    const int key = rotation_key(p.r);
    if (key < 0) return false;
    p.t = canonical(p.t, centrings);
    if (const int j = index.find(key); j >= 0) return group[static_cast<std::size_t>(j)].t == p.t;
    if (group.size() == 48) return false;
    index.insert(key, static_cast<int>(group.size()));
    group.push_back(p);
    return true;
}

/// The coset representatives of the group (one per rotation), or absent when the
/// generators do not close into a crystallographic space group.
std::optional<std::vector<Seitz>> close_group(const std::vector<Seitz>& generators,
                                              const std::vector<Tr>& centrings) {
    std::vector<Seitz> group{Seitz{kIdentity, {0, 0, 0}}};
    group.reserve(48);
    RotationIndex index;
    index.insert(rotation_key(kIdentity), 0);
    for (std::size_t i = 0; i < group.size(); ++i) {
        for (const Seitz& g : generators)
            if (!add_member(group, index, multiply(g, group[i]), centrings)) return std::nullopt;
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

/// A change of basis x' = m x + c, written after the matrix symbols as an origin shift
/// "(0 0 4)" or as an operation "(z,x,y+1/4)", "(1/2*x,y,-1/2*x+z)".
std::optional<SymmOp> change_of_basis(std::string_view inside) {
    if (inside.find(',') != std::string_view::npos) {
        auto op = parse_symmop(inside);
        if (!op) return std::nullopt;
        return *op;
    }
    auto v = origin_shift(inside);
    if (!v) return std::nullopt;
    SymmOp op = SymmOp::identity();
    for (int i = 0; i < 3; ++i) op.translation[i] = static_cast<double>((*v)[i]) / kDen;
    return op;
}

/// `x` as a whole number of 24ths, if it is one.
std::optional<int> in_24ths(double x) {
    const double scaled = x * kDen;
    if (!(std::fabs(scaled) < 1e6)) return std::nullopt;
    const double whole = std::round(scaled);
    if (std::fabs(scaled - whole) > 1e-6) return std::nullopt;
    return static_cast<int>(whole);
}

std::optional<Mat3> inverse(const Mat3& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    // A crystallographic change of cell changes the volume by a small rational factor.
    if (!(std::fabs(det) > 1e-3 && std::fabs(det) < 1e3)) return std::nullopt;
    Mat3 inv{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r1 = (j + 1) % 3, r2 = (j + 2) % 3, c1 = (i + 1) % 3, c2 = (i + 2) % 3;
            inv[i][j] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    return inv;
}

/// The operations `ops` (all of them, centred copies included) of a group with lattice
/// centrings `centrings`, written in the basis x' = m x + c. The lattice of the new
/// cell holds the images of all old lattice vectors, so a larger cell gains centrings.
std::optional<std::vector<Seitz>> in_new_basis(const std::vector<Seitz>& ops,
                                               const std::vector<Tr>& centrings,
                                               const SymmOp& basis) {
    const Mat3& m = basis.rotation;
    const auto m_inv = inverse(m);
    if (!m_inv) return std::nullopt;
    // The new cell's edges must be lattice vectors of the old one (a cell smaller than
    // the lattice allows claims translations the structure does not have).
    for (int j = 0; j < 3; ++j) {
        Tr edge;
        for (int i = 0; i < 3; ++i) {
            auto x = in_24ths((*m_inv)[i][j]);
            if (!x) return std::nullopt;
            edge[i] = mod_den(*x);
        }
        if (std::find(centrings.begin(), centrings.end(), edge) == centrings.end())
            return std::nullopt;
    }
    // Old lattice vectors u = n + centring, seen as m u modulo 1: periodic in n_j with the
    // smallest q_j that makes column j of m whole.
    int period[3];
    for (int j = 0; j < 3; ++j) {
        period[j] = 0;
        for (int q = 1; q <= kDen && !period[j]; ++q) {
            bool whole = true;
            for (int i = 0; i < 3; ++i) {
                const double x = q * m[i][j];
                whole &= std::fabs(x - std::round(x)) < 1e-6;
            }
            if (whole) period[j] = q;
        }
        if (!period[j]) return std::nullopt;
    }
    std::vector<Tr> lattice{{0, 0, 0}};
    std::vector<bool> seen(kDen * kDen * kDen, false);
    seen[0] = true;
    for (const Tr& c : centrings)
        for (int n0 = 0; n0 < period[0]; ++n0)
            for (int n1 = 0; n1 < period[1]; ++n1)
                for (int n2 = 0; n2 < period[2]; ++n2) {
                    const double u[3] = {n0 + static_cast<double>(c[0]) / kDen,
                                         n1 + static_cast<double>(c[1]) / kDen,
                                         n2 + static_cast<double>(c[2]) / kDen};
                    Tr v;
                    for (int i = 0; i < 3; ++i) {
                        auto x = in_24ths(m[i][0] * u[0] + m[i][1] * u[1] + m[i][2] * u[2]);
                        if (!x) return std::nullopt;
                        v[i] = mod_den(*x);
                    }
                    const int slot = (v[0] * kDen + v[1]) * kDen + v[2];
                    if (seen[slot]) continue;
                    if (lattice.size() == 64) return std::nullopt;
                    seen[slot] = true;
                    lattice.push_back(v);
                }
    // Each operation (R, t) becomes (m R m^-1, m t + c - m R m^-1 c): one per rotation.
    std::vector<Seitz> reps;
    RotationIndex index;
    for (const Seitz& op : ops) {
        Seitz p{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double x = 0.0;
                for (int k = 0; k < 3; ++k)
                    for (int l = 0; l < 3; ++l) x += m[i][k] * op.r[3 * k + l] * (*m_inv)[l][j];
                const double whole = std::round(x);
                if (std::fabs(x - whole) > 1e-6) return std::nullopt;
                p.r[3 * i + j] = static_cast<int>(whole);
            }
        for (int i = 0; i < 3; ++i) {
            double x = basis.translation[i];
            for (int k = 0; k < 3; ++k)
                x += m[i][k] * (static_cast<double>(op.t[k]) / kDen) -
                     p.r[3 * i + k] * basis.translation[k];
            auto t = in_24ths(x);
            if (!t) return std::nullopt;
            p.t[i] = mod_den(*t);
        }
        if (!add_member(reps, index, p, lattice)) return std::nullopt;
    }
    std::vector<Seitz> out;
    out.reserve(reps.size() * lattice.size());
    for (const Tr& c : lattice)
        for (const Seitz& g : reps)
            out.push_back({g.r, {mod_den(g.t[0] + c[0]), mod_den(g.t[1] + c[1]), mod_den(g.t[2] + c[2])}});
    return out;
}

std::optional<std::vector<Seitz>> hall_seitz(std::string_view text) {
    text = trim(text);
    std::optional<SymmOp> basis;
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
        for (const Seitz& g : *group)
            ops.push_back({g.r, {mod_den(g.t[0] + c[0]), mod_den(g.t[1] + c[1]), mod_den(g.t[2] + c[2])}});
    if (basis) return in_new_basis(ops, centrings, *basis);
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
