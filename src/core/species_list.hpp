// SpeciesList: the (element, occupancy) pairs of one site, the first one stored inline.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kelvara {

/// One (element, occupancy) pair of a site.
using Species = std::pair<std::string, double>;

/// The species of one site, in the order the builder supplied them. Nearly every
/// site holds exactly one, so that one lives inline: reading a million-atom file or
/// building a supercell costs no allocation per site. Mixed sites keep all their
/// species in a vector. Storage is contiguous either way.
class SpeciesList {
public:
    using value_type = Species;
    using iterator = Species*;
    using const_iterator = const Species*;

    SpeciesList() = default;
    SpeciesList(std::initializer_list<Species> items) : SpeciesList(items.begin(), items.end()) {}
    template <class It>
    SpeciesList(It first, It last) {
        for (; first != last; ++first) push_back(*first);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Species* begin() { return size_ > 1 ? many_.data() : &one_; }
    Species* end() { return begin() + size_; }
    const Species* begin() const { return size_ > 1 ? many_.data() : &one_; }
    const Species* end() const { return begin() + size_; }
    Species& operator[](std::size_t i) { return begin()[i]; }
    const Species& operator[](std::size_t i) const { return begin()[i]; }
    const Species& front() const { return *begin(); }

    void push_back(Species item) {
        if (size_ == 0) {
            one_ = std::move(item);
        } else {
            if (size_ == 1) {
                many_.reserve(2);
                many_.push_back(std::move(one_));
            }
            many_.push_back(std::move(item));
        }
        ++size_;
    }
    template <class... Args>
    void emplace_back(Args&&... args) {
        push_back(Species(std::forward<Args>(args)...));
    }

    friend bool operator==(const SpeciesList& a, const SpeciesList& b) {
        if (a.size_ != b.size_) return false;
        for (std::size_t i = 0; i < a.size_; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

private:
    std::size_t size_ = 0;
    Species one_;               // the only species while size_ <= 1
    std::vector<Species> many_;  // all of them once there are two or more
};

}  // namespace kelvara
