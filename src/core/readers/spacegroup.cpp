// Space groups by Hall symbol, H-M symbol or number: table lookup, spellings, choices.
#include "core/readers/spacegroup.hpp"

#include <algorithm>  // for std::lower_bound, std::sort
#include <cmath>      // for std::sqrt, std::fabs
#include <cstdint>
#include <mutex>      // for std::once_flag, std::call_once

#include "core/readers/hall.hpp"  // for hall_operations
#include "core/util/text.hpp"  // for trim, for_each_word, quoted

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

#include "core/readers/spacegroup_table.inc"

constexpr std::size_t kSettingCount = std::size(kSettings);

SpaceGroupSetting setting_at(std::size_t i) {
    const SettingRow& row = kSettings[i];
    return {row.number, row.ext, row.hm, row.hall, i};
}

/// Whether two lists hold the same operations, in any order. Both come from 24ths,
/// so equal operations have equal floats.
bool same_ops(const std::vector<SymmOp>& a, const std::vector<SymmOp>& b) {
    if (a.size() != b.size()) return false;
    const auto less = [](const SymmOp& x, const SymmOp& y) {
        return x.rotation != y.rotation ? x.rotation < y.rotation : x.translation < y.translation;
    };
    std::vector<SymmOp> sa = a, sb = b;
    std::sort(sa.begin(), sa.end(), less);
    std::sort(sb.begin(), sb.end(), less);
    for (std::size_t i = 0; i < sa.size(); ++i)
        if (sa[i].rotation != sb[i].rotation || sa[i].translation != sb[i].translation) return false;
    return true;
}

// ---- H-M symbols ------------------------------------------------------------------

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

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
        // "P2_1/c" and SHELXTL's "P2(1)/c" write the screw's subscript apart.
        if (base[i] != '_' && base[i] != '(' && base[i] != ')') out.key += upper(base[i]);
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

/// The rows of a table sorted by key that hold `key`.
template <std::size_t N>
std::pair<const NameRow*, const NameRow*> rows_of(const NameRow (&table)[N], std::string_view key) {
    const auto less_key = [](const NameRow& row, std::string_view k) { return row.key < k; };
    const NameRow* first = std::lower_bound(std::begin(table), std::end(table), key, less_key);
    const NameRow* last = first;
    while (last != std::end(table) && last->key == key) ++last;
    return {first, last};
}

/// The settings an H-M symbol can mean (all its suffixes when none is given).
std::pair<const NameRow*, const NameRow*> rows_of(std::string_view key) {
    return rows_of(kNames, key);
}

/// The operations of a table setting, built on first use and kept: a closure costs
/// tens of microseconds for the cubic groups, a copy a few hundred nanoseconds.
const std::vector<SymmOp>& setting_operations(std::size_t index) {
    static std::once_flag once[kSettingCount];
    static std::vector<SymmOp> operations[kSettingCount];
    std::call_once(once[index], [index] {
        // Every Hall symbol of the table closes into its group (the tests check each).
        operations[index] = *hall_operations(kSettings[index].hall);
    });
    return operations[index];
}

/// A Hall symbol with single blanks, to find it in the table.
std::string collapse_blanks(std::string_view text) {
    std::string out;
    for_each_word(text, [&](std::string_view word) {
        if (!out.empty()) out += ' ';
        out += word;
        return true;
    });
    return out;
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

std::string origin_warning(const std::string& named, int number) {
    const std::string hm(kSettings[kReference[number]].hm);
    return named + " has two origin choices and the file does not say which; origin choice 2 "
           "(centre of symmetry at the origin) is assumed, as '" + hm + ":2' says ('" + hm +
           ":1' for origin choice 1)";
}

}  // namespace

// ---- public ------------------------------------------------------------------------

std::optional<std::vector<SymmOp>> operations_from_hall(std::string_view hall) {
    hall = unquote(hall);
    if (auto [first, last] = rows_of(kHalls, collapse_blanks(hall)); first != last)
        return setting_operations(first->setting);
    return hall_operations(hall);
}

std::vector<SymmOp> operations_of(const SpaceGroupSetting& setting) {
    return setting_operations(setting.index);
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
    std::optional<std::vector<SymmOp>> hall_ops;
    if (given_hall) hall_ops = operations_from_hall(names.hall);
    std::optional<SettingMatch> by_hm;
    if (given_hm) by_hm = find_setting_by_hm(names.hm, names.rhombohedral_cell);
    std::optional<int> number;
    if (given_number) number = group_number(names.number);
    std::optional<SettingMatch> by_number;
    if (number) by_number = find_setting_by_number(*number, names.rhombohedral_cell);

    if (hall_ops) {
        // The other names agree when one of the settings they can mean has these operations.
        if (by_hm) {
            const SplitName split = *split_name(names.hm);
            auto [first, last] = rows_of(split.key);
            bool agrees = false;
            for (const NameRow* row = first; row != last && !agrees; ++row)
                agrees = (!split.ext || kSettings[row->setting].ext == split.ext) &&
                         same_ops(setting_operations(row->setting), *hall_ops);
            if (!agrees)
                out.warnings.push_back("the " + hall_text + " and the " + hm_text +
                                       " name different settings; the operations are taken "
                                       "from the Hall symbol");
        } else if (given_hm) {
            out.warnings.push_back(hm_text + " is not recognised; the operations are taken "
                                   "from the " + hall_text);
        } else if (number) {
            bool agrees = false;
            for (std::size_t i = 0; i < kSettingCount && !agrees; ++i)
                agrees = kSettings[i].number == *number &&
                         same_ops(setting_operations(i), *hall_ops);
            if (!agrees)
                out.warnings.push_back("the " + hall_text + " is not a setting of " + number_text +
                                       "; the operations are taken from the Hall symbol");
        }
        out.operations = std::move(*hall_ops);
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
        out.operations = operations_of(by_hm->setting);
        return out;
    }
    if (by_number) {
        if (given_hm)
            out.warnings.push_back(hm_text + " is not recognised; the operations are taken "
                                   "from the " + number_text);
        if (by_number->origin_assumed) out.warnings.push_back(origin_warning(number_text, *number));
        out.operations = operations_of(by_number->setting);
        return out;
    }
    // Nothing recognised: name the most specific tag that was given.
    const std::string& named = given_hm ? hm_text : given_hall ? hall_text : number_text;
    out.warnings.clear();
    out.warnings.push_back(named + " is not recognised; the file is read as P 1 (no symmetry "
                           "operations)");
    out.operations.assign(1, SymmOp::identity());
    out.recognised = false;
    return out;
}

}  // namespace kelvara
