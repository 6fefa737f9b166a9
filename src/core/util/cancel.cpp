// Cooperative cancellation: the per-thread token, the polling point, cancellable reads.
#include "core/util/cancel.hpp"

#include <fcntl.h>     // for open
#include <poll.h>      // for poll
#include <sys/stat.h>  // for fstat
#include <unistd.h>    // for read, close

#include <cerrno>

namespace kelvara {

namespace {
thread_local CancelToken* current_token = nullptr;
}  // namespace

bool CancelToken::check(bool now) {
    if (requested()) return true;
    if (poll_ && std::this_thread::get_id() == owner_) {
        const auto time = std::chrono::steady_clock::now();
        if (now || time - last_poll_ >= poll_interval) {
            last_poll_ = time;
            if (poll_(context_)) request();
        }
    }
    return requested();
}

CancelScope::CancelScope(CancelToken* token) : previous_(current_token) { current_token = token; }
CancelScope::~CancelScope() { current_token = previous_; }

CancelToken* current_cancel_token() { return current_token; }

bool cancel_point() {
    CancelToken* token = current_token;
    return token && token->check();
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const char* path, int& error) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; reads then wait in poll().
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return false;
    }
    fd_ = fd;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        regular_ = true;
        size_ = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
    }
    return true;
}

ssize_t InputFile::read(char* buffer, std::size_t size, int& error) {
    for (;;) {
        if (cancel_point()) {
            error = 0;
            return -1;
        }
        if (!regular_) {
            // Wait for data (or the writer's end) a slice at a time. A FIFO that no
            // writer has opened yet reports nothing here, so it is not mistaken for
            // an empty file.
            pollfd ready{fd_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(CancelToken::poll_interval.count()));
            if (polled == 0) continue;
            if (polled < 0) {
                if (errno == EINTR) continue;
                error = errno;
                return -1;
            }
        }
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return got;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        error = errno;
        return -1;
    }
}

}  // namespace kelvara
