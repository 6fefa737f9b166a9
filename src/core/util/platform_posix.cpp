// The platform layer on POSIX systems (Linux, macOS, the BSDs).
#include "core/util/platform.hpp"

#if !defined(_WIN32)

#include <fcntl.h>     // for open
#include <poll.h>      // for poll
#include <pthread.h>   // for pthread_atfork
#include <sys/stat.h>  // for fstat
#include <unistd.h>    // for read, close, lseek, sysconf

#include <algorithm>  // for std::min
#include <cerrno>
#include <cstdio>   // for std::FILE, std::fopen, std::fscanf
#include <cstring>  // for std::strcmp

namespace kelvara::platform {

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

std::size_t processor_count() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::uint64_t available_memory_bytes() {
    std::uint64_t bytes = meminfo_available();
    if (bytes == 0) bytes = UINT64_MAX;
    // A job under a cgroup v2 limit (containers, batch schedulers) is killed at the
    // limit, whatever the machine has free.
    if (const std::uint64_t limit = read_number("/sys/fs/cgroup/memory.max"); limit > 0) {
        const std::uint64_t used = read_number("/sys/fs/cgroup/memory.current");
        const std::uint64_t left = limit > used ? limit - used : 0;
        bytes = std::min(bytes, left);
    }
    return bytes;
}

bool on_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}

int open_for_reading(const char* path, int& error) {
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) error = errno;
    return fd;
}

void close_file(int fd) { ::close(fd); }

bool regular_file_size(int fd, std::uint64_t& size) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return true;
}

int wait_readable(int fd, int milliseconds, int& error) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, milliseconds);
    if (polled < 0) error = errno;
    return polled < 0 ? -1 : polled > 0 ? 1 : 0;
}

std::ptrdiff_t read_file(int fd, char* buffer, std::size_t size, int& error) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got < 0) error = errno;
    return got;
}

bool seek_file(int fd, std::uint64_t offset, int& error) {
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0) return true;
    error = errno;
    return false;
}

}  // namespace kelvara::platform

#endif
