// Cooperative cancellation: the per-thread token, the polling point, cancellable reads.
#include "core/util/cancel.hpp"

#include <cerrno>

#include "core/util/platform.hpp"

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
    if (fd_ >= 0) platform::close_file(fd_);
}

bool InputFile::open(const char* path, int& error) {
    // A FIFO opens without waiting for a writer; reads then wait a slice at a time.
    fd_ = platform::open_for_reading(path, error);
    if (fd_ < 0) return false;
    std::uint64_t size = 0;
    regular_ = platform::regular_file_size(fd_, size);
    size_ = regular_ ? static_cast<std::size_t>(size) : 0;
    return true;
}

std::ptrdiff_t InputFile::read(char* buffer, std::size_t size, int& error) {
    for (;;) {
        if (cancel_point()) {
            error = 0;
            return -1;
        }
        if (!regular_) {
            // Wait for data (or the writer's end) a slice at a time. A FIFO that no
            // writer has opened yet reports nothing here, so it is not mistaken for
            // an empty file.
            const int ready =
                platform::wait_readable(fd_, static_cast<int>(CancelToken::poll_interval.count()), error);
            if (ready == 0) continue;
            if (ready < 0) {
                if (error == EINTR) continue;
                return -1;
            }
        }
        const std::ptrdiff_t got = platform::read_file(fd_, buffer, size, error);
        if (got >= 0) return got;
        if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;
        return -1;
    }
}

bool InputFile::seek(std::uint64_t offset, int& error) { return platform::seek_file(fd_, offset, error); }

bool InputFile::grew() const {
    std::uint64_t now = 0;
    return regular_ && platform::regular_file_size(fd_, now) && now > size_;
}

}  // namespace kelvara
