// Probe of the pair-distance kernels: every implementation this processor runs must
// give the same hits, bit-identical distances and the same bin decisions as the plain
// formula written out here, on random candidate lists of every tail length, for
// general, diagonal and triangular cells, with and without a confirmation margin.
// Prints one line per implementation, cell and rule: "OK name cell rule hits" or
// "BAD name cell rule what".
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/rdf/pair_kernel.hpp"

using namespace kelvara;

namespace {

/// Candidates [begin, end) of the test lists, scanned as one list.
struct Segment {
    std::size_t begin, end;
};

struct Expected {
    std::vector<std::int64_t> index, bin;
    std::vector<double> distance;
};

// The formula as the documentation states it, one candidate at a time; the bin is the
// guess floor(d / bin_size) where the edges confirm it with the margin, else -2.
Expected reference(const std::vector<double>& ja, const std::vector<double>& jb,
                   const std::vector<double>& jc, const std::vector<Segment>& segments,
                   const double* w, const ScanSetup& s) {
    Expected e;
    const double* m = s.matrix;
    for (const Segment& seg : segments)
        for (std::size_t k = seg.begin; k < seg.end; ++k) {
            const double da = ja[k] - w[0], db = jb[k] - w[1], dc = jc[k] - w[2];
            const double x = (da * m[0] + db * m[3]) + dc * m[6];
            const double y = (da * m[1] + db * m[4]) + dc * m[7];
            const double z = (da * m[2] + db * m[5]) + dc * m[8];
            const double d2 = (x * x + y * y) + z * z;
            if (!(d2 <= s.cut2 && d2 > s.near2)) continue;
            const double d = std::sqrt(d2);
            // The bin by a plain search of the edges k * bin_size, then the margins.
            std::int64_t b = 0;
            while (b + 1 < s.n_bins && static_cast<double>(b + 1) * s.bin_size <= d) ++b;
            const double lower = std::max(static_cast<double>(b) * s.bin_size + s.margin, s.clear_lo);
            const double upper = std::min(static_cast<double>(b + 1) * s.bin_size - s.margin, s.clear_hi);
            if (!(lower <= d && d < upper)) b = -2;
            e.index.push_back(static_cast<std::int64_t>(k));
            e.distance.push_back(d);
            e.bin.push_back(b);
        }
    return e;
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

}  // namespace

int main() {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double cells[4][9] = {
        {7.1, 0.3, -0.4, 1.9, 6.4, 0.2, -1.2, 2.2, 8.3},  // triclinic
        {6.0, 0.0, 0.0, 0.0, 7.0, 0.0, 0.0, 0.0, 5.0},    // diagonal
        {6.0, 0.0, 0.0, 1.8, 5.7, 0.0, 1.3, -1.0, 5.8},   // a along x, b in the xy plane
        {5.8, 1.1, 1.4, 0.0, 6.2, 0.9, 0.0, 0.0, 7.0},    // c along z, b in the yz plane
    };
    const char* cell_names[4] = {"triclinic", "diagonal", "lower", "upper"};
    // Lists of every length from 0 to 19 (every tail of 4- and 8-wide vectors).
    std::vector<Segment> segments;
    std::size_t m = 0;
    for (std::size_t len = 0; len < 20; ++len)
        for (int repeat = 0; repeat < 3; ++repeat) segments.push_back({m, m + len}), m += len + 1;
    int failures = 0;
    for (int c = 0; c < 4; ++c) {
        std::vector<double> ja(m), jb(m), jc(m);
        for (std::size_t k = 0; k < m; ++k)
            ja[k] = unit(rng) * 2 - 0.5, jb[k] = unit(rng) * 2 - 0.5, jc[k] = unit(rng) * 2 - 0.5;
        // The centre itself (never a hit) and its next image along a, exactly at the
        // cutoff, in vector bodies and in tails.
        for (const std::size_t k : {segments[30].begin, segments.back().begin + 2})
            ja[k] = 0.25, jb[k] = 0.5, jc[k] = 0.75;
        for (const std::size_t k : {segments[21].end - 1, segments.back().begin + 5})
            ja[k] = 1.25, jb[k] = 0.5, jc[k] = 0.75;
        for (const bool margins : {false, true}) {
        ScanSetup setup{};
        std::memcpy(setup.matrix, cells[c], sizeof setup.matrix);
        const double* a = setup.matrix;
        setup.cut2 = ((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2]);
        setup.near2 = 1e-16;
        setup.bin_size = 0.1;
        setup.inv_bin = 1.0 / 0.1;
        setup.n_bins = static_cast<std::int64_t>(std::ceil(std::sqrt(setup.cut2) / 0.1)) + 1;
        setup.guess = true;
        setup.margin = 0.0, setup.clear_lo = 0.0, setup.clear_hi = INFINITY;
        if (margins) {
            // Wide enough that many hits fall inside a margin, in bodies and tails.
            setup.near2 = 1.0;
            setup.margin = 0.01, setup.clear_lo = 1.5, setup.clear_hi = std::sqrt(setup.cut2) - 0.5;
        }
        const char* rule = margins ? "margins" : "edges";
        const double centre[3] = {0.25, 0.5, 0.75};
        const Expected want = reference(ja, jb, jc, segments, centre, setup);
        std::size_t must_search = 0;
        for (const std::int64_t b : want.bin) must_search += b == -2 ? 1 : 0;
        for (const NamedScan& impl : scan_implementations(setup.matrix)) {
            // Each segment scanned as a list of its own; hits renumbered as in `want`.
            std::vector<std::int64_t> index(m + 8), bin(m + 8);
            std::vector<double> distance(m + 8);
            std::size_t n = 0;
            for (const Segment& seg : segments) {
                const std::size_t found =
                    impl.scan(ja.data() + seg.begin, jb.data() + seg.begin, jc.data() + seg.begin,
                              seg.end - seg.begin, centre, setup, index.data() + n, distance.data() + n,
                              bin.data() + n);
                for (std::size_t h = n; h < n + found; ++h) index[h] += static_cast<std::int64_t>(seg.begin);
                n += found;
            }
            const char* what = nullptr;
            if (n != want.index.size()) what = "hit count";
            for (std::size_t h = 0; h < n && !what; ++h) {
                if (index[h] != want.index[h]) what = "hit index";
                else if (!same_bits(distance[h], want.distance[h])) what = "distance bits";
                else if (bin[h] != want.bin[h]) what = "bin";
            }
            // Both outcomes of the margin test must occur, or the rule tests nothing.
            if (!what && margins && (must_search * 20 < n || must_search * 20 > n * 15)) what = "margin share";
            if (!what && !margins && must_search * 4 > n) what = "bin guesses";
            if (what) {
                ++failures;
                std::printf("BAD %s %s %s %s\n", impl.name, cell_names[c], rule, what);
            } else {
                std::printf("OK %s %s %s %zu\n", impl.name, cell_names[c], rule, n);
            }
        }
        }
    }
    return failures == 0 ? 0 : 1;
}
