// The chemical elements by symbol, for readers that must tell a symbol from a label.
#include "core/model/elements.hpp"

#include <algorithm>  // for std::is_sorted
#include <array>

namespace kelvara {

namespace {

// Sorted byte-wise, for the binary search.
constexpr std::array<std::string_view, 119> kSymbols = {
    "Ac", "Ag", "Al", "Am", "Ar", "As", "At", "Au", "B",  "Ba", "Be", "Bh", "Bi", "Bk", "Br",
    "C",  "Ca", "Cd", "Ce", "Cf", "Cl", "Cm", "Cn", "Co", "Cr", "Cs", "Cu", "D",  "Db", "Ds",
    "Dy", "Er", "Es", "Eu", "F",  "Fe", "Fl", "Fm", "Fr", "Ga", "Gd", "Ge", "H",  "He", "Hf",
    "Hg", "Ho", "Hs", "I",  "In", "Ir", "K",  "Kr", "La", "Li", "Lr", "Lu", "Lv", "Mc", "Md",
    "Mg", "Mn", "Mo", "Mt", "N",  "Na", "Nb", "Nd", "Ne", "Nh", "Ni", "No", "Np", "O",  "Og",
    "Os", "P",  "Pa", "Pb", "Pd", "Pm", "Po", "Pr", "Pt", "Pu", "Ra", "Rb", "Re", "Rf", "Rg",
    "Rh", "Rn", "Ru", "S",  "Sb", "Sc", "Se", "Sg", "Si", "Sm", "Sn", "Sr", "Ta", "Tb", "Tc",
    "Te", "Th", "Ti", "Tl", "Tm", "Ts", "U",  "V",  "W",  "Xe", "Y",  "Yb", "Zn", "Zr",
};

static_assert(std::is_sorted(kSymbols.begin(), kSymbols.end()));

/// Every symbol is one capital and at most one lower-case letter: a table indexed by
/// the capital and the second letter (0 for none) answers with one load.
constexpr auto kTable = [] {
    std::array<std::array<bool, 27>, 26> table{};
    for (std::string_view s : kSymbols)
        table[static_cast<std::size_t>(s[0] - 'A')][s.size() == 2 ? static_cast<std::size_t>(s[1] - 'a' + 1) : 0] = true;
    return table;
}();

}  // namespace

bool is_element(std::string_view symbol) {
    if (symbol.empty() || symbol.size() > 2 || symbol[0] < 'A' || symbol[0] > 'Z') return false;
    std::size_t second = 0;
    if (symbol.size() == 2) {
        if (symbol[1] < 'a' || symbol[1] > 'z') return false;
        second = static_cast<std::size_t>(symbol[1] - 'a' + 1);
    }
    return kTable[static_cast<std::size_t>(symbol[0] - 'A')][second];
}

}  // namespace kelvara
