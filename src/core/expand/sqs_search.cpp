// The quasirandom search proper: pair counts per shell kept up to date on every swap,
// annealed by a seeded Metropolis walk.
#include "core/expand/sqs_search.hpp"

#include <algorithm>  // for std::max
#include <cmath>      // for std::exp, std::pow, std::fabs

#include "core/expand/expand.hpp"  // for Xorshift64Star
#include "core/util/cancel.hpp"

namespace kelvara {

std::vector<std::int64_t> SqsModel::count(const std::vector<std::uint16_t>& labels) const {
    std::vector<std::int64_t> counts(n_shells * n_labels * n_labels, 0);
    for (std::size_t x = 0; x < n_sites; ++x)
        for (std::size_t k = 0; k < n_shells; ++k)
            for (std::uint32_t i = offsets[x * n_shells + k]; i < offsets[x * n_shells + k + 1]; ++i)
                ++counts[entry(k, labels[x], labels[neighbours[i]])];
    return counts;
}

double SqsModel::worst_alpha(const std::vector<std::int64_t>& counts) const {
    double worst = 0.0;
    for (std::uint32_t e : terms) worst = std::max(worst, std::fabs(alpha(counts, e)));
    return worst;
}

namespace {

/// The search's working state: an arrangement and its counts, changed one site at a time.
struct Walk {
    const SqsModel& model;
    std::vector<std::uint16_t> labels;
    std::vector<std::int64_t> counts;

    /// Neighbours of one site per label, gathered before the counts change.
    std::vector<std::int64_t> around;

    /// Site x takes label `to`: every pair it is part of moves to its new entries.
    /// The neighbours are tallied by label first, so each entry changes once per shell.
    void relabel(std::uint32_t x, std::uint16_t to) {
        const std::uint16_t from = labels[x];
        const std::size_t L = model.n_labels;
        around.assign(L, 0);
        for (std::size_t k = 0; k < model.n_shells; ++k) {
            std::int64_t* block = counts.data() + k * L * L;
            const std::uint32_t* first = model.neighbours.data() + model.offsets[x * model.n_shells + k];
            const std::uint32_t* last = model.neighbours.data() + model.offsets[x * model.n_shells + k + 1];
            std::int64_t self = 0;  // images of x itself: centre and neighbour change together
            for (const std::uint32_t* n = first; n != last; ++n) {
                if (*n == x) ++self;
                else ++around[labels[*n]];
            }
            block[from * L + from] -= self;
            block[to * L + to] += self;
            for (std::size_t other = 0; other < L; ++other) {
                const std::int64_t m = around[other];
                if (m == 0) continue;
                around[other] = 0;
                block[from * L + other] -= m;
                block[other * L + from] -= m;
                block[to * L + other] += m;
                block[other * L + to] += m;
            }
        }
        labels[x] = to;
    }

    void swap(std::uint32_t i, std::uint32_t j) {
        const std::uint16_t li = labels[i], lj = labels[j];
        relabel(i, lj);
        relabel(j, li);
    }

    /// Sum of alpha^2 and largest |alpha| over the terms, in term order.
    void score(double& squares, double& worst) const {
        double sum = 0.0, most = 0.0;  // locals: the references could alias the counts
        const std::int64_t* c = counts.data();
        const double* inverse = model.inverse_expected.data();
        for (std::uint32_t e : model.terms) {
            const double a = 1.0 - static_cast<double>(c[e]) * inverse[e];
            sum += a * a;
            most = std::max(most, std::fabs(a));
        }
        squares = sum;
        worst = most;
    }
};

/// A uniform draw in [0, 1) from the top 53 bits.
double uniform(Xorshift64Star& generator) { return static_cast<double>(generator.next() >> 11) * 0x1p-53; }

/// Two sites of one pool with different labels, the pool drawn in proportion to its
/// size among the pools that hold two labels; false when the draws kept meeting equal labels.
bool pick_pair(const SqsModel& model, const std::vector<std::size_t>& swappable, std::uint64_t swappable_sites,
               const Walk& walk, Xorshift64Star& generator, std::uint32_t& i, std::uint32_t& j) {
    std::uint64_t r = generator.next() % swappable_sites;
    std::size_t pool = swappable.front();
    for (std::size_t p : swappable) {
        pool = p;
        if (r < model.pool_sites[p].size()) break;
        r -= model.pool_sites[p].size();
    }
    const std::vector<std::uint32_t>& sites = model.pool_sites[pool];
    i = sites[r];
    for (int attempt = 0; attempt < 16; ++attempt) {
        j = sites[generator.next() % sites.size()];
        if (walk.labels[j] != walk.labels[i]) return true;
    }
    return false;
}

}  // namespace

ChainResult anneal(const SqsModel& model, std::vector<std::uint16_t> start, std::uint64_t seed,
                   std::uint64_t steps, std::chrono::steady_clock::time_point deadline) {
    ChainResult result;
    result.ran = true;
    Walk walk{model, std::move(start), {}, {}};
    walk.counts = model.count(walk.labels);
    double squares = 0.0, worst = 0.0;
    walk.score(squares, worst);
    result.labels = walk.labels;
    result.objective = worst;
    result.squares = squares;

    std::vector<std::size_t> swappable;
    std::uint64_t swappable_sites = 0;
    for (std::size_t p = 0; p < model.pool_sites.size(); ++p) {
        std::size_t labels_present = 0;
        for (std::size_t g = 0; g < model.n_labels; ++g)
            labels_present += model.label_pool[g] == p && model.label_count[g] > 0;
        if (labels_present < 2) continue;
        swappable.push_back(p);
        swappable_sites += model.pool_sites[p].size();
    }
    if (swappable.empty() || model.terms.empty()) return result;

    Xorshift64Star generator(seed);
    // The starting temperature: the mean rise of sum alpha^2 over a few random swaps,
    // so that a typical uphill move is taken at first with probability 1/e.
    double rise = 0.0;
    int uphill = 0;
    for (int trial = 0; trial < 64; ++trial) {
        std::uint32_t i = 0, j = 0;
        if (!pick_pair(model, swappable, swappable_sites, walk, generator, i, j)) continue;
        walk.swap(i, j);
        double s = 0.0, w = 0.0;
        walk.score(s, w);
        walk.swap(i, j);
        if (s > squares) {
            rise += s - squares;
            ++uphill;
        }
    }
    const double t_start = uphill > 0 ? rise / uphill : 1e-3;
    const double t_end = t_start * 1e-3;
    const double cooling = steps > 0 ? std::pow(t_end / t_start, 1.0 / static_cast<double>(steps)) : 1.0;
    double temperature = t_start;

    for (std::uint64_t step = 0; step < steps; ++step, temperature *= cooling) {
        if ((step & 1023) == 0 && step > 0) {
            if (cancel_point()) {
                result.stopped = "interrupted";
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                result.stopped = "time";
                break;
            }
        }
        result.steps = step + 1;
        std::uint32_t i = 0, j = 0;
        if (!pick_pair(model, swappable, swappable_sites, walk, generator, i, j)) continue;
        walk.swap(i, j);
        double s = 0.0, w = 0.0;
        walk.score(s, w);
        const double change = s - squares;
        if (change <= 0.0 || uniform(generator) < std::exp(-change / temperature)) {
            squares = s;
            if (w < result.objective || (w == result.objective && s < result.squares)) {
                result.objective = w;
                result.squares = s;
                result.labels = walk.labels;
                if (w == 0.0) break;  // every alpha is 0: nothing left to improve
            }
        } else {
            walk.swap(i, j);
        }
    }
    return result;
}

}  // namespace kelvara
