// LineReader: a buffered, UTF-8-checking line reader over a file descriptor.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kelvara {

/// Reads a file line by line through one growing buffer, without a heap allocation
/// per line. A line ends at "\n" (one "\r" before it is removed); the last line
/// need not end with "\n". Every line is checked to be valid UTF-8.
class LineReader {
public:
    enum class Status { line, end_of_file, error };

    LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    /// Opens `path` for reading; on failure returns false and sets `error` to
    /// "{system text} (os error {n})" or the NUL-byte message.
    bool open(const std::string& path, std::string& error);

    /// The next line in `line`, valid until the next call. On `error`, `error` holds
    /// the description ("Is a directory (os error 21)", "stream did not contain
    /// valid UTF-8").
    Status next(std::string_view& line, std::string& error);

private:
    /// Reads more bytes after `end_`, compacting or growing the buffer first.
    /// Returns false with `error` set on a read failure.
    bool fill(std::string& error);

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // first byte of the unread text
    std::size_t end_ = 0;    // one past the last byte read from the file
    std::size_t scan_ = 0;   // bytes before this offset hold no "\n" (after begin_)
    bool at_eof_ = false;
};

/// "{system text} (os error {n})" for an errno value.
std::string os_error_text(int errno_value);

}  // namespace kelvara
