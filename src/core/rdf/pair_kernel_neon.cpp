// The NEON pair kernels for AArch64, two candidates per vector. GCC's and Clang's
// operators on float64x2_t compile to separate multiply and add instructions (the
// build forbids contraction, so no fmla), in the scalar formula's order, so every
// lane rounds exactly like the portable kernel.
#include "core/rdf/pair_lanes.hpp"

#if defined(KELVARA_NEON_KERNELS)

#include <arm_neon.h>

#if defined(__linux__)
#include <sys/auxv.h>  // for getauxval, AT_HWCAP
#ifndef HWCAP_ASIMD
#define HWCAP_ASIMD (1 << 1)
#endif
#endif

namespace kelvara::lanes {

namespace {

std::size_t gather_runs_neon(const Run* runs, std::size_t n_runs, const double* wa,
                             const double* wb, const double* wc, double* ja, double* jb,
                             double* jc) {
    std::size_t k = 0;
    for (std::size_t r = 0; r < n_runs; ++r) {
        const float64x2_t sa = vdupq_n_f64(runs[r].sa), sb = vdupq_n_f64(runs[r].sb),
                          sc = vdupq_n_f64(runs[r].sc);
        std::size_t j = runs[r].j0;
        for (; j + 2 <= runs[r].j1; j += 2, k += 2) {
            vst1q_f64(ja + k, vaddq_f64(vld1q_f64(wa + j), sa));
            vst1q_f64(jb + k, vaddq_f64(vld1q_f64(wb + j), sb));
            vst1q_f64(jc + k, vaddq_f64(vld1q_f64(wc + j), sc));
        }
        for (; j < runs[r].j1; ++j, ++k)
            ja[k] = wa[j] + runs[r].sa, jb[k] = wb[j] + runs[r].sb, jc[k] = wc[j] + runs[r].sc;
    }
    return k;
}

template <unsigned Zero>
std::size_t scan_neon(const double* ja, const double* jb, const double* jc, std::size_t m,
                      const double* centre, const ScanSetup& setup, std::int64_t* hit_index,
                      double* hit_distance, std::int64_t* hit_bin) {
    const float64x2_t wa = vdupq_n_f64(centre[0]), wb = vdupq_n_f64(centre[1]),
                      wc = vdupq_n_f64(centre[2]);
    float64x2_t cell[9];
    for (int e = 0; e < 9; ++e) cell[e] = vdupq_n_f64(setup.matrix[e]);
    const float64x2_t upper = vdupq_n_f64(setup.cut2), lower = vdupq_n_f64(setup.near2);
    std::size_t n_hits = 0, k = 0;
    for (; k + 2 <= m; k += 2) {
        float64x2_t d2;
        square_distance<Zero>(vld1q_f64(ja + k) - wa, vld1q_f64(jb + k) - wb,
                              vld1q_f64(jc + k) - wc, cell, d2);
        const uint64x2_t ok = vandq_u64(vcleq_f64(d2, upper), vcgtq_f64(d2, lower));
        // Both lanes are written; a rejected one is overwritten by the next hit.
        hit_index[n_hits] = static_cast<std::int64_t>(k);
        hit_distance[n_hits] = vgetq_lane_f64(d2, 0);
        n_hits += vgetq_lane_u64(ok, 0) & 1u;
        hit_index[n_hits] = static_cast<std::int64_t>(k + 1);
        hit_distance[n_hits] = vgetq_lane_f64(d2, 1);
        n_hits += vgetq_lane_u64(ok, 1) & 1u;
    }
    n_hits = scan_squares<Zero>(ja, jb, jc, k, m, centre, setup, hit_index, hit_distance, n_hits);
    const float64x2_t inv = vdupq_n_f64(setup.inv_bin), width = vdupq_n_f64(setup.bin_size);
    const float64x2_t top = vdupq_n_f64(static_cast<double>(setup.n_bins - 1));
    const float64x2_t margin = vdupq_n_f64(setup.margin), clear_lo = vdupq_n_f64(setup.clear_lo),
                      clear_hi = vdupq_n_f64(setup.clear_hi);
    const int64x2_t one = vdupq_n_s64(1), search = vdupq_n_s64(-2);
    std::size_t h = 0;
    for (; h + 2 <= n_hits; h += 2) {
        const float64x2_t d = vsqrtq_f64(vld1q_f64(hit_distance + h));
        vst1q_f64(hit_distance + h, d);
        if (!setup.guess) continue;
        // As guess_bin: min keeps the guess below n_bins (d is never NaN here),
        // truncation is its floor, and k < 2^30 converts back to double exactly.
        const int64x2_t k = vcvtq_s64_f64(vminq_f64(d * inv, top));
        const float64x2_t below = vmaxq_f64(vcvtq_f64_s64(k) * width + margin, clear_lo);
        const float64x2_t above = vminq_f64(vcvtq_f64_s64(vaddq_s64(k, one)) * width - margin, clear_hi);
        const uint64x2_t ok = vandq_u64(vcleq_f64(below, d), vcltq_f64(d, above));
        vst1q_s64(hit_bin + h, vbslq_s64(ok, k, search));
    }
    finish_hits(h, n_hits, setup, hit_distance, hit_bin);
    return n_hits;
}

const Implementation neon_implementations[] = {
    {"neon", scan_neon<any_cell>, any_cell, 1},
    {"neon-diagonal", scan_neon<diagonal_cell>, diagonal_cell, 1},
    {"neon-lower", scan_neon<lower_cell>, lower_cell, 1},
    {"neon-upper", scan_neon<upper_cell>, upper_cell, 1},
};

}  // namespace

std::span<const Implementation> vector_implementations() { return neon_implementations; }

int vector_level() {
    // Advanced SIMD is part of every AArch64 system this builds for (Linux, macOS,
    // Windows); Linux still says so through the auxiliary vector.
#if defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_ASIMD) ? 1 : 0;
#else
    return 1;
#endif
}

GatherRuns vector_gather_runs(int) { return gather_runs_neon; }

}  // namespace kelvara::lanes

#endif
