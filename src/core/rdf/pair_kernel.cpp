// The innermost pair loop: distances from one centre to runs of candidate images.
// Built for plain x86-64 and dispatched at run time to AVX2 or AVX-512 versions. One
// arithmetic template serves every width: GCC's vector operators on __m256d/__m512d
// compile to separate multiply and add instructions (the build forbids contraction),
// in the scalar formula's order, so every lane rounds exactly like the scalar code.
#include "core/rdf/pair_kernel.hpp"

#include <algorithm>  // for std::min, std::max
#include <cmath>      // for std::sqrt

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The arithmetic templates below pass vectors by value, but they are always inlined
// into a kernel built for that width: no call crosses the ABI the warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"
// GCC 12's AVX-512 intrinsics start from an undefined vector and trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace kelvara {

namespace {

// Matrix entries known to be exact zeros: bit 3 * r + k stands for matrix[3 * r + k].
// A product with an exact zero is a signed zero, and dropping a zero addend changes
// at most the sign of a zero sum, which squaring removes: leaving those products
// out gives bit-identical squared distances for less arithmetic.
constexpr unsigned any_cell = 0;
constexpr unsigned diagonal_cell = 0b011'101'110;  // only a_x, b_y, c_z
constexpr unsigned lower_cell = 0b000'100'110;     // a along x, b in the xy plane
constexpr unsigned upper_cell = 0b011'001'000;     // c along z, b in the yz plane

unsigned zero_entries(const double* matrix) {
    unsigned bits = 0;
    for (unsigned e = 0; e < 9; ++e) bits |= (matrix[e] == 0.0 ? 1u : 0u) << e;
    return bits;
}

/// Cartesian component K of the fractional difference: (da * a_K + db * b_K) + dc * c_K
/// without the products the Zero entries make exact zeros. V is double or a vector
/// of doubles; inlined into each kernel, it compiles for that kernel's target.
template <unsigned Zero, int K, class V>
[[gnu::always_inline]] inline V cartesian(const V& da, const V& db, const V& dc, const V* m) {
    constexpr bool a = !(Zero >> K & 1u), b = !(Zero >> (3 + K) & 1u), c = !(Zero >> (6 + K) & 1u);
    static_assert(a || b || c, "a nonsingular matrix has a nonzero entry in every column");
    if constexpr (a && b && c) return (da * m[K] + db * m[3 + K]) + dc * m[6 + K];
    else if constexpr (a && b) return da * m[K] + db * m[3 + K];
    else if constexpr (a && c) return da * m[K] + dc * m[6 + K];
    else if constexpr (b && c) return db * m[3 + K] + dc * m[6 + K];
    else if constexpr (a) return da * m[K];
    else if constexpr (b) return db * m[3 + K];
    else return dc * m[6 + K];
}

template <unsigned Zero, class V>
[[gnu::always_inline]] inline V square_distance(const V& da, const V& db, const V& dc, const V* m) {
    const V x = cartesian<Zero, 0>(da, db, dc, m), y = cartesian<Zero, 1>(da, db, dc, m),
            z = cartesian<Zero, 2>(da, db, dc, m);
    return (x * x + y * y) + z * z;
}

/// Squared distances of candidates [first, last), accepted ones appended (not yet rooted).
template <unsigned Zero>
[[gnu::always_inline]] inline std::size_t scan_squares(const double* ja, const double* jb,
                                                       const double* jc, std::size_t first,
                                                       std::size_t last, const double* centre,
                                                       const ScanSetup& setup, std::int64_t* hit_index,
                                                       double* hit_square, std::size_t n_hits) {
    const double wa = centre[0], wb = centre[1], wc = centre[2];
    for (std::size_t k = first; k < last; ++k) {
        const double d2 = square_distance<Zero>(ja[k] - wa, jb[k] - wb, jc[k] - wc, setup.matrix);
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

std::size_t scan_scalar(const double* ja, const double* jb, const double* jc, std::size_t m,
                        const double* centre, const ScanSetup& setup, std::int64_t* hit_index,
                        double* hit_distance, std::int64_t* hit_bin) {
    const std::size_t n_hits =
        scan_squares<any_cell>(ja, jb, jc, 0, m, centre, setup, hit_index, hit_distance, 0);
    finish_hits(0, n_hits, setup, hit_distance, hit_bin);
    return n_hits;
}

std::size_t gather_runs_scalar(const Run* runs, std::size_t n_runs, const double* wa,
                               const double* wb, const double* wc, double* ja, double* jb,
                               double* jc) {
    std::size_t k = 0;
    for (std::size_t r = 0; r < n_runs; ++r)
        for (std::size_t j = runs[r].j0; j < runs[r].j1; ++j, ++k)
            ja[k] = wa[j] + runs[r].sa, jb[k] = wb[j] + runs[r].sb, jc[k] = wc[j] + runs[r].sc;
    return k;
}

#if defined(__x86_64__)

__attribute__((target("avx2"))) std::size_t gather_runs_avx2(
    const Run* runs, std::size_t n_runs, const double* wa, const double* wb, const double* wc,
    double* ja, double* jb, double* jc) {
    std::size_t k = 0;
    for (std::size_t r = 0; r < n_runs; ++r) {
        const __m256d sa = _mm256_set1_pd(runs[r].sa), sb = _mm256_set1_pd(runs[r].sb),
                      sc = _mm256_set1_pd(runs[r].sc);
        std::size_t j = runs[r].j0;
        for (; j + 4 <= runs[r].j1; j += 4, k += 4) {
            _mm256_storeu_pd(ja + k, _mm256_loadu_pd(wa + j) + sa);
            _mm256_storeu_pd(jb + k, _mm256_loadu_pd(wb + j) + sb);
            _mm256_storeu_pd(jc + k, _mm256_loadu_pd(wc + j) + sc);
        }
        for (; j < runs[r].j1; ++j, ++k)
            ja[k] = wa[j] + runs[r].sa, jb[k] = wb[j] + runs[r].sb, jc[k] = wc[j] + runs[r].sc;
    }
    return k;
}

__attribute__((target("avx512f"))) std::size_t gather_runs_avx512(
    const Run* runs, std::size_t n_runs, const double* wa, const double* wb, const double* wc,
    double* ja, double* jb, double* jc) {
    std::size_t k = 0;
    for (std::size_t r = 0; r < n_runs; ++r) {
        const __m512d sa = _mm512_set1_pd(runs[r].sa), sb = _mm512_set1_pd(runs[r].sb),
                      sc = _mm512_set1_pd(runs[r].sc);
        const std::size_t j1 = runs[r].j1;
        for (std::size_t j = runs[r].j0; j < j1; j += 8) {
            const std::size_t n = j1 - j < 8 ? j1 - j : 8;
            const auto live = static_cast<__mmask8>((1u << n) - 1);
            _mm512_mask_storeu_pd(ja + k, live, _mm512_maskz_loadu_pd(live, wa + j) + sa);
            _mm512_mask_storeu_pd(jb + k, live, _mm512_maskz_loadu_pd(live, wb + j) + sb);
            _mm512_mask_storeu_pd(jc + k, live, _mm512_maskz_loadu_pd(live, wc + j) + sc);
            k += n;
        }
    }
    return k;
}

template <unsigned Zero>
__attribute__((target("avx2"))) std::size_t scan_avx2(
    const double* ja, const double* jb, const double* jc, std::size_t m, const double* centre,
    const ScanSetup& setup, std::int64_t* hit_index, double* hit_distance, std::int64_t* hit_bin) {
    // For each 4-bit acceptance mask, the 32-bit lanes that put the chosen doubles first.
    alignas(32) static const int pack[16][8] = {
        {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {2, 3, 0, 1, 4, 5, 6, 7},
        {0, 1, 2, 3, 4, 5, 6, 7}, {4, 5, 0, 1, 2, 3, 6, 7}, {0, 1, 4, 5, 2, 3, 6, 7},
        {2, 3, 4, 5, 0, 1, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {6, 7, 0, 1, 2, 3, 4, 5},
        {0, 1, 6, 7, 2, 3, 4, 5}, {2, 3, 6, 7, 0, 1, 4, 5}, {0, 1, 2, 3, 6, 7, 4, 5},
        {4, 5, 6, 7, 0, 1, 2, 3}, {0, 1, 4, 5, 6, 7, 2, 3}, {2, 3, 4, 5, 6, 7, 0, 1},
        {0, 1, 2, 3, 4, 5, 6, 7}};
    const __m256d wa = _mm256_set1_pd(centre[0]), wb = _mm256_set1_pd(centre[1]),
                  wc = _mm256_set1_pd(centre[2]);
    __m256d cell[9];
    for (int e = 0; e < 9; ++e) cell[e] = _mm256_set1_pd(setup.matrix[e]);
    const __m256d upper = _mm256_set1_pd(setup.cut2), lower = _mm256_set1_pd(setup.near2);
    __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    const __m256i step = _mm256_set1_epi64x(4);
    std::size_t n_hits = 0, k = 0;
    for (; k + 4 <= m; k += 4, index = _mm256_add_epi64(index, step)) {
        const __m256d d2 = square_distance<Zero>(_mm256_loadu_pd(ja + k) - wa,
                                                 _mm256_loadu_pd(jb + k) - wb,
                                                 _mm256_loadu_pd(jc + k) - wc, cell);
        const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(d2, upper, _CMP_LE_OQ),
                                         _mm256_cmp_pd(d2, lower, _CMP_GT_OQ));
        const int mask = _mm256_movemask_pd(ok);
        const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(pack[mask]));
        _mm256_storeu_pd(hit_distance + n_hits,
                         _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(d2), order)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(hit_index + n_hits),
                            _mm256_permutevar8x32_epi32(index, order));
        n_hits += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    n_hits = scan_squares<Zero>(ja, jb, jc, k, m, centre, setup, hit_index, hit_distance, n_hits);
    const __m256d inv = _mm256_set1_pd(setup.inv_bin), width = _mm256_set1_pd(setup.bin_size);
    const __m256d top = _mm256_set1_pd(static_cast<double>(setup.n_bins - 1));
    const __m256d margin = _mm256_set1_pd(setup.margin), clear_lo = _mm256_set1_pd(setup.clear_lo),
                  clear_hi = _mm256_set1_pd(setup.clear_hi);
    const __m128i one = _mm_set1_epi32(1);
    const __m256i search = _mm256_set1_epi64x(-2);
    std::size_t h = 0;
    for (; h + 4 <= n_hits; h += 4) {
        const __m256d d = _mm256_sqrt_pd(_mm256_loadu_pd(hit_distance + h));
        _mm256_storeu_pd(hit_distance + h, d);
        if (!setup.guess) continue;
        // As guess_bin: min keeps the guess below n_bins, truncation is its floor.
        const __m128i k = _mm256_cvttpd_epi32(_mm256_min_pd(d * inv, top));
        const __m256d below = _mm256_max_pd(_mm256_cvtepi32_pd(k) * width + margin, clear_lo);
        const __m256d above = _mm256_min_pd(_mm256_cvtepi32_pd(_mm_add_epi32(k, one)) * width - margin, clear_hi);
        const __m256d ok =
            _mm256_and_pd(_mm256_cmp_pd(below, d, _CMP_LE_OQ), _mm256_cmp_pd(d, above, _CMP_LT_OQ));
        const __m256d bin = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(k));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(hit_bin + h),
                            _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(search), bin, ok)));
    }
    finish_hits(h, n_hits, setup, hit_distance, hit_bin);
    return n_hits;
}

template <unsigned Zero>
__attribute__((target("avx512f"))) std::size_t scan_avx512(
    const double* ja, const double* jb, const double* jc, std::size_t m, const double* centre,
    const ScanSetup& setup, std::int64_t* hit_index, double* hit_distance, std::int64_t* hit_bin) {
    const __m512d wa = _mm512_set1_pd(centre[0]), wb = _mm512_set1_pd(centre[1]),
                  wc = _mm512_set1_pd(centre[2]);
    __m512d cell[9];
    for (int e = 0; e < 9; ++e) cell[e] = _mm512_set1_pd(setup.matrix[e]);
    const __m512d upper = _mm512_set1_pd(setup.cut2), lower = _mm512_set1_pd(setup.near2);
    const __m512i lanes = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    std::size_t n_hits = 0;
    for (std::size_t k = 0; k < m; k += 8) {
        // The last vector loads only the lanes that hold candidates.
        const __mmask8 live =
            m - k >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << (m - k)) - 1);
        const __m512d d2 = square_distance<Zero>(_mm512_maskz_loadu_pd(live, ja + k) - wa,
                                                 _mm512_maskz_loadu_pd(live, jb + k) - wb,
                                                 _mm512_maskz_loadu_pd(live, jc + k) - wc, cell);
        const __mmask8 mask = _mm512_mask_cmp_pd_mask(
            _mm512_mask_cmp_pd_mask(live, d2, upper, _CMP_LE_OQ), d2, lower, _CMP_GT_OQ);
        const __m512i index = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(k)), lanes);
        // Compress in registers and store whole vectors (the buffers have 8 spare
        // slots): a compressing store to memory is several times slower.
        _mm512_storeu_pd(hit_distance + n_hits, _mm512_maskz_compress_pd(mask, d2));
        _mm512_storeu_si512(hit_index + n_hits, _mm512_maskz_compress_epi64(mask, index));
        n_hits += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    const __m512d inv = _mm512_set1_pd(setup.inv_bin), width = _mm512_set1_pd(setup.bin_size);
    const __m512d top = _mm512_set1_pd(static_cast<double>(setup.n_bins - 1));
    const __m512d margin = _mm512_set1_pd(setup.margin), clear_lo = _mm512_set1_pd(setup.clear_lo),
                  clear_hi = _mm512_set1_pd(setup.clear_hi);
    const __m256i one = _mm256_set1_epi32(1);
    const __m512i search = _mm512_set1_epi64(-2);
    for (std::size_t h = 0; h < n_hits; h += 8) {
        // Lanes past n_hits work on the spare slots; their results are never used.
        const __m512d d = _mm512_sqrt_pd(_mm512_loadu_pd(hit_distance + h));
        _mm512_storeu_pd(hit_distance + h, d);
        if (!setup.guess) continue;
        const __m256i k = _mm512_cvttpd_epi32(_mm512_min_pd(d * inv, top));
        const __m512d below = _mm512_max_pd(_mm512_cvtepi32_pd(k) * width + margin, clear_lo);
        const __m512d above = _mm512_min_pd(_mm512_cvtepi32_pd(_mm256_add_epi32(k, one)) * width - margin, clear_hi);
        const __mmask8 ok =
            _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(below, d, _CMP_LE_OQ), d, above, _CMP_LT_OQ);
        _mm512_storeu_si512(hit_bin + h, _mm512_mask_blend_epi64(ok, search, _mm512_cvtepi32_epi64(k)));
    }
    return n_hits;
}

#endif

struct Implementation {
    const char* name;
    ScanCandidates scan;
    unsigned zero;  // entries that must be zero
    int level;      // 0 plain, 1 AVX2, 2 AVX-512
};

const Implementation implementations[] = {
    {"scalar", scan_scalar, any_cell, 0},
#if defined(__x86_64__)
    {"avx2", scan_avx2<any_cell>, any_cell, 1},
    {"avx2-diagonal", scan_avx2<diagonal_cell>, diagonal_cell, 1},
    {"avx2-lower", scan_avx2<lower_cell>, lower_cell, 1},
    {"avx2-upper", scan_avx2<upper_cell>, upper_cell, 1},
    {"avx512", scan_avx512<any_cell>, any_cell, 2},
    {"avx512-diagonal", scan_avx512<diagonal_cell>, diagonal_cell, 2},
    {"avx512-lower", scan_avx512<lower_cell>, lower_cell, 2},
    {"avx512-upper", scan_avx512<upper_cell>, upper_cell, 2},
#endif
};

int cpu_level() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 2;
    if (__builtin_cpu_supports("avx2")) return 1;
#endif
    return 0;
}

}  // namespace

std::vector<NamedScan> scan_implementations(const double* matrix) {
    const unsigned zero = zero_entries(matrix);
    const int level = cpu_level();
    std::vector<NamedScan> out;
    for (const Implementation& i : implementations)
        if (i.level <= level && (i.zero & ~zero) == 0) out.push_back({i.name, i.scan});
    return out;
}

GatherRuns select_gather_runs() {
    switch (cpu_level()) {
#if defined(__x86_64__)
        case 2: return gather_runs_avx512;
        case 1: return gather_runs_avx2;
#endif
        default: return gather_runs_scalar;
    }
}

ScanCandidates select_scan_candidates(const double* matrix) {
    // The widest instruction set, then the most zero entries left out.
    const unsigned zero = zero_entries(matrix);
    const int level = cpu_level();
    const Implementation* best = &implementations[0];
    for (const Implementation& i : implementations) {
        if (i.level > level || (i.zero & ~zero) != 0) continue;
        if (i.level > best->level ||
            (i.level == best->level && __builtin_popcount(i.zero) > __builtin_popcount(best->zero)))
            best = &i;
    }
    return best->scan;
}

}  // namespace kelvara
