// The innermost pair loop: distances from one centre to a run of candidate images.
#pragma once

#include <cstddef>  // for std::size_t
#include <cstdint>  // for std::int64_t

namespace kelvara {

/// Tests candidates k = 0 .. m - 1 at shifted fractional positions (ja, jb, jc)[k]
/// (already w_j + s) against the wrapped `centre`: delta = (w_j + s) - w_i,
/// cart_k = (da * a_k + db * b_k) + dc * c_k, d2 = (x * x + y * y) + z * z, accepted when
/// d2 <= cut2 and d2 > 1e-16. Writes the accepted k in ascending order to `hit_index`
/// and sqrt(d2) to `hit_distance` (both need room for m + 8 values); returns their
/// number. Every vector lane performs exactly the scalar operations in the same
/// order, unfused, so the distances are bit-identical on every instruction set.
using ScanCandidates = std::size_t (*)(const double* ja, const double* jb, const double* jc,
                                       std::size_t m, const double* centre, const double* matrix,
                                       double cut2, std::int64_t* hit_index, double* hit_distance);

/// The widest implementation this processor runs (AVX-512, AVX2 or plain x86-64);
/// `diagonal` (every off-diagonal entry of the matrix is zero) allows a shorter one
/// with bit-identical results.
ScanCandidates select_scan_candidates(bool diagonal);

/// First pass of binning: bins[h] = b when edges[b] <= d[h] < edges[b + 1] was
/// confirmed for the guess b = floor(d[h] / bin_size) (taken through inv_bin), and -2
/// when the caller must search the edges itself (the guess was off, or d lies on or
/// beyond the last edge). `bins` needs room for n + 8 values.
using GuessBins = void (*)(const double* d, std::size_t n, const double* edges, std::int64_t n_bins,
                           double inv_bin, std::int64_t* bins);

/// A vector implementation for this processor, or null (the caller then searches
/// every bin itself). Needs n_bins < 2^30.
GuessBins select_guess_bins();

/// The portable implementation, for checking the vector ones.
std::size_t scan_candidates_scalar(const double* ja, const double* jb, const double* jc,
                                   std::size_t m, const double* centre, const double* matrix,
                                   double cut2, std::int64_t* hit_index, double* hit_distance);

}  // namespace kelvara
