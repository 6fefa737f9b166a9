// The innermost pair loop: distances from one centre to runs of candidate images.
#pragma once

#include <cstddef>  // for std::size_t
#include <cstdint>  // for std::int64_t
#include <vector>

namespace kelvara {

/// What every scan of one pass shares.
struct ScanSetup {
    /// The cell matrix, rows a, b, c: matrix[3 * r + k] is component k of row r.
    double matrix[9];
    /// Accepted squared distances: near2 < d2 <= cut2.
    double cut2, near2;
    /// Bin guessing: when `guess` is set, every bin edge k is exactly k * bin_size
    /// (as a 64-bit product) and n_bins < 2^30.
    bool guess;
    double bin_size, inv_bin;
    std::int64_t n_bins;
    /// A guess is confirmed only for a distance at least `margin` inside its bin and
    /// within [clear_lo, clear_hi); 0, 0 and infinity confirm by the edges alone.
    double margin, clear_lo, clear_hi;
};

/// Tests candidates k = 0 .. m - 1 at shifted fractional positions (ja, jb, jc)[k]
/// (already w_j + s) against the wrapped `centre`:
/// delta = (w_j + s) - w_i, cart_k = (da * a_k + db * b_k) + dc * c_k,
/// d2 = (x * x + y * y) + z * z, accepted when near2 < d2 <= cut2. Writes the
/// accepted k in scan order to `hit_index` and sqrt(d2) to `hit_distance`; with
/// `setup.guess`, also hit_bin[h] = b when edges[b] + margin <= d < edges[b + 1] -
/// margin and clear_lo <= d < clear_hi were confirmed for the guess b = floor(d /
/// bin_size) (taken through inv_bin, at most n_bins - 1), and -2 when the caller must
/// decide the bin itself. Every output needs room for the candidate count + 8 values.
/// Returns the number of hits. Every vector lane performs exactly the scalar
/// operations in the same order, unfused, so distances and bins are bit-identical on
/// every instruction set.
using ScanCandidates = std::size_t (*)(const double* ja, const double* jb, const double* jc,
                                       std::size_t m, const double* centre, const ScanSetup& setup,
                                       std::int64_t* hit_index, double* hit_distance,
                                       std::int64_t* hit_bin);

/// The fastest implementation this processor runs for this cell matrix (AVX-512,
/// AVX2 or plain x86-64; shorter arithmetic where matrix entries are exact zeros).
ScanCandidates select_scan_candidates(const double* matrix);

/// Sites [j0, j1) (positions in the wrapped coordinate lists) seen through one
/// lattice translation (sa, sb, sc).
struct Run {
    std::size_t j0, j1;
    double sa, sb, sc;
};

/// Lays the runs end to end as candidates: ja[k] = wa[j] + sa and so on, k counting
/// from 0 over every run in order. Returns the number of candidates.
using GatherRuns = std::size_t (*)(const Run* runs, std::size_t n_runs, const double* wa,
                                   const double* wb, const double* wc, double* ja, double* jb,
                                   double* jc);

/// The widest implementation of GatherRuns this processor runs.
GatherRuns select_gather_runs();

/// One implementation and its name.
struct NamedScan {
    const char* name;
    ScanCandidates scan;
};

/// Every implementation this processor runs that is valid for this matrix, the
/// portable reference first. For checking them against each other.
std::vector<NamedScan> scan_implementations(const double* matrix);

}  // namespace kelvara
