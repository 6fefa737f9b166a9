// Cooperative cancellation of long native work (Ctrl-C while the GIL is released).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>  // for std::size_t, std::ptrdiff_t
#include <cstdint>  // for std::uint64_t
#include <thread>

namespace kelvara {

/// The message of work that stopped because it was asked to. The binding never
/// shows it: it raises the exception of the signal that asked (KeyboardInterrupt).
inline constexpr const char* interrupted_message = "interrupted";

/// A stop request for one call, shared by the thread that started the call (its
/// owner) and every worker that runs part of it.
///
/// Polling contract, for every loop that can run longer than about 10 ms:
///   - call `cancel_point()` at a coarse granularity (per chunk of centres, per cell
///     batch, per block of lines or bytes, per few thousand sites): it costs one
///     thread-local load when no token is installed, and a clock read on the owner;
///   - when it returns true, stop at once and return `fail(interrupted_message)`
///     (or, inside a pool task, just return: `WorkerPool::run` then fails with
///     `interrupted_message` itself, and the caller discards every partial output);
///   - never call it while holding a lock that the poll hook could need.
/// Pool tasks see the token of the thread that called `WorkerPool::run`; the pool
/// also stops handing out tasks of a stopped job. On the owner thread a call to
/// `cancel_point()` runs the poll hook at most every `poll_interval`; the hook (the
/// binding's: re-take the GIL, run the signal handlers) may request the stop.
class CancelToken {
public:
    /// Returns true when the work must stop. Runs on the owner thread only.
    using Poll = bool (*)(void* context);
    static constexpr std::chrono::milliseconds poll_interval{50};

    CancelToken() = default;
    CancelToken(Poll poll, void* context)
        : poll_(poll), context_(context), owner_(std::this_thread::get_id()) {}
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void request() { requested_.store(true, std::memory_order_relaxed); }
    bool requested() const { return requested_.load(std::memory_order_relaxed); }

    /// On the owner thread, runs the poll hook when `poll_interval` has passed since
    /// the last run (or at once with `now`); then reports whether a stop was requested.
    bool check(bool now = false);

private:
    std::atomic<bool> requested_{false};
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    std::thread::id owner_{};
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
};

/// Installs `token` (may be null) as this thread's current token for the scope.
class CancelScope {
public:
    explicit CancelScope(CancelToken* token);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    CancelToken* previous_;
};

/// This thread's current token, or null.
CancelToken* current_cancel_token();

/// Whether the current work should stop (see the polling contract above). False
/// when no token is installed.
bool cancel_point();

/// A file opened for reading whose reads can be cancelled: a FIFO without a writer,
/// an idle pipe or a terminal is waited on in slices of `poll_interval`, with a
/// `cancel_point()` between them, instead of blocking the thread for good.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    /// Opens `path` (UTF-8; without blocking on a FIFO); false with `error` = errno.
    bool open(const char* path, int& error);
    /// Up to `size` bytes: the count, 0 at the end, or -1 with `error` = errno
    /// (0 when the read was cancelled).
    std::ptrdiff_t read(char* buffer, std::size_t size, int& error);
    /// Moves a regular file's read position; false with `error` = errno.
    bool seek(std::uint64_t offset, int& error);
    /// Whether a regular file is now longer than when it was opened.
    bool grew() const;

    /// A regular file (its size is known and reads never wait).
    bool regular() const { return regular_; }
    /// The size of a regular file, else 0.
    std::size_t size() const { return size_; }

private:
    int fd_ = -1;
    bool regular_ = false;
    std::size_t size_ = 0;
};

}  // namespace kelvara
