// Space groups by Hall symbol, H-M symbol or number: table lookup and Hall-symbol closure.
#include "core/spacegroup.hpp"

#include <algorithm>  // for std::lower_bound, std::upper_bound, std::sort
#include <array>
#include <cmath>      // for std::sqrt, std::fabs, std::acos
#include <cstdint>

#include "core/text.hpp"  // for trim, strip_char, for_each_word, quoted

namespace kelvara {

namespace {

struct SettingRow {
    std::uint8_t number;
    char ext;
    const char* hm;
    const char* hall;
};

struct NameRow {
    std::string_view key;
    std::uint16_t setting;
};

#include "core/spacegroup_table.inc"

constexpr std::size_t kSettingCount = std::size(kSettings);

SpaceGroupSetting setting_at(std::size_t i) {
    const SettingRow& row = kSettings[i];
    return {row.number, row.ext, row.hm, row.hall};
}

// ---- Hall symbols ---------------------------------------------------------------

// Translations are kept in 24ths: every translation a Hall symbol can spell (halves,
// thirds, quarters, sixths, the twelfths of origin shifts) is a whole number of them.
constexpr int kDen = 24;

using Rot = std::array<int, 9>;  // row-major, acting on column vectors of fractions
using Tr = std::array<int, 3>;   // in 24ths, reduced into [0, 24)

struct Seitz {
    Rot r;
    Tr t;
};

int mod_den(int v) { return ((v % kDen) + kDen) % kDen; }

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

int rotation_key(const Rot& r) {
    int key = 0;
    for (int v : r) key = key * 3 + (v + 1);  // entries of crystallographic rotations: -1, 0, 1
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

bool is_small_rotation(const Rot& r) {
    for (int v : r)
        if (v < -1 || v > 1) return false;
    return true;
}

/// The coset representatives of the group (one per rotation), or absent when the
/// generators do not close into a crystallographic space group.
std::optional<std::vector<Seitz>> close_group(const std::vector<Seitz>& generators,
                                              const std::vector<Tr>& centrings) {
    std::vector<Seitz> group{Seitz{kIdentity, {0, 0, 0}}};
    std::vector<int> keys{rotation_key(kIdentity)};
    for (std::size_t i = 0; i < group.size(); ++i) {
        for (const Seitz& g : generators) {
            Seitz p = multiply(g, group[i]);
            if (!is_small_rotation(p.r)) return std::nullopt;
            p.t = canonical(p.t, centrings);
            const int key = rotation_key(p.r);
            std::size_t j = 0;
            while (j < keys.size() && keys[j] != key) ++j;
            if (j < keys.size()) {
                // One rotation, two translations that are no lattice vector apart: not a group.
                if (group[j].t != p.t) return std::nullopt;
                continue;
            }
            if (group.size() == 48) return std::nullopt;
            group.push_back(p);
            keys.push_back(key);
        }
    }
    return group;
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

std::optional<std::vector<Seitz>> hall_seitz(std::string_view text) {
    text = trim(text);
    Tr shift{0, 0, 0};
    if (const std::size_t open = text.find('('); open != std::string_view::npos) {
        const std::size_t close = text.find(')', open);
        if (close == std::string_view::npos || !trim(text.substr(close + 1)).empty())
            return std::nullopt;
        auto v = origin_shift(text.substr(open + 1, close - open - 1));
        if (!v) return std::nullopt;
        shift = *v;
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
    if (centric) generators.push_back(Seitz{{-1, 0, 0, 0, -1, 0, 0, 0, -1}, {0, 0, 0}});
    Previous prev;
    for (std::size_t k = 0; k < matrices.size(); ++k) {
        auto g = matrix_symbol(matrices[k], static_cast<int>(k), prev);
        if (!g) return std::nullopt;
        generators.push_back(*g);
    }
    auto group = close_group(generators, centrings);
    if (!group) return std::nullopt;
    std::vector<Seitz> ops;
    ops.reserve(group->size() * centrings.size());
    for (const Tr& c : centrings)
        for (const Seitz& g : *group) {
            Seitz op = g;
            for (int i = 0; i < 3; ++i) {
                // Moving the origin by v turns (R, t) into (R, t + v - R v).
                const int rv = g.r[3 * i] * shift[0] + g.r[3 * i + 1] * shift[1] +
                               g.r[3 * i + 2] * shift[2];
                op.t[i] = mod_den(g.t[i] + c[i] + shift[i] - rv);
            }
            ops.push_back(op);
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

/// A group's operations in a comparable order.
std::vector<Seitz> sorted_ops(std::vector<Seitz> ops) {
    std::sort(ops.begin(), ops.end(), [](const Seitz& a, const Seitz& b) {
        return a.r != b.r ? a.r < b.r : a.t < b.t;
    });
    return ops;
}

bool same_ops(const std::vector<Seitz>& a, const std::vector<Seitz>& b) {
    if (a.size() != b.size()) return false;
    const auto sa = sorted_ops(a), sb = sorted_ops(b);
    for (std::size_t i = 0; i < sa.size(); ++i)
        if (sa[i].r != sb[i].r || sa[i].t != sb[i].t) return false;
    return true;
}

// ---- H-M symbols ------------------------------------------------------------------

struct SplitName {
    std::string key;  // blanks and underscores removed, upper case
    char ext = 0;     // requested setting, or 0
};

/// The text without blanks around it and without one pair of matching quotes (a
/// Hall symbol may end in a double quote of its own: 'R 3 2"').
std::string_view unquote(std::string_view text) {
    text = trim(text);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
        text.back() == text.front())
        text = trim(text.substr(1, text.size() - 2));
    return text;
}

std::optional<SplitName> split_name(std::string_view name) {
    name = unquote(name);
    SplitName out;
    std::string_view base = name;
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
        base = name.substr(0, colon);
        const std::string_view ext = trim(name.substr(colon + 1));
        if (ext.size() != 1) return std::nullopt;
        const char e = upper(ext[0]);
        if (e != '1' && e != '2' && e != 'H' && e != 'R') return std::nullopt;
        out.ext = e;
    } else {
        // A setting letter as the last word ("R -3 m H", "F d -3 m Z"): no symmetry
        // element is written with S, Z, H or R, and the lattice letter comes first.
        std::string_view last;
        int words = 0;
        for_each_word(name, [&](std::string_view w) {
            last = w;
            ++words;
            return true;
        });
        if (words >= 3 && last.size() == 1) {
            const char e = upper(last[0]);
            const char ext = e == 'S' ? '1' : e == 'Z' ? '2' : (e == 'H' || e == 'R') ? e : 0;
            if (ext) {
                out.ext = ext;
                base = trim(name.substr(0, static_cast<std::size_t>(last.data() - name.data())));
            }
        }
    }
    for (std::size_t i = 0; i < base.size();) {
        if (const std::size_t w = whitespace_length_at(base, i)) {
            i += w;
            continue;
        }
        // U+2212 MINUS SIGN, as some writers print the bar of -3.
        if (base.substr(i, 3) == "\xE2\x88\x92") {
            out.key += '-';
            i += 3;
            continue;
        }
        if (base[i] != '_') out.key += upper(base[i]);
        ++i;
    }
    if (out.key.empty()) return std::nullopt;
    return out;
}

/// Among settings of one symbol, the one to take: the requested suffix; otherwise
/// origin choice 2, and rhombohedral or hexagonal axes as the cell says.
std::optional<SettingMatch> choose(const NameRow* first, const NameRow* last, char ext,
                                   bool rhombohedral_cell) {
    if (first == last) return std::nullopt;
    if (ext) {
        for (const NameRow* row = first; row != last; ++row)
            if (kSettings[row->setting].ext == ext) return SettingMatch{setting_at(row->setting)};
        return std::nullopt;
    }
    bool has_origin_1 = false;
    for (const NameRow* row = first; row != last; ++row)
        has_origin_1 |= kSettings[row->setting].ext == '1';
    const char wanted_axes = rhombohedral_cell ? 'R' : 'H';
    for (const NameRow* row = first; row != last; ++row) {
        const char e = kSettings[row->setting].ext;
        if (e == '2') return SettingMatch{setting_at(row->setting), has_origin_1};
        if (e == wanted_axes) return SettingMatch{setting_at(row->setting)};
    }
    return SettingMatch{setting_at(first->setting)};
}

/// The settings an H-M symbol can mean (all its suffixes when none is given).
std::pair<const NameRow*, const NameRow*> rows_of(std::string_view key) {
    const auto less_key = [](const NameRow& row, std::string_view k) { return row.key < k; };
    const NameRow* first = std::lower_bound(std::begin(kNames), std::end(kNames), key, less_key);
    const NameRow* last = first;
    while (last != std::end(kNames) && last->key == key) ++last;
    return {first, last};
}

std::optional<int> group_number(std::string_view text) {
    text = unquote(text);
    if (text.empty() || text.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 230) return std::nullopt;
    return n;
}

bool has_value(std::string_view text) {
    text = unquote(text);
    return !text.empty() && text != "?" && text != ".";
}

std::vector<SymmOp> to_symmops(const std::vector<Seitz>& ops) {
    std::vector<SymmOp> out;
    out.reserve(ops.size());
    for (const Seitz& s : ops) out.push_back(to_symmop(s));
    return out;
}

std::string origin_warning(const std::string& named, int number) {
    return named + " has two origin choices and the file does not say which; origin choice 2 "
           "(centre of symmetry at the origin) is assumed, as for '" +
           std::string(kSettings[kReference[number]].hm) + ":2'";
}

}  // namespace

// ---- public ------------------------------------------------------------------------

std::optional<std::vector<SymmOp>> operations_from_hall(std::string_view hall) {
    auto ops = hall_seitz(unquote(hall));
    if (!ops) return std::nullopt;
    return to_symmops(*ops);
}

std::optional<SettingMatch> find_setting_by_hm(std::string_view name, bool rhombohedral_cell) {
    auto split = split_name(name);
    if (!split) return std::nullopt;
    auto [first, last] = rows_of(split->key);
    return choose(first, last, split->ext, rhombohedral_cell);
}

std::optional<SettingMatch> find_setting_by_number(int number, bool rhombohedral_cell) {
    if (number < 1 || number > 230) return std::nullopt;
    const std::size_t ref = kReference[number];
    const SettingRow& row = kSettings[ref];
    SettingMatch match{setting_at(ref)};
    if (row.ext == '2') match.origin_assumed = true;
    if (row.ext == 'H' && rhombohedral_cell)
        for (std::size_t i = 0; i < kSettingCount; ++i)
            if (kSettings[i].number == number && kSettings[i].ext == 'R') match = {setting_at(i)};
    return match;
}

bool is_rhombohedral_cell(const Mat3& m) {
    double length[3];
    for (int i = 0; i < 3; ++i)
        length[i] = std::sqrt(m[i][0] * m[i][0] + m[i][1] * m[i][1] + m[i][2] * m[i][2]);
    auto cosine = [&](int i, int j) {
        return (m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2]) / (length[i] * length[j]);
    };
    const double cos_alpha = cosine(1, 2), cos_beta = cosine(0, 2), cos_gamma = cosine(0, 1);
    const double a = length[0];
    const bool equal_lengths =
        std::fabs(length[1] - a) <= 1e-3 * a && std::fabs(length[2] - a) <= 1e-3 * a;
    // 1e-4 in the cosine is well under a hundredth of a degree near any angle in use.
    const bool equal_angles =
        std::fabs(cos_beta - cos_alpha) <= 1e-4 && std::fabs(cos_gamma - cos_alpha) <= 1e-4;
    return equal_lengths && equal_angles;
}

std::optional<NamedGroup> operations_from_names(const SpaceGroupNames& names) {
    const bool given_hall = has_value(names.hall), given_hm = has_value(names.hm),
               given_number = has_value(names.number);
    if (!given_hall && !given_hm && !given_number) return std::nullopt;
    const std::string hall_text = "Hall symbol " + quoted(unquote(names.hall));
    const std::string hm_text = "space group " + quoted(unquote(names.hm));
    const std::string number_text = "space group number " + std::string(unquote(names.number));

    NamedGroup out;
    std::optional<std::vector<Seitz>> hall_ops;
    if (given_hall) hall_ops = hall_seitz(unquote(names.hall));
    std::optional<SettingMatch> by_hm;
    if (given_hm) by_hm = find_setting_by_hm(names.hm, names.rhombohedral_cell);
    std::optional<int> number;
    if (given_number) number = group_number(names.number);
    std::optional<SettingMatch> by_number;
    if (number) by_number = find_setting_by_number(*number, names.rhombohedral_cell);

    if (hall_ops) {
        // The H-M symbol agrees when one of its settings has these operations.
        if (by_hm) {
            auto [first, last] = rows_of(split_name(names.hm)->key);
            const char ext = split_name(names.hm)->ext;
            bool agrees = false;
            for (const NameRow* row = first; row != last && !agrees; ++row) {
                if (ext && kSettings[row->setting].ext != ext) continue;
                auto ops = hall_seitz(kSettings[row->setting].hall);
                agrees = ops && same_ops(*ops, *hall_ops);
            }
            if (!agrees)
                out.warnings.push_back("the " + hall_text + " and the " + hm_text +
                                       " name different settings; the operations are taken "
                                       "from the Hall symbol");
        } else if (given_hm) {
            out.warnings.push_back(hm_text + " is not recognised; the operations are taken "
                                   "from the " + hall_text);
        }
        out.operations = to_symmops(*hall_ops);
        return out;
    }
    if (given_hall)
        out.warnings.push_back(
            hall_text + " is not recognised" +
            (by_hm ? "; the operations are taken from the " + hm_text
                   : by_number ? "; the operations are taken from the " + number_text : ""));
    if (by_hm) {
        if (number && *number != by_hm->setting.number)
            out.warnings.push_back("the " + hm_text + " is number " +
                                   std::to_string(by_hm->setting.number) + ", not " +
                                   std::to_string(*number) +
                                   "; the operations are taken from the H-M symbol");
        if (by_hm->origin_assumed) out.warnings.push_back(origin_warning(hm_text, by_hm->setting.number));
        out.operations = to_symmops(*hall_seitz(by_hm->setting.hall));
        return out;
    }
    if (by_number) {
        if (given_hm)
            out.warnings.push_back(hm_text + " is not recognised; the operations are taken "
                                   "from the " + number_text);
        if (by_number->origin_assumed) out.warnings.push_back(origin_warning(number_text, *number));
        out.operations = to_symmops(*hall_seitz(by_number->setting.hall));
        return out;
    }
    // Nothing recognised: name the most specific tag that was given.
    const std::string& named = given_hm ? hm_text : given_hall ? hall_text : number_text;
    out.warnings.clear();
    out.warnings.push_back(named + " is not recognised; the file is read as P 1 (no symmetry "
                           "operations)");
    out.operations.assign(1, SymmOp::identity());
    return out;
}

}  // namespace kelvara
