// What the core asks of the operating system, behind one interface: processors,
// memory, fork handlers and file reads (platform_posix.cpp, platform_win32.cpp).
#pragma once

#include <cstddef>  // for std::size_t, std::ptrdiff_t
#include <cstdint>  // for std::uint64_t

namespace kelvara::platform {

/// Processors online now, at least 1.
std::size_t processor_count();

/// Physical memory in bytes; 0 when the system does not say.
std::uint64_t physical_memory_bytes();

/// Memory a new allocation can have now without swapping, in bytes: the system's
/// estimate, lowered to what a cgroup v2 memory limit leaves (Linux); UINT64_MAX when
/// the system gives no estimate.
std::uint64_t available_memory_bytes();

/// Registers handlers that run around fork(): `prepare` in the parent before it,
/// `parent` and `child` in each process after it. True when registered, and on
/// systems whose processes never fork (Windows), where nothing needs doing.
bool on_fork(void (*prepare)(), void (*parent)(), void (*child)());

// Files, by descriptor. Every failure leaves an errno value in `error` (EINTR and
// EAGAIN included: the caller decides whether to try again).

/// Opens a file for reading by its UTF-8 path without waiting for a FIFO's writer;
/// the descriptor is not inherited by child processes. -1 on failure.
int open_for_reading(const char* path, int& error);
void close_file(int fd);
/// Whether `fd` is a regular file (whose reads never wait), and then its size now.
bool regular_file_size(int fd, std::uint64_t& size);
/// Waits up to `milliseconds` for `fd` to have data or reach its end: 1 ready,
/// 0 not yet, -1 failed. Where a wait cannot be bounded (Windows pipes and consoles)
/// it reports ready at once and the read itself waits.
int wait_readable(int fd, int milliseconds, int& error);
/// Up to `size` bytes: the count, 0 at the end, -1 on failure.
std::ptrdiff_t read_file(int fd, char* buffer, std::size_t size, int& error);
/// Moves the read position of a regular file to `offset` bytes from its start.
bool seek_file(int fd, std::uint64_t offset, int& error);

}  // namespace kelvara::platform
