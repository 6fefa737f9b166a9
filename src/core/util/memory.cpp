// Guards against allocations sized by untrusted counts.
#include "core/util/memory.hpp"

#include <algorithm>  // for std::min

#include "core/util/platform.hpp"

namespace kelvara {

std::uint64_t physical_memory_bytes() {
    const std::uint64_t bytes = platform::physical_memory_bytes();
    return bytes > 0 ? bytes : std::uint64_t{1} << 40;
}

std::uint64_t available_memory_bytes() {
    return std::min(physical_memory_bytes(), platform::available_memory_bytes());
}

bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes) {
    if (item_bytes != 0 && count > UINT64_MAX / item_bytes) return false;
    // Small requests always pass without asking the system: per-frame calls stay cheap.
    if (count * item_bytes <= (std::uint64_t{64} << 20)) return true;
    return count * item_bytes <= available_memory_bytes();
}

}  // namespace kelvara
