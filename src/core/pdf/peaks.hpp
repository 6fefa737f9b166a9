// Gaussian peaks summed on a uniform r grid, with their derivatives, for refinement.
#pragma once

#include <cstddef>
#include <span>

namespace kelvara::pdf {

/// The grid r_j = offset + j * step, j = 0 .. rows - 1.
struct PeakGrid {
    double offset;
    double step;
    std::size_t rows;
};

/// Adds to `G` (rows) sum_k amp_k (exp(-x^2 / 2) - exp(-reach^2 / 2))^+ with
/// x = (r - d_k) / sigma_k, and to `J` (n_der x rows, row-major)
/// sum_k v_k(r) x / sigma_k dd[k] + v_k(r) (x^2 - 1) / sigma_k ds[k]: the derivatives of
/// peaks of height amp_k ~ 1 / sigma_k whose centres and widths move by the rows of
/// `dd` and `ds` (pairs x n_der) per parameter. Each peak touches only the rows within
/// `reach` standard deviations of its centre. Sizes are the caller's to match.
void add_peaks(PeakGrid grid, double reach, std::span<const double> d, std::span<const double> sigma,
               std::span<const double> amp, std::span<const double> dd, std::span<const double> ds,
               std::size_t n_der, std::span<double> G, std::span<double> J);

}  // namespace kelvara::pdf
