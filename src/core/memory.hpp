// Guards against allocations sized by untrusted counts.
#pragma once

#include <cstdint>

namespace kelvara {

/// Physical memory of this machine in bytes (a generous constant when unknown).
std::uint64_t physical_memory_bytes();

/// Whether `count` items of `item_bytes` each could be allocated at all: the product
/// does not overflow and stays below the machine's physical memory. Used before
/// reserving anything whose size comes from user input, so that an absurd request
/// fails with a message instead of being killed by the operating system.
bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes);

}  // namespace kelvara
