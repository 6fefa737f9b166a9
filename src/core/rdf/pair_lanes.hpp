// The pair formula written once for every vector width, and the kernels' shared table.
// Included only by the pair kernel units.
#pragma once

#include <algorithm>  // for std::min, std::max
#include <cmath>      // for std::sqrt
#include <cstddef>    // for std::size_t
#include <cstdint>    // for std::int64_t, std::int32_t
#include <span>

#include "core/rdf/pair_kernel.hpp"

#if defined(__GNUC__)
#define KELVARA_INLINE [[gnu::always_inline]] inline
#else
#define KELVARA_INLINE inline
#endif

// The vector kernels use GCC's and Clang's vector operators and target attributes;
// other compilers (MSVC) run the portable kernel.
#if defined(__GNUC__) && defined(__x86_64__)
#define KELVARA_X86_KERNELS 1
#elif defined(__GNUC__) && defined(__aarch64__)
#define KELVARA_NEON_KERNELS 1
#endif

namespace kelvara::lanes {

// Matrix entries known to be exact zeros: bit 3 * r + k stands for matrix[3 * r + k].
// A product with an exact zero is a signed zero, and dropping a zero addend changes
// at most the sign of a zero sum, which squaring removes: leaving those products
// out gives bit-identical squared distances for less arithmetic.
constexpr unsigned any_cell = 0;
constexpr unsigned diagonal_cell = 0b011'101'110;  // only a_x, b_y, c_z
constexpr unsigned lower_cell = 0b000'100'110;     // a along x, b in the xy plane
constexpr unsigned upper_cell = 0b011'001'000;     // c along z, b in the yz plane

/// Cartesian component K of the fractional difference, (da * a_K + db * b_K) + dc * c_K,
/// into `out`, without the products the Zero entries make exact zeros. V is double or a
/// vector of doubles whose operators compile to separate multiplies and adds (the
/// build forbids contraction); inlined into each kernel, it compiles for that kernel's
/// target. Results go out through references: a vector returned by value from a
/// function without the kernel's target attribute would cross an ABI that the
/// instruction set changes (Clang refuses that, GCC warns).
template <unsigned Zero, int K, class V>
KELVARA_INLINE void cartesian(const V& da, const V& db, const V& dc, const V* m, V& out) {
    constexpr bool a = !(Zero >> K & 1u), b = !(Zero >> (3 + K) & 1u), c = !(Zero >> (6 + K) & 1u);
    static_assert(a || b || c, "a nonsingular matrix has a nonzero entry in every column");
    if constexpr (a && b && c) out = (da * m[K] + db * m[3 + K]) + dc * m[6 + K];
    else if constexpr (a && b) out = da * m[K] + db * m[3 + K];
    else if constexpr (a && c) out = da * m[K] + dc * m[6 + K];
    else if constexpr (b && c) out = db * m[3 + K] + dc * m[6 + K];
    else if constexpr (a) out = da * m[K];
    else if constexpr (b) out = db * m[3 + K];
    else out = dc * m[6 + K];
}

/// (x * x + y * y) + z * z of the Cartesian difference into `d2`.
template <unsigned Zero, class V>
KELVARA_INLINE void square_distance(const V& da, const V& db, const V& dc, const V* m, V& d2) {
    V x, y, z;
    cartesian<Zero, 0>(da, db, dc, m, x);
    cartesian<Zero, 1>(da, db, dc, m, y);
    cartesian<Zero, 2>(da, db, dc, m, z);
    d2 = (x * x + y * y) + z * z;
}

/// Squared distances of candidates [first, last), accepted ones appended (not yet rooted).
template <unsigned Zero>
KELVARA_INLINE std::size_t scan_squares(const double* ja, const double* jb, const double* jc,
                                        std::size_t first, std::size_t last, const double* centre,
                                        const ScanSetup& setup, std::int64_t* hit_index,
                                        double* hit_square, std::size_t n_hits) {
    const double wa = centre[0], wb = centre[1], wc = centre[2];
    for (std::size_t k = first; k < last; ++k) {
        double d2;
        square_distance<Zero>(ja[k] - wa, jb[k] - wb, jc[k] - wc, setup.matrix, d2);
        hit_index[n_hits] = static_cast<std::int64_t>(k);
        hit_square[n_hits] = d2;
        n_hits += (d2 <= setup.cut2) & (d2 > setup.near2);
    }
    return n_hits;
}

/// The bin of distance d when the guess floor(d / bin_size) is confirmed by the edges
/// on both sides with the margin, and d lies inside the clear range; else -2.
inline std::int64_t guess_bin(double d, const ScanSetup& setup) {
    const double top = static_cast<double>(setup.n_bins - 1);
    const auto k = static_cast<std::int32_t>(std::min(d * setup.inv_bin, top));  // 0 <= k < 2^30
    const double lower = std::max(static_cast<double>(k) * setup.bin_size + setup.margin, setup.clear_lo);
    const double upper = std::min(static_cast<double>(k + 1) * setup.bin_size - setup.margin, setup.clear_hi);
    return lower <= d && d < upper ? k : -2;
}

/// Roots and bins of hits [first, n_hits).
inline void finish_hits(std::size_t first, std::size_t n_hits, const ScanSetup& setup,
                        double* hit_distance, std::int64_t* hit_bin) {
    for (std::size_t h = first; h < n_hits; ++h) {
        hit_distance[h] = std::sqrt(hit_distance[h]);
        if (setup.guess) hit_bin[h] = guess_bin(hit_distance[h], setup);
    }
}

/// One kernel of the dispatch table.
struct Implementation {
    const char* name;
    ScanCandidates scan;
    unsigned zero;  // entries that must be zero
    int level;      // 0 plain, 1 AVX2 or NEON, 2 AVX-512
};

/// The vector kernels built for this processor family (x86-64 or AArch64); empty
/// where there are none.
std::span<const Implementation> vector_implementations();
/// The widest vector level this processor runs (0 when none).
int vector_level();
/// The gather for a processor of vector level `level` (1 or more).
GatherRuns vector_gather_runs(int level);

}  // namespace kelvara::lanes
