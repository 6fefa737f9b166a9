// The platform layer on Windows: Win32 for processors and memory, the C runtime's
// descriptors (with errno codes, as on POSIX) for file reads.
#include "core/util/platform.hpp"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>  // for GetActiveProcessorCount, GlobalMemoryStatusEx, MultiByteToWideChar

#include <fcntl.h>     // for _O_RDONLY, _O_BINARY, _O_NOINHERIT
#include <io.h>        // for _wopen, _read, _close, _lseeki64
#include <sys/stat.h>  // for _fstat64

#include <cerrno>
#include <climits>  // for INT_MAX, UINT_MAX
#include <string>

namespace kelvara::platform {

namespace {
bool memory_status(MEMORYSTATUSEX& status) {
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) != 0;
}
}  // namespace

std::size_t processor_count() {
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? static_cast<std::size_t>(count) : 1;
}

std::uint64_t physical_memory_bytes() {
    MEMORYSTATUSEX status;
    return memory_status(status) ? static_cast<std::uint64_t>(status.ullTotalPhys) : 0;
}

std::uint64_t available_memory_bytes() {
    MEMORYSTATUSEX status;
    return memory_status(status) ? static_cast<std::uint64_t>(status.ullAvailPhys) : UINT64_MAX;
}

// Windows processes start fresh (no fork): there is no copied pool to drop.
bool on_fork(void (*)(), void (*)(), void (*)()) { return true; }

int open_for_reading(const char* path, int& error) {
    // Paths arrive as UTF-8; the wide API takes every name the file system has.
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) {
        error = EILSEQ;
        return -1;
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n);
    // Binary mode: the readers see the bytes as written, "\r\n" included.
    const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) error = errno;
    return fd;
}

void close_file(int fd) { _close(fd); }

bool regular_file_size(int fd, std::uint64_t& size) {
    struct _stat64 info {};
    if (_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
    size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return true;
}

int wait_readable(int, int, int&) { return 1; }

std::ptrdiff_t read_file(int fd, char* buffer, std::size_t size, int& error) {
    const unsigned count = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
    const int got = _read(fd, buffer, count);
    if (got < 0) error = errno;
    return got;
}

bool seek_file(int fd, std::uint64_t offset, int& error) {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) {
        error = EINVAL;
        return false;
    }
    if (_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) >= 0) return true;
    error = errno;
    return false;
}

}  // namespace kelvara::platform

#endif
