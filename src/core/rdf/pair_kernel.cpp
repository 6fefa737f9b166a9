// The innermost pair loop: the portable kernel, and the choice among it and the vector
// kernels of this processor (pair_kernel_x86.cpp, pair_kernel_neon.cpp).
#include "core/rdf/pair_kernel.hpp"

#include <bit>  // for std::popcount

#include "core/rdf/pair_lanes.hpp"

namespace kelvara {

namespace {

using lanes::Implementation;

unsigned zero_entries(const double* matrix) {
    unsigned bits = 0;
    for (unsigned e = 0; e < 9; ++e) bits |= (matrix[e] == 0.0 ? 1u : 0u) << e;
    return bits;
}

std::size_t scan_scalar(const double* ja, const double* jb, const double* jc, std::size_t m,
                        const double* centre, const ScanSetup& setup, std::int64_t* hit_index,
                        double* hit_distance, std::int64_t* hit_bin) {
    const std::size_t n_hits =
        lanes::scan_squares<lanes::any_cell>(ja, jb, jc, 0, m, centre, setup, hit_index, hit_distance, 0);
    lanes::finish_hits(0, n_hits, setup, hit_distance, hit_bin);
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

const Implementation scalar = {"scalar", scan_scalar, lanes::any_cell, 0};

/// Whether this processor runs `i` on a cell with these exact-zero entries.
bool usable(const Implementation& i, int level, unsigned zero) {
    return i.level <= level && (i.zero & ~zero) == 0;
}

}  // namespace

#if !defined(KELVARA_X86_KERNELS) && !defined(KELVARA_NEON_KERNELS)
namespace lanes {
std::span<const Implementation> vector_implementations() { return {}; }
int vector_level() { return 0; }
GatherRuns vector_gather_runs(int) { return gather_runs_scalar; }
}  // namespace lanes
#endif

std::vector<NamedScan> scan_implementations(const double* matrix) {
    const unsigned zero = zero_entries(matrix);
    const int level = lanes::vector_level();
    std::vector<NamedScan> out{{scalar.name, scalar.scan}};
    for (const Implementation& i : lanes::vector_implementations())
        if (usable(i, level, zero)) out.push_back({i.name, i.scan});
    return out;
}

GatherRuns select_gather_runs() {
    const int level = lanes::vector_level();
    return level > 0 ? lanes::vector_gather_runs(level) : gather_runs_scalar;
}

ScanCandidates select_scan_candidates(const double* matrix) {
    // The widest instruction set, then the most zero entries left out.
    const unsigned zero = zero_entries(matrix);
    const int level = lanes::vector_level();
    const Implementation* best = &scalar;
    for (const Implementation& i : lanes::vector_implementations()) {
        if (!usable(i, level, zero)) continue;
        if (i.level > best->level ||
            (i.level == best->level && std::popcount(i.zero) > std::popcount(best->zero)))
            best = &i;
    }
    return best->scan;
}

}  // namespace kelvara
