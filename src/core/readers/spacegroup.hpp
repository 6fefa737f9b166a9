// Space groups named by Hall symbol, H-M symbol or number, and their symmetry operations.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/lattice.hpp"   // for Mat3
#include "core/readers/symmetry.hpp"  // for SymmOp

namespace kelvara {

/// One setting of one space group, as the built-in table lists it.
struct SpaceGroupSetting {
    int number = 0;          ///< 1 to 230
    char ext = 0;            ///< '1' or '2' (origin choice), 'H' or 'R' (axes), or 0
    std::string_view hm;     ///< H-M symbol, "P 1 21/c 1", "F d -3 m"
    std::string_view hall;   ///< Hall symbol, "-P 2ybc"
    std::size_t index = 0;   ///< position in the table
};

/// A setting found by name or number, and whether its origin choice was a guess
/// (a group with two origin choices named without saying which: origin choice 2,
/// the inversion centre at the origin, is taken).
struct SettingMatch {
    SpaceGroupSetting setting;
    bool origin_assumed = false;
};

/// The operations of the group that a Hall symbol generates ("-P 2ybc",
/// "F 4d 2 3 -1d", "P 31 2 (0 0 4)"), translations reduced into [0, 1), the
/// identity first. Absent when the symbol cannot be read or its generators do not
/// close into a space group.
std::optional<std::vector<SymmOp>> operations_from_hall(std::string_view hall);

/// The setting an H-M symbol names. Spelling is free: blanks, underscores, brackets
/// and case do not matter ("P21/c", "p 1 21/c 1", "P2_1/c", "P2(1)/c"), short and full symbols both work
/// ("P 21/c", "P 21/n 21/m 21/a"), cubic symbols may omit the bar ("F m 3 m"), and
/// the setting may be given as ":1", ":2", ":H", ":R" or as a trailing " S", " Z",
/// " H", " R". Without it, origin choice 2 is taken, and rhombohedral axes only when
/// `rhombohedral_cell` (a = b = c and alpha = beta = gamma), hexagonal axes otherwise.
std::optional<SettingMatch> find_setting_by_hm(std::string_view name, bool rhombohedral_cell);

/// The reference setting of group `number` (origin choice 2; hexagonal axes unless
/// `rhombohedral_cell`); absent outside 1 to 230.
std::optional<SettingMatch> find_setting_by_number(int number, bool rhombohedral_cell);

/// The operations of a setting of the table, translations in [0, 1), the identity first.
std::vector<SymmOp> operations_of(const SpaceGroupSetting& setting);

/// Whether a cell has rhombohedral axes: a = b = c and alpha = beta = gamma.
bool is_rhombohedral_cell(const Mat3& matrix);

/// Space-group tag values of one CIF block as written (empty when absent).
struct SpaceGroupNames {
    std::string_view hall;
    std::string_view hm;
    std::string_view number;
    bool rhombohedral_cell = false;
};

/// The operations the names give, with what was assumed on the way.
struct NamedGroup {
    std::vector<SymmOp> operations;
    std::vector<std::string> warnings;
    bool recognised = true;  ///< false: no name was recognised, the operations are P 1's
};

/// The group named by the tags: the Hall symbol when it can be read, else the H-M
/// symbol, else the number (the more specific name wins; names that disagree are
/// reported). Absent when no tag holds a value ("?" and "." hold none). When no
/// name is recognised, the identity alone with a warning that names it.
std::optional<NamedGroup> operations_from_names(const SpaceGroupNames& names);

}  // namespace kelvara
