// RowImages: the symmetry images of one CIF atom-site row that are one atom.
#pragma once

#include <cmath>  // for std::floor
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/model/lattice.hpp"       // for Vec3
#include "core/readers/site_merge.hpp"  // for axis_distance

namespace kelvara {

/// The images of one row that are one atom: within `tolerance` on every axis of an
/// earlier image of the row. A row with many images (a symmetry loop of thousands of
/// operations) files them under a periodic grid of cells at least `tolerance` wide, so
/// each test looks at 27 cells instead of every kept image; the answer is the same
/// (the earliest kept image that coincides).
class RowImages {
public:
    void clear() {
        for (std::uint32_t slot : used_) head_[slot] = kNone;
        used_.clear();
        kept_.clear();
        next_.clear();
        grid_ = 0;
    }
    /// Whether `image` (coordinates in [0, 1]) is new; when it coincides with a kept
    /// image, `nearest` gets that image. `n_images` is how many images the row has.
    bool is_new(const Vec3& image, double tolerance, std::size_t n_images, Vec3& nearest) {
        const std::uint32_t found = grid_ ? find_in_grid(image, tolerance) : find_by_scan(image, tolerance);
        if (found != kNone) {
            nearest = kept_[found];
            return false;
        }
        kept_.push_back(image);
        if (grid_) file(static_cast<std::uint32_t>(kept_.size() - 1));
        else if (kept_.size() == kScanLimit) start_grid(tolerance, n_images);
        return true;
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    static constexpr std::size_t kScanLimit = 64;  // a real space group has at most 192 images

    static bool coincide(const Vec3& a, const Vec3& b, double tolerance) {
        return axis_distance(a[0], b[0]) < tolerance && axis_distance(a[1], b[1]) < tolerance &&
               axis_distance(a[2], b[2]) < tolerance;
    }
    std::uint32_t find_by_scan(const Vec3& image, double tolerance) const {
        for (std::size_t k = 0; k < kept_.size(); ++k)
            if (coincide(kept_[k], image, tolerance)) return static_cast<std::uint32_t>(k);
        return kNone;
    }
    std::int64_t cell(double f) const {
        const auto c = static_cast<std::int64_t>(f * static_cast<double>(grid_));
        return c < 0 ? 0 : (c >= grid_ ? grid_ - 1 : c);
    }
    std::uint32_t slot(std::int64_t i, std::int64_t j, std::int64_t k) const {
        const auto wrap = [this](std::int64_t c) {
            return static_cast<std::uint64_t>((c % grid_ + grid_) % grid_);
        };
        const std::uint64_t g = static_cast<std::uint64_t>(grid_);
        const std::uint64_t key = (wrap(i) * g + wrap(j)) * g + wrap(k);
        return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }
    void start_grid(double tolerance, std::size_t n_images) {
        // Cells of width 1/grid >= tolerance: images that coincide lie in neighbouring
        // cells (periodically). With fewer than three cells per axis every cell is a
        // neighbour, and the scan is as good.
        const double per_axis = std::floor(1.0 / tolerance);
        if (!(per_axis >= 3.0)) return;
        grid_ = per_axis > 1048576.0 ? 1048576 : static_cast<std::int64_t>(per_axis);
        unsigned bits = 10;
        while (bits < 30 && (std::size_t{1} << bits) < 2 * n_images) ++bits;
        if (bits != bits_ || head_.empty()) {
            bits_ = bits;
            head_.assign(std::size_t{1} << bits_, kNone);
        }
        for (std::uint32_t k = 0; k < kept_.size(); ++k) file(k);
    }
    void file(std::uint32_t index) {
        const Vec3& f = kept_[index];
        const std::uint32_t s = slot(cell(f[0]), cell(f[1]), cell(f[2]));
        if (head_[s] == kNone) used_.push_back(s);
        next_.resize(kept_.size(), kNone);
        next_[index] = head_[s];
        head_[s] = index;
    }
    std::uint32_t find_in_grid(const Vec3& image, double tolerance) const {
        // Chains may hold images of other cells that share a slot: each is tested, and
        // the earliest that coincides wins, as in the scan.
        std::uint32_t best = kNone;
        const std::int64_t ci = cell(image[0]), cj = cell(image[1]), ck = cell(image[2]);
        for (std::int64_t di = -1; di <= 1; ++di)
            for (std::int64_t dj = -1; dj <= 1; ++dj)
                for (std::int64_t dk = -1; dk <= 1; ++dk)
                    for (std::uint32_t k = head_[slot(ci + di, cj + dj, ck + dk)]; k != kNone; k = next_[k])
                        if (k < best && coincide(kept_[k], image, tolerance)) best = k;
        return best;
    }

    std::vector<Vec3> kept_;
    std::int64_t grid_ = 0;  // cells per axis once the grid is in use, else 0
    unsigned bits_ = 0;
    std::vector<std::uint32_t> head_;  // per table slot: the newest kept image filed there
    std::vector<std::uint32_t> next_;  // per kept image: the previous one in its slot
    std::vector<std::uint32_t> used_;  // slots to empty for the next row
};

}  // namespace kelvara
