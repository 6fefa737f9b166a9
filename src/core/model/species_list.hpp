// SpeciesList: the (element, occupancy) pairs of one site, the first one stored inline.
#pragma once

#include <cstddef>
#include <cstdint>  // for std::uint32_t
#include <initializer_list>
#include <new>  // for placement new
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

    SpeciesList() noexcept { new (&one_) Species(); }
    SpeciesList(std::initializer_list<Species> items) : SpeciesList(items.begin(), items.end()) {}
    template <class It>
    SpeciesList(It first, It last) : SpeciesList() {
        for (; first != last; ++first) push_back(*first);
    }
    SpeciesList(const SpeciesList& other) : size_(other.size_) {
        if (size_ > 1) new (&many_) std::vector<Species>(other.many_);
        else new (&one_) Species(other.one_);
    }
    SpeciesList(SpeciesList&& other) noexcept : size_(other.size_) {
        if (size_ > 1) new (&many_) std::vector<Species>(std::move(other.many_));
        else new (&one_) Species(std::move(other.one_));
        other.clear();
    }
    SpeciesList& operator=(const SpeciesList& other) {
        if (this != &other) *this = SpeciesList(other);
        return *this;
    }
    SpeciesList& operator=(SpeciesList&& other) noexcept {
        if (this != &other) {
            this->~SpeciesList();
            new (this) SpeciesList(std::move(other));
        }
        return *this;
    }
    ~SpeciesList() {
        if (size_ > 1) many_.~vector();
        else one_.~Species();
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
        } else if (size_ == 1) {
            std::vector<Species> both;  // built first, so a failed allocation changes nothing
            both.reserve(2);
            both.push_back(std::move(one_));
            both.push_back(std::move(item));
            one_.~Species();
            new (&many_) std::vector<Species>(std::move(both));
        } else {
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
    /// Back to the empty state, the inline member alive.
    void clear() noexcept {
        if (size_ > 1) {
            many_.~vector();
            new (&one_) Species();
        } else {
            one_ = Species();
        }
        size_ = 0;
    }

    std::size_t size_ = 0;
    union {
        Species one_;                // alive while size_ <= 1
        std::vector<Species> many_;  // alive once there are two or more
    };
};

/// Numbers element texts in the order they are first seen, without a map lookup per
/// site: a structure has a handful of elements, neighbouring sites nearly always
/// repeat the element just seen (tried first), and texts of a few bytes compare
/// faster by hand than by a library call.
class ElementNumbering {
public:
    /// The number of `element` (the next free one when new); the text must outlive
    /// this numbering.
    std::uint32_t number(const std::string& element) {
        if (seen_.empty() || !same_text(element, *seen_[last_])) {
            std::uint32_t k = 0;
            while (k < seen_.size() && !same_text(element, *seen_[k])) ++k;
            if (k == seen_.size()) seen_.push_back(&element);
            last_ = k;
        }
        return last_;
    }
    /// The texts by number.
    const std::vector<const std::string*>& seen() const { return seen_; }

private:
    static bool same_text(const std::string& x, const std::string& y) {
        if (x.size() != y.size()) return false;
        for (std::size_t k = 0; k < x.size(); ++k)
            if (x[k] != y[k]) return false;
        return true;
    }

    std::vector<const std::string*> seen_;
    std::uint32_t last_ = 0;
};

}  // namespace kelvara
