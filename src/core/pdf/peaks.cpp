// Gaussian peaks on a uniform grid: each pair's window of rows, values and derivatives.
#include "core/pdf/peaks.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kelvara::pdf {

namespace {
// Rows between exact exponentials; the ones between follow by products, which keeps
// the values within a few units in the last place.
constexpr std::size_t kAnchor = 8;

/// out[w] += a[w] * x + b[w] * y, w < n, written four rows at a time so that the
/// compiler can keep them in vector registers.
void accumulate(double* __restrict out, const double* __restrict a, const double* __restrict b, double x,
                double y, std::size_t n) {
    std::size_t w = 0;
    for (; w + 4 <= n; w += 4) {
        out[w] += a[w] * x + b[w] * y;
        out[w + 1] += a[w + 1] * x + b[w + 1] * y;
        out[w + 2] += a[w + 2] * x + b[w + 2] * y;
        out[w + 3] += a[w + 3] * x + b[w + 3] * y;
    }
    for (; w < n; ++w) out[w] += a[w] * x + b[w] * y;
}
}  // namespace

void add_peaks(PeakGrid grid, double reach, std::span<const double> d, std::span<const double> sigma,
               std::span<const double> amp, std::span<const double> dd, std::span<const double> ds,
               std::size_t n_der, std::span<double> G, std::span<double> J) {
    // Each Gaussian less its value at `reach` sigma, and zero beyond: G stays continuous
    // as a peak's window slides along the grid.
    const double floor_value = std::exp(-0.5 * reach * reach);
    const double last = static_cast<double>(grid.rows) - 1.0;
    std::vector<double> slope, spread;
    for (std::size_t k = 0; k < d.size(); ++k) {
        const double s = sigma[k];
        const double inverse = 1.0 / s;
        const double low = std::ceil((d[k] - reach * s - grid.offset) / grid.step);
        const double high = std::floor((d[k] + reach * s - grid.offset) / grid.step);
        if (!(high >= 0.0) || !(low <= last)) continue;  // outside the grid (or not a number)
        const auto first = static_cast<std::size_t>(std::max(low, 0.0));
        const auto end = static_cast<std::size_t>(std::min(high, last)) + 1;
        const std::size_t width = end - first;
        slope.assign(width, 0.0);
        spread.assign(width, 0.0);
        // exp(-x^2 / 2) row by row: x grows by h, so each value is the last times
        // exp(-x h - h^2 / 2), and that factor shrinks by exp(-h^2) a row.
        const double h = grid.step * inverse;
        const double shrink = std::exp(-(h * h));
        double gauss = 0.0, factor = 0.0;
        for (std::size_t w = 0; w < width; ++w) {
            const double x = (grid.offset + static_cast<double>(first + w) * grid.step - d[k]) * inverse;
            if (w % kAnchor == 0) {
                gauss = std::exp(-0.5 * (x * x));
                factor = std::exp(-(x * h) - 0.5 * (h * h));
            } else {
                gauss *= factor;
                factor *= shrink;
            }
            const double shape = gauss - floor_value;
            if (!(shape > 0.0)) continue;
            const double value = shape * amp[k];
            G[first + w] += value;
            slope[w] = value * (x * inverse);
            spread[w] = value * ((x * x - 1.0) * inverse);
        }
        if (n_der == 0) continue;
        // J is stored derivative-major: each derivative's rows are one run.
        for (std::size_t c = 0; c < n_der; ++c) {
            const double along = dd[k * n_der + c], across = ds[k * n_der + c];
            if (along == 0.0 && across == 0.0) continue;  // a parameter this pair does not feel
            accumulate(J.data() + c * grid.rows + first, slope.data(), spread.data(), along, across, width);
        }
    }
}

}  // namespace kelvara::pdf
