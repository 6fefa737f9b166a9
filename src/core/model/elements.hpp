// The chemical elements by symbol, for readers that must tell a symbol from a label.
#pragma once

#include <string_view>

namespace kelvara {

/// Whether `symbol` is the symbol of a chemical element (H to Og, and D for
/// deuterium), written exactly so: "Fe" is, "FE" and "fe" are not.
bool is_element(std::string_view symbol);

}  // namespace kelvara
