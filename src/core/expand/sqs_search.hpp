// The quasirandom search proper: pair counts per shell kept up to date on every swap,
// annealed by a seeded Metropolis walk.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvara {

/// The disordered sites of a supercell as the search sees them: a label (element or
/// vacancy) per site, the site's neighbours in each shell, and the pair counts a
/// random arrangement would give.
struct SqsModel {
    std::size_t n_sites = 0, n_shells = 0, n_labels = 0;
    /// Site x's neighbours in shell k are neighbours[offsets[x * n_shells + k] ..
    /// offsets[x * n_shells + k + 1]], one entry per periodic image (x itself for its
    /// own images).
    std::vector<std::uint32_t> offsets, neighbours;
    /// Label counts per pool and the pool of each label; the sites of each pool.
    std::vector<std::size_t> label_pool;
    std::vector<std::uint64_t> label_count;
    std::vector<std::vector<std::uint32_t>> pool_sites;
    /// 1 / expected count of each (shell, label, label) entry, n_shells * n_labels^2;
    /// 0 where a random arrangement has none.
    std::vector<double> inverse_expected;
    /// The entries (shell, g, h) with g <= h that enter the objective.
    std::vector<std::uint32_t> terms;

    /// Entry index of (shell k, labels g, h).
    std::size_t entry(std::size_t k, std::size_t g, std::size_t h) const {
        return (k * n_labels + g) * n_labels + h;
    }
    /// Ordered pair counts of an arrangement (labels by site).
    std::vector<std::int64_t> count(const std::vector<std::uint16_t>& labels) const;
    /// alpha of an entry: 1 - count / expected.
    double alpha(const std::vector<std::int64_t>& counts, std::size_t e) const {
        return 1.0 - static_cast<double>(counts[e]) * inverse_expected[e];
    }
    /// Largest |alpha| over the terms.
    double worst_alpha(const std::vector<std::int64_t>& counts) const;
};

/// What one search found.
struct ChainResult {
    bool ran = false;
    std::vector<std::uint16_t> labels;
    double objective = 0.0, squares = 0.0;
    std::uint64_t steps = 0;
    /// "", "time" or "interrupted".
    std::string stopped;
};

/// One annealing run of `steps` swap attempts from `start` (an arrangement whose pool
/// shares are the targets), its generator seeded with `seed`: minimises the sum of
/// alpha^2 over the terms and keeps the arrangement of least largest |alpha| seen.
/// Ends early when every alpha is 0. Polls the cancel token and the deadline every
/// 1024 steps.
ChainResult anneal(const SqsModel& model, std::vector<std::uint16_t> start, std::uint64_t seed,
                   std::uint64_t steps, std::chrono::steady_clock::time_point deadline);

}  // namespace kelvara
