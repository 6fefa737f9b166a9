// Isotropic displacement parameters of CIF atom sites: Uiso, Biso, or Ueq of anisotropic U/B.
#include "core/readers/cif_displacement.hpp"

#include <cmath>  // for std::sqrt, std::isfinite, std::nan
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/util/text.hpp"  // for trim, quoted

namespace kelvara {

namespace {

// 8 pi^2: B = 8 pi^2 U.
constexpr double kEightPiSquared = 78.95683520871486;

std::optional<std::size_t> column(const CifLoop& loop, std::string_view name) {
    for (std::size_t i = 0; i < loop.names.size(); ++i)
        if (loop.names[i] == name) return i;
    return std::nullopt;
}

std::optional<double> value_at(std::span<const std::string_view> row, std::optional<std::size_t> col) {
    if (!col || *col >= row.size()) return std::nullopt;
    return parse_cif_number(row[*col]);
}

double usable(std::optional<double> u) {
    return u && std::isfinite(*u) && *u >= 0.0 ? *u : std::nan("");
}

/// Ueq of each labelled row of the anisotropic loop (U_ij, or B_ij / 8 pi^2).
std::unordered_map<std::string, double> anisotropic_ueq(const Block& block, const Lattice& lattice) {
    std::unordered_map<std::string, double> out;
    for (const CifLoop& loop : block.loops) {
        const auto label = column(loop, "_atom_site_aniso_label");
        if (!label) continue;
        const char* names[2][6] = {
            {"_atom_site_aniso_u_11", "_atom_site_aniso_u_22", "_atom_site_aniso_u_33",
             "_atom_site_aniso_u_12", "_atom_site_aniso_u_13", "_atom_site_aniso_u_23"},
            {"_atom_site_aniso_b_11", "_atom_site_aniso_b_22", "_atom_site_aniso_b_33",
             "_atom_site_aniso_b_12", "_atom_site_aniso_b_13", "_atom_site_aniso_b_23"}};
        for (int kind = 0; kind < 2; ++kind) {
            std::optional<std::size_t> cols[6];
            for (int k = 0; k < 6; ++k) cols[k] = column(loop, names[kind][k]);
            if (!cols[0] || !cols[1] || !cols[2]) continue;
            // Metric a_i . a_j and reciprocal lengths a*_i (columns of the inverse).
            double metric[3][3], star[3];
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    double dot = 0.0;
                    for (int x = 0; x < 3; ++x) dot += lattice.matrix[i][x] * lattice.matrix[j][x];
                    metric[i][j] = dot;
                }
                double norm = 0.0;
                for (int x = 0; x < 3; ++x) norm += lattice.inverse[x][i] * lattice.inverse[x][i];
                star[i] = std::sqrt(norm);
            }
            for (std::size_t r = 0; r < loop.n_rows(); ++r) {
                const auto row = loop.row(r);
                double u[3][3];
                bool complete = true;
                const int at[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
                for (int k = 0; k < 6; ++k) {
                    // Off-diagonal columns that are absent are zero.
                    const auto value = cols[k] ? value_at(row, cols[k]) : std::optional<double>(0.0);
                    if (!value || !std::isfinite(*value)) {
                        complete = false;
                        break;
                    }
                    const double v = kind == 1 ? *value / kEightPiSquared : *value;
                    u[at[k][0]][at[k][1]] = u[at[k][1]][at[k][0]] = v;
                }
                if (!complete) continue;
                double sum = 0.0;
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) sum += u[i][j] * star[i] * star[j] * metric[i][j];
                out.emplace(std::string(trim(row[*label])), sum / 3.0);
            }
        }
    }
    return out;
}

}  // namespace

/// The value of `col` in `row` when it is usable; a value that is written (not '?' or
/// '.') but negative, not finite or not a number adds a warning naming the site.
double checked(std::span<const std::string_view> row, std::optional<std::size_t> col,
               std::optional<std::size_t> col_label, std::string_view what, Warnings& warnings) {
    const double u = usable(value_at(row, col));
    if (!std::isnan(u) || !col || *col >= row.size()) return u;
    const std::string_view text = trim(row[*col]);
    if (text == "?" || text == ".") return u;
    const std::string site = col_label && *col_label < row.size()
                                 ? "atom site " + quoted(trim(row[*col_label]))
                                 : std::string("an atom site");
    warnings.push_back(site + ": " + std::string(what) + " " + quoted(text) +
                       " is negative or not a number, so the site is read without it");
    return u;
}

std::vector<double> site_displacements(const Block& block, const CifLoop& atoms, const Lattice& lattice,
                                       Warnings& warnings) {
    const auto col_u = column(atoms, "_atom_site_u_iso_or_equiv");
    const auto col_b = column(atoms, "_atom_site_b_iso_or_equiv");
    const auto col_label = column(atoms, "_atom_site_label");
    std::unordered_map<std::string, double> aniso;
    if (col_label) aniso = anisotropic_ueq(block, lattice);
    std::vector<double> out;
    out.reserve(atoms.n_rows());
    for (std::size_t r = 0; r < atoms.n_rows(); ++r) {
        const auto row = atoms.row(r);
        double u = checked(row, col_u, col_label, "_atom_site_U_iso_or_equiv", warnings);
        if (std::isnan(u)) {
            const double b = checked(row, col_b, col_label, "_atom_site_B_iso_or_equiv", warnings);
            if (!std::isnan(b)) u = b / kEightPiSquared;
        }
        if (std::isnan(u) && col_label) {
            const auto found = aniso.find(std::string(trim(row[*col_label])));
            if (found != aniso.end()) u = usable(found->second);
        }
        out.push_back(u);
    }
    return out;
}

}  // namespace kelvara
