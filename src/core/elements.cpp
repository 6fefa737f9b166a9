// The chemical elements by symbol, for readers that must tell a symbol from a label.
#include "core/elements.hpp"

#include <algorithm>  // for std::binary_search
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

}  // namespace

bool is_element(std::string_view symbol) {
    return std::binary_search(kSymbols.begin(), kSymbols.end(), symbol);
}

}  // namespace kelvara
