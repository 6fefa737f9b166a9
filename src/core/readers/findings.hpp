// ReadStructure: a structure read from text, with what the reader assumed on the way.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/model/structure.hpp"

namespace kelvara {

/// One sentence per assumption a reader made that shapes its result ("atom site
/// 'Fe1' has the coordinate '?' and is dropped"), in the order the reader met them.
using Warnings = std::vector<std::string>;

/// A reader's result: the structure, and the findings the user must hear about.
struct ReadStructure {
    Structure structure;
    Warnings warnings;
};

/// Species that are not chemical elements, each said once: the first five by name and
/// place, then one sentence for all the others (a column of atom names read as
/// species would otherwise give a warning per atom).
class NotElementNotes {
public:
    /// Notes `symbol`, which is not an element; the first time, `sentence()` (or, past
    /// the fifth such symbol, the closing sentence once) goes into `warnings`.
    template <class Sentence>
    void note(const std::string& symbol, Sentence&& sentence, Warnings& warnings) {
        if (!seen_.insert(symbol).second) return;
        if (seen_.size() <= kNamed)
            warnings.push_back(sentence());
        else if (seen_.size() == kNamed + 1)
            warnings.push_back("more species that are not chemical elements follow; they are read "
                               "as written, without a warning each (are atom names read as species?)");
    }

private:
    static constexpr std::size_t kNamed = 5;
    std::unordered_set<std::string> seen_;
};

}  // namespace kelvara
