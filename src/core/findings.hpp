// ReadStructure: a structure read from text, with what the reader assumed on the way.
#pragma once

#include <string>
#include <vector>

#include "core/structure.hpp"

namespace kelvara {

/// One sentence per assumption a reader made that shapes its result ("atom site
/// 'Fe1' has the coordinate '?' and is dropped"), in the order the reader met them.
using Warnings = std::vector<std::string>;

/// A reader's result: the structure, and the findings the user must hear about.
struct ReadStructure {
    Structure structure;
    Warnings warnings;
};

}  // namespace kelvara
