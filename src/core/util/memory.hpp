// Guards against allocations sized by untrusted counts.
#pragma once

#include <cstdint>

namespace kelvara {

/// Physical memory of this machine in bytes (a generous constant when unknown).
std::uint64_t physical_memory_bytes();

/// Memory a new allocation can have now, in bytes: the kernel's estimate of what is
/// available without swapping, lowered to what a cgroup memory limit leaves, and
/// never above the physical memory. Falls back to the physical memory when neither
/// can be read (other systems, a masked /proc).
std::uint64_t available_memory_bytes();

/// Whether `count` items of `item_bytes` each could be allocated now: the product
/// does not overflow and stays below the available memory. Used before reserving
/// anything whose size comes from user input, so that an absurd request fails with a
/// message instead of swapping for minutes or being killed by the operating system.
bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes);

/// Sets `product` to a * b (wrapped) and tells whether the true product exceeds 64 bits.
inline bool multiply_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
    product = a * b;
    return a != 0 && product / a != b;
}

}  // namespace kelvara
