// The innermost pair loop: distances from one centre to a run of candidate images.
// Built for plain x86-64 and dispatched at run time to AVX2 or AVX-512 versions; the
// vector versions use separate multiply and add instructions (never FMA) in the
// scalar formula's order, so every lane rounds exactly like the scalar code.
#include "core/pair_kernel.hpp"

#include <cmath>  // for std::sqrt

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kelvara {

namespace {

/// Squared distances of candidates [first, m), accepted ones appended (not yet rooted).
inline std::size_t scan_squares(const double* ja, const double* jb, const double* jc,
                                std::size_t first, std::size_t m, const double* centre,
                                const double* matrix, double cut2, std::int64_t* hit_index,
                                double* hit_square, std::size_t n_hits) {
    const double wa = centre[0], wb = centre[1], wc = centre[2];
    for (std::size_t k = first; k < m; ++k) {
        const double da = ja[k] - wa, db = jb[k] - wb, dc = jc[k] - wc;
        const double x = (da * matrix[0] + db * matrix[3]) + dc * matrix[6];
        const double y = (da * matrix[1] + db * matrix[4]) + dc * matrix[7];
        const double z = (da * matrix[2] + db * matrix[5]) + dc * matrix[8];
        const double d2 = (x * x + y * y) + z * z;
        hit_index[n_hits] = static_cast<std::int64_t>(k);
        hit_square[n_hits] = d2;
        n_hits += (d2 <= cut2) & (d2 > 1e-16);
    }
    return n_hits;
}

}  // namespace

std::size_t scan_candidates_scalar(const double* ja, const double* jb, const double* jc,
                                   std::size_t m, const double* centre, const double* matrix,
                                   double cut2, std::int64_t* hit_index, double* hit_distance) {
    const std::size_t n_hits =
        scan_squares(ja, jb, jc, 0, m, centre, matrix, cut2, hit_index, hit_distance, 0);
    for (std::size_t h = 0; h < n_hits; ++h) hit_distance[h] = std::sqrt(hit_distance[h]);
    return n_hits;
}

#if defined(__x86_64__)

namespace {

// With a diagonal cell matrix the off-diagonal products are exact zeros: adding them
// changes at most the sign of a zero component, which squaring removes, so skipping
// them gives bit-identical squared distances for half the arithmetic.
template <bool Diagonal>
__attribute__((target("avx2"))) std::size_t scan_avx2(
    const double* ja, const double* jb, const double* jc, std::size_t m, const double* centre,
    const double* matrix, double cut2, std::int64_t* hit_index, double* hit_distance) {
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
    const __m256d a0 = _mm256_set1_pd(matrix[0]), a1 = _mm256_set1_pd(matrix[1]),
                  a2 = _mm256_set1_pd(matrix[2]), b0 = _mm256_set1_pd(matrix[3]),
                  b1 = _mm256_set1_pd(matrix[4]), b2 = _mm256_set1_pd(matrix[5]),
                  c0 = _mm256_set1_pd(matrix[6]), c1 = _mm256_set1_pd(matrix[7]),
                  c2 = _mm256_set1_pd(matrix[8]);
    const __m256d upper = _mm256_set1_pd(cut2), lower = _mm256_set1_pd(1e-16);
    __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    const __m256i step = _mm256_set1_epi64x(4);
    std::size_t n_hits = 0, k = 0;
    for (; k + 4 <= m; k += 4, index = _mm256_add_epi64(index, step)) {
        const __m256d da = _mm256_sub_pd(_mm256_loadu_pd(ja + k), wa);
        const __m256d db = _mm256_sub_pd(_mm256_loadu_pd(jb + k), wb);
        const __m256d dc = _mm256_sub_pd(_mm256_loadu_pd(jc + k), wc);
        __m256d x, y, z;
        if constexpr (Diagonal) {
            x = _mm256_mul_pd(da, a0), y = _mm256_mul_pd(db, b1), z = _mm256_mul_pd(dc, c2);
        } else {
            x = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(da, a0), _mm256_mul_pd(db, b0)),
                              _mm256_mul_pd(dc, c0));
            y = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(da, a1), _mm256_mul_pd(db, b1)),
                              _mm256_mul_pd(dc, c1));
            z = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(da, a2), _mm256_mul_pd(db, b2)),
                              _mm256_mul_pd(dc, c2));
        }
        const __m256d d2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)),
                                         _mm256_mul_pd(z, z));
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
    n_hits = scan_squares(ja, jb, jc, k, m, centre, matrix, cut2, hit_index, hit_distance, n_hits);
    std::size_t h = 0;
    for (; h + 4 <= n_hits; h += 4)
        _mm256_storeu_pd(hit_distance + h, _mm256_sqrt_pd(_mm256_loadu_pd(hit_distance + h)));
    for (; h < n_hits; ++h) hit_distance[h] = std::sqrt(hit_distance[h]);
    return n_hits;
}

template <bool Diagonal>
__attribute__((target("avx512f"))) std::size_t scan_avx512(
    const double* ja, const double* jb, const double* jc, std::size_t m, const double* centre,
    const double* matrix, double cut2, std::int64_t* hit_index, double* hit_distance) {
    const __m512d wa = _mm512_set1_pd(centre[0]), wb = _mm512_set1_pd(centre[1]),
                  wc = _mm512_set1_pd(centre[2]);
    const __m512d a0 = _mm512_set1_pd(matrix[0]), a1 = _mm512_set1_pd(matrix[1]),
                  a2 = _mm512_set1_pd(matrix[2]), b0 = _mm512_set1_pd(matrix[3]),
                  b1 = _mm512_set1_pd(matrix[4]), b2 = _mm512_set1_pd(matrix[5]),
                  c0 = _mm512_set1_pd(matrix[6]), c1 = _mm512_set1_pd(matrix[7]),
                  c2 = _mm512_set1_pd(matrix[8]);
    const __m512d upper = _mm512_set1_pd(cut2), lower = _mm512_set1_pd(1e-16);
    __m512i index = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i step = _mm512_set1_epi64(8);
    std::size_t n_hits = 0, k = 0;
    for (; k + 8 <= m; k += 8, index = _mm512_add_epi64(index, step)) {
        const __m512d da = _mm512_sub_pd(_mm512_loadu_pd(ja + k), wa);
        const __m512d db = _mm512_sub_pd(_mm512_loadu_pd(jb + k), wb);
        const __m512d dc = _mm512_sub_pd(_mm512_loadu_pd(jc + k), wc);
        __m512d x, y, z;
        if constexpr (Diagonal) {
            x = _mm512_mul_pd(da, a0), y = _mm512_mul_pd(db, b1), z = _mm512_mul_pd(dc, c2);
        } else {
            x = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(da, a0), _mm512_mul_pd(db, b0)),
                              _mm512_mul_pd(dc, c0));
            y = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(da, a1), _mm512_mul_pd(db, b1)),
                              _mm512_mul_pd(dc, c1));
            z = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(da, a2), _mm512_mul_pd(db, b2)),
                              _mm512_mul_pd(dc, c2));
        }
        const __m512d d2 = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(x, x), _mm512_mul_pd(y, y)),
                                         _mm512_mul_pd(z, z));
        const __mmask8 mask = _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(d2, upper, _CMP_LE_OQ), d2,
                                                      lower, _CMP_GT_OQ);
        // Compress in registers and store whole vectors (the buffers have 8 spare
        // slots): a compressing store to memory is several times slower.
        _mm512_storeu_pd(hit_distance + n_hits, _mm512_maskz_compress_pd(mask, d2));
        _mm512_storeu_si512(hit_index + n_hits, _mm512_maskz_compress_epi64(mask, index));
        n_hits += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    n_hits = scan_squares(ja, jb, jc, k, m, centre, matrix, cut2, hit_index, hit_distance, n_hits);
    std::size_t h = 0;
    for (; h + 8 <= n_hits; h += 8)
        _mm512_storeu_pd(hit_distance + h, _mm512_sqrt_pd(_mm512_loadu_pd(hit_distance + h)));
    for (; h < n_hits; ++h) hit_distance[h] = std::sqrt(hit_distance[h]);
    return n_hits;
}

__attribute__((target("avx512f"))) void guess_bins_avx512(const double* d, std::size_t n,
                                                          const double* edges, std::int64_t n_bins,
                                                          double inv_bin, std::int64_t* bins) {
    const __m512d inv = _mm512_set1_pd(inv_bin);
    const __m512d top = _mm512_set1_pd(static_cast<double>(n_bins - 1));
    const __m512i one = _mm512_set1_epi64(1), search = _mm512_set1_epi64(-2);
    for (std::size_t h = 0; h < n; h += 8) {
        // Lanes past n read the spare slots; their results are never used.
        const __m512d dv = _mm512_loadu_pd(d + h);
        const __m512d guess = _mm512_min_pd(_mm512_mul_pd(dv, inv), top);  // 0 <= guess < 2^30
        const __m512i g = _mm512_cvtepi32_epi64(_mm512_cvttpd_epi32(guess));
        const __m512d lower = _mm512_i64gather_pd(g, edges, 8);
        const __m512d upper = _mm512_i64gather_pd(_mm512_add_epi64(g, one), edges, 8);
        const __mmask8 ok = _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(lower, dv, _CMP_LE_OQ), dv,
                                                    upper, _CMP_LT_OQ);
        _mm512_storeu_si512(bins + h, _mm512_mask_blend_epi64(ok, search, g));
    }
}

}  // namespace

GuessBins select_guess_bins() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") ? guess_bins_avx512 : nullptr;
}

ScanCandidates select_scan_candidates(bool diagonal) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return diagonal ? scan_avx512<true> : scan_avx512<false>;
    if (__builtin_cpu_supports("avx2")) return diagonal ? scan_avx2<true> : scan_avx2<false>;
    return scan_candidates_scalar;
}

#else

ScanCandidates select_scan_candidates(bool) { return scan_candidates_scalar; }
GuessBins select_guess_bins() { return nullptr; }

#endif

}  // namespace kelvara
