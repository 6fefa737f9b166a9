// LineReader: a buffered, UTF-8-checking line reader over a file descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>  // for std::memchr
#include <memory>
#include <string>
#include <string_view>

namespace kelvara {

class InputFile;

/// Reads a file line by line through one growing buffer, without a heap allocation
/// per line. A line ends at "\n" (one "\r" before it is removed); the last line
/// need not end with "\n". Every line is checked to be valid UTF-8, and no line may
/// be longer than `max_line_bytes`, so a file without line breaks (/dev/zero) costs
/// bounded memory. A regular file is read up to the size it had when it was opened:
/// text appended while it is read is left for the next read.
class LineReader {
public:
    enum class Status { line, end_of_file, error };

    /// Bytes after the end of each line that may be read (their values are
    /// unspecified), so that a parser may load a whole machine word at a time.
    static constexpr std::size_t padding = 16;

    /// The longest line accepted (64 MiB).
    static constexpr std::size_t max_line_bytes = std::size_t{64} << 20;

    LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    /// Opens `path` for reading; on failure returns false and sets `error` to
    /// "{system text} (os error {n})" or the NUL-byte message.
    bool open(const std::string& path, std::string& error);

    /// The next line in `line`, valid until the next call. The byte after it is
    /// "\r" or "\n" (the last line of a file without a final line break included),
    /// and the `padding` bytes after it may be read. On `error`, `error` holds
    /// the description ("Is a directory (os error 21)", "stream did not contain
    /// valid UTF-8", "a line is longer than 67108864 bytes").
    Status next(std::string_view& line, std::string& error) {
        // Inline, the common case: a whole line of ASCII already in the buffer.
        if (scan_ < end_) {
            char* const base = buffer_.get();
            const auto* newline = static_cast<const char*>(std::memchr(base + scan_, '\n', end_ - scan_));
            const std::size_t stop = newline ? static_cast<std::size_t>(newline - base) : end_;
            if (newline && stop <= ascii_) {
                std::size_t size = stop - begin_;
                if (size > 0 && base[stop - 1] == '\r') --size;
                line = std::string_view(base + begin_, size);
                begin_ = scan_ = stop + 1;
                return Status::line;
            }
        }
        return next_slow(line, error);
    }

    /// The unread bytes, at least `want` of them unless the file ends first, without
    /// consuming them (so that the format of a pipe can be told from its first lines).
    bool peek(std::size_t want, std::string_view& text, std::string& error);

    /// Byte offset in the file of the next unread line.
    std::uint64_t offset() const { return buffer_offset_ + begin_; }

    /// Continues reading at byte `offset` of a regular file; false with `error` set
    /// when the file cannot seek (a pipe) or the offset lies beyond its end.
    bool seek(std::uint64_t offset, std::string& error);

    /// Whether a regular file is now longer than when it was opened.
    bool grew() const;

    /// Whether the last failure came from the operating system (not from the text).
    bool os_failed() const { return os_failed_; }

private:
    /// `next` for a line not yet whole in the buffer, or with bytes from 0x80.
    Status next_slow(std::string_view& line, std::string& error);

    /// Reads more bytes after `end_`, compacting or growing the buffer first.
    /// Returns false with `error` set on a read failure or an overlong line.
    bool fill(std::string& error);

    std::unique_ptr<InputFile> file_;  // reads that Ctrl-C can stop
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // first byte of the unread text
    std::size_t end_ = 0;    // one past the last byte read from the file
    std::size_t scan_ = 0;   // bytes before this offset hold no "\n" (after begin_)
    std::size_t ascii_ = 0;  // bytes from begin_ up to this offset are all ASCII
    std::uint64_t buffer_offset_ = 0;  // file offset of buffer_[0]
    std::uint64_t limit_ = UINT64_MAX;  // a regular file's size at opening
    bool at_eof_ = false;
    bool os_failed_ = false;
};

/// "{system text} (os error {n})" for an errno value.
std::string os_error_text(int errno_value);

}  // namespace kelvara
