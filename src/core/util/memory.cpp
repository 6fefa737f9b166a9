// Guards against allocations sized by untrusted counts.
#include "core/util/memory.hpp"

#include <unistd.h>  // for sysconf

#include <algorithm>  // for std::min
#include <cstdio>     // for std::FILE, std::fopen, std::fscanf
#include <cstring>    // for std::strcmp

namespace kelvara {

namespace {
/// The first unsigned number in a one-line file such as /sys/fs/cgroup/memory.max;
/// 0 when the file is absent, unreadable or says "max".
std::uint64_t read_number(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (!file) return 0;
    unsigned long long value = 0;
    const int got = std::fscanf(file, "%llu", &value);
    std::fclose(file);
    return got == 1 ? static_cast<std::uint64_t>(value) : 0;
}

/// MemAvailable from /proc/meminfo in bytes, 0 when it cannot be read.
std::uint64_t meminfo_available() {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (!file) return 0;
    char key[64];
    unsigned long long kib = 0;
    std::uint64_t found = 0;
    while (std::fscanf(file, "%63s %llu kB", key, &kib) == 2) {
        if (std::strcmp(key, "MemAvailable:") == 0) {
            found = static_cast<std::uint64_t>(kib) * 1024;
            break;
        }
    }
    std::fclose(file);
    return found;
}
}  // namespace

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 40;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::uint64_t available_memory_bytes() {
    std::uint64_t bytes = physical_memory_bytes();
    if (const std::uint64_t free_now = meminfo_available(); free_now > 0) bytes = std::min(bytes, free_now);
    // A job under a cgroup v2 limit (containers, batch schedulers) is killed at the
    // limit, whatever the machine has free.
    if (const std::uint64_t limit = read_number("/sys/fs/cgroup/memory.max"); limit > 0) {
        const std::uint64_t used = read_number("/sys/fs/cgroup/memory.current");
        bytes = std::min(bytes, limit > used ? limit - used : 0);
    }
    return bytes;
}

bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes) {
    if (item_bytes != 0 && count > UINT64_MAX / item_bytes) return false;
    // Small requests always pass without reading /proc: per-frame calls stay cheap.
    if (count * item_bytes <= (std::uint64_t{64} << 20)) return true;
    return count * item_bytes <= available_memory_bytes();
}

}  // namespace kelvara
