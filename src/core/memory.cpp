// Guards against allocations sized by untrusted counts.
#include "core/memory.hpp"

#include <unistd.h>  // for sysconf

namespace kelvara {

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 40;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes) {
    if (item_bytes != 0 && count > UINT64_MAX / item_bytes) return false;
    return count * item_bytes <= physical_memory_bytes();
}

}  // namespace kelvara
