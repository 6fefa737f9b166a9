// The AVX2 and AVX-512 pair kernels, built for plain x86-64 and chosen at run time.
// GCC's and Clang's vector operators on __m256d/__m512d compile to separate multiply
// and add instructions (the build forbids contraction), in the scalar formula's order,
// so every lane rounds exactly like the portable kernel.
#include "core/rdf/pair_lanes.hpp"

#if defined(KELVARA_X86_KERNELS)

#include <immintrin.h>

#include <bit>  // for std::popcount

// The arithmetic templates pass vectors by const reference and are always inlined
// into a kernel built for that width: no call crosses the ABI the warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"
#if !defined(__clang__)
// GCC 12's AVX-512 intrinsics start from an undefined vector and trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace kelvara::lanes {

namespace {

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
        __m256d d2;
        square_distance<Zero>(_mm256_loadu_pd(ja + k) - wa, _mm256_loadu_pd(jb + k) - wb,
                              _mm256_loadu_pd(jc + k) - wc, cell, d2);
        const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(d2, upper, _CMP_LE_OQ),
                                         _mm256_cmp_pd(d2, lower, _CMP_GT_OQ));
        const int mask = _mm256_movemask_pd(ok);
        const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(pack[mask]));
        _mm256_storeu_pd(hit_distance + n_hits,
                         _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(d2), order)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(hit_index + n_hits),
                            _mm256_permutevar8x32_epi32(index, order));
        n_hits += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(mask)));
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
        __m512d d2;
        square_distance<Zero>(_mm512_maskz_loadu_pd(live, ja + k) - wa,
                              _mm512_maskz_loadu_pd(live, jb + k) - wb,
                              _mm512_maskz_loadu_pd(live, jc + k) - wc, cell, d2);
        const __mmask8 mask = _mm512_mask_cmp_pd_mask(
            _mm512_mask_cmp_pd_mask(live, d2, upper, _CMP_LE_OQ), d2, lower, _CMP_GT_OQ);
        const __m512i index = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(k)), lanes);
        // Compress in registers and store whole vectors (the buffers have 8 spare
        // slots): a compressing store to memory is several times slower.
        _mm512_storeu_pd(hit_distance + n_hits, _mm512_maskz_compress_pd(mask, d2));
        _mm512_storeu_si512(hit_index + n_hits, _mm512_maskz_compress_epi64(mask, index));
        n_hits += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(mask)));
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

}  // namespace

const Implementation x86_implementations[] = {
    {"avx2", scan_avx2<any_cell>, any_cell, 1},
    {"avx2-diagonal", scan_avx2<diagonal_cell>, diagonal_cell, 1},
    {"avx2-lower", scan_avx2<lower_cell>, lower_cell, 1},
    {"avx2-upper", scan_avx2<upper_cell>, upper_cell, 1},
    {"avx512", scan_avx512<any_cell>, any_cell, 2},
    {"avx512-diagonal", scan_avx512<diagonal_cell>, diagonal_cell, 2},
    {"avx512-lower", scan_avx512<lower_cell>, lower_cell, 2},
    {"avx512-upper", scan_avx512<upper_cell>, upper_cell, 2},
};

std::span<const Implementation> vector_implementations() { return x86_implementations; }

int vector_level() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 2;
    if (__builtin_cpu_supports("avx2")) return 1;
    return 0;
}

GatherRuns vector_gather_runs(int level) { return level >= 2 ? gather_runs_avx512 : gather_runs_avx2; }

}  // namespace kelvara::lanes

#endif
