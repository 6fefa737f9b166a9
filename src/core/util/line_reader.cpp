// LineReader: a buffered, UTF-8-checking line reader over a file descriptor.
#include "core/util/line_reader.hpp"

#include <algorithm>  // for std::min
#include <cerrno>
#include <cstring>       // for std::memchr, std::memmove, std::memcpy
#include <system_error>  // for std::generic_category (thread-safe strerror)

#include "core/util/cancel.hpp"  // for InputFile, interrupted_message
#include "core/util/text.hpp"  // for is_valid_utf8

namespace kelvara {

namespace {

constexpr std::size_t initial_capacity = 256 * 1024;

/// ASCII text is valid UTF-8; only lines with a high byte need the full check.
bool line_is_utf8(const char* data, std::size_t size) {
    std::size_t i = 0;
    std::uint64_t high = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        high |= word;
    }
    for (; i < size; ++i) high |= static_cast<unsigned char>(data[i]);
    if (!(high & 0x8080808080808080ULL)) return true;
    return is_valid_utf8(std::string_view(data, size));
}

/// A zeroed buffer of `capacity` bytes and `LineReader::padding` more after them
/// (zeroed so that reading past a line never reads memory nothing has written).
std::unique_ptr<char[]> padded_buffer(std::size_t capacity) {
    return std::make_unique<char[]>(capacity + LineReader::padding);
}

/// The offset of the first byte from 0x80 in `data[from, size)`, or `size`.
std::size_t ascii_prefix(const char* data, std::size_t from, std::size_t size) {
    std::size_t i = from;
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    for (; i + 32 <= size; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, data + i, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & high) break;
    }
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word & high) break;
    }
    while (i < size && !(static_cast<unsigned char>(data[i]) & 0x80)) ++i;
    return i;
}

}  // namespace

std::string os_error_text(int errno_value) {
    return std::generic_category().message(errno_value) + " (os error " +
           std::to_string(errno_value) + ")";
}

LineReader::LineReader() = default;
LineReader::~LineReader() = default;  // the InputFile closes the descriptor

bool LineReader::open(const std::string& path, std::string& error) {
    if (path.find('\0') != std::string::npos) {
        error = "file name contained an unexpected NUL byte";
        return false;
    }
    auto file = std::make_unique<InputFile>();  // reads that Ctrl-C can stop
    int code = 0;
    if (!file->open(path.c_str(), code)) {
        os_failed_ = true;
        error = os_error_text(code);
        return false;
    }
    file_ = std::move(file);
    if (file_->regular()) limit_ = file_->size();
    buffer_ = padded_buffer(initial_capacity);
    capacity_ = initial_capacity;
    begin_ = end_ = scan_ = ascii_ = 0;
    buffer_offset_ = 0;
    at_eof_ = false;
    return true;
}

bool LineReader::seek(std::uint64_t offset, std::string& error) {
    if (limit_ == UINT64_MAX || offset > limit_) {
        error = limit_ == UINT64_MAX ? "only a regular file can be read from a given position"
                                     : "the position lies beyond the end of the file";
        return false;
    }
    if (int code = 0; !file_->seek(offset, code)) {
        os_failed_ = true;
        error = os_error_text(code);
        return false;
    }
    begin_ = end_ = scan_ = ascii_ = 0;
    buffer_offset_ = offset;
    at_eof_ = false;
    return true;
}

bool LineReader::grew() const {
    return limit_ != UINT64_MAX && file_->grew();
}

bool LineReader::fill(std::string& error) {
    if (begin_ > 0) {  // move the partial line to the front
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        scan_ -= begin_;
        ascii_ = ascii_ > begin_ ? ascii_ - begin_ : 0;
        buffer_offset_ += begin_;
        begin_ = 0;
    }
    if (end_ == capacity_) {  // one line fills the buffer: grow it, within the bound
        if (capacity_ >= max_line_bytes) {
            error = "a line is longer than " + std::to_string(max_line_bytes) + " bytes";
            return false;
        }
        std::size_t grown = capacity_ * 2;
        auto bigger = padded_buffer(grown);
        std::memcpy(bigger.get(), buffer_.get(), end_);
        buffer_ = std::move(bigger);
        capacity_ = grown;
    }
    const std::uint64_t file_end = buffer_offset_ + end_;
    if (file_end >= limit_) {
        at_eof_ = true;
        return true;
    }
    const std::size_t room = static_cast<std::size_t>(
        std::min<std::uint64_t>(capacity_ - end_, limit_ - file_end));
    for (;;) {
        int code = 0;
        std::ptrdiff_t got = file_->read(buffer_.get() + end_, room, code);
        if (got < 0) {
            if (code == 0) {  // cancelled
                error = interrupted_message;
                return false;
            }
            os_failed_ = true;
            error = os_error_text(code);
            return false;
        }
        if (got == 0) at_eof_ = true;
        end_ += static_cast<std::size_t>(got);
        // ASCII is valid UTF-8: lines within the ASCII run found here need no check.
        if (ascii_ >= begin_) ascii_ = ascii_prefix(buffer_.get(), ascii_, end_);
        return true;
    }
}

bool LineReader::peek(std::size_t want, std::string_view& text, std::string& error) {
    if (!file_) {
        text = {};
        return true;
    }
    while (end_ - begin_ < want && !at_eof_)
        if (!fill(error)) return false;
    text = std::string_view(buffer_.get() + begin_, end_ - begin_);
    return true;
}

LineReader::Status LineReader::next_slow(std::string_view& line, std::string& error) {
    if (!file_) return Status::end_of_file;
    for (;;) {
        char* base = buffer_.get();
        if (end_ > scan_) {
            auto* newline = static_cast<char*>(std::memchr(base + scan_, '\n', end_ - scan_));
            if (newline) {
                std::size_t stop = static_cast<std::size_t>(newline - base);
                std::size_t size = stop - begin_;
                if (size > 0 && base[stop - 1] == '\r') --size;
                const char* data = base + begin_;
                begin_ = scan_ = stop + 1;
                if (stop > ascii_ && !line_is_utf8(data, size)) {
                    error = "stream did not contain valid UTF-8";
                    return Status::error;
                }
                line = std::string_view(data, size);
                return Status::line;
            }
            scan_ = end_;
        }
        if (at_eof_) {
            if (begin_ == end_) return Status::end_of_file;
            const char* data = base + begin_;
            std::size_t size = end_ - begin_;
            base[end_] = '\n';  // the last line too is followed by a line break
            begin_ = scan_ = end_;
            if (!line_is_utf8(data, size)) {
                error = "stream did not contain valid UTF-8";
                return Status::error;
            }
            line = std::string_view(data, size);
            return Status::line;
        }
        if (!fill(error)) return Status::error;
    }
}

}  // namespace kelvara
