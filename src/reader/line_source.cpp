#include "reader/line_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "reader/sequence_storage.hpp"
#include "reader/short_line.hpp"
#include "text_rules/utf8.hpp"

namespace quorel {

LineSource::LineSource(UniqueFd file)
    : file_(std::move(file)), buffer_(static_cast<char*>(resize_storage(nullptr, kReadSize + kLinePadding))) {
    std::memset(buffer_, 0, kLinePadding);
    initialized_ = kLinePadding;
    struct stat status;
    if (::fstat(file_.get(), &status) == 0 && S_ISREG(status.st_mode)) file_size_ = std::uint64_t(status.st_size);
}

LineSource::LineSource(std::string_view bytes) noexcept
    : buffer_(const_cast<char*>(bytes.data())), owns_buffer_(false), fill_(bytes.size()), bytes_read_(bytes.size()) {}

LineSource::~LineSource() {
    std::free(assembly_);
    if (owns_buffer_) std::free(buffer_);
}

void LineSource::pad_after_fill() noexcept {
    if (fill_ + kLinePadding > initialized_) {
        const std::size_t from = std::max(fill_, initialized_);
        std::memset(buffer_ + from, 0, fill_ + kLinePadding - from);
        initialized_ = fill_ + kLinePadding;
    }
}

LineSource::Refill LineSource::refill() noexcept {
    if (!owns_buffer_) {
        fill_ = position_ = 0;
        return Refill::end_of_file;
    }
    for (;;) {
        const ssize_t n = ::read(file_.get(), buffer_, capacity_);
        if (n > 0) {
            bytes_read_ += std::uint64_t(n);
            fill_ = std::size_t(n);
            position_ = 0;
            pad_after_fill();
            return Refill::data;
        }
        if (n == 0) {
            fill_ = position_ = 0;
            return Refill::end_of_file;
        }
        if (errno != EINTR) {
            error_number_ = errno;
            fill_ = position_ = 0;
            return Refill::error;
        }
    }
}

void LineSource::append_to_assembly(const char* bytes, std::size_t size) {
    if (size > assembly_capacity_ - assembly_size_) {
        std::size_t capacity = assembly_capacity_ == 0 ? 2 * kReadSize : assembly_capacity_;
        while (capacity - assembly_size_ < size) capacity = sequence_bytes(capacity, 2);
        assembly_ = static_cast<char*>(resize_storage(assembly_, capacity + kLinePadding));
        assembly_capacity_ = capacity;
    }
    std::memcpy(assembly_ + assembly_size_, bytes, size);
    assembly_size_ += size;
    std::memset(assembly_ + assembly_size_, 0, kLinePadding);
}

bool LineSource::peek_lines(std::uint64_t count, std::string_view& bytes) {
    std::uint64_t found = 0;
    std::size_t scanned = position_;  // buffer_[position_ .. scanned) holds `found` whole lines
    for (;;) {
        while (found < count) {
            const auto* feed = static_cast<const char*>(std::memchr(buffer_ + scanned, '\n', fill_ - scanned));
            if (feed == nullptr) break;
            scanned = std::size_t(feed - buffer_) + 1;
            ++found;
        }
        if (found == count) break;
        scanned = fill_;
        if (!owns_buffer_) break;
        // Room after the pending bytes: move them to the front, then grow the buffer if need be.
        if (position_ > 0) {
            std::memmove(buffer_, buffer_ + position_, fill_ - position_);
            scanned -= position_;
            fill_ -= position_;
            position_ = 0;
        }
        if (fill_ == capacity_) {
            const std::size_t capacity = sequence_bytes(capacity_, 2);
            buffer_ = static_cast<char*>(resize_storage(buffer_, capacity + kLinePadding));
            capacity_ = capacity;
        }
        const ssize_t n = ::read(file_.get(), buffer_ + fill_, capacity_ - fill_);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_number_ = errno;
            return false;
        }
        if (n == 0) break;
        bytes_read_ += std::uint64_t(n);
        fill_ += std::size_t(n);
        pad_after_fill();
    }
    bytes = std::string_view(buffer_ + position_, scanned - position_);
    return true;
}

LineStatus LineSource::finish(std::string_view text, bool terminated, Line& line) noexcept {
    const utf8::Validation check = utf8::validate(text);
    if (!check.valid) {
        invalid_offset_ = utf8::invalid_offset(text);
        invalid_byte_ = static_cast<unsigned char>(text[invalid_offset_]);
        return LineStatus::invalid_utf8;
    }
    if (terminated && !text.empty() && text.back() == '\r') text.remove_suffix(1);
    line.text = text;
    line.ascii = check.ascii;
    return LineStatus::line;
}

LineStatus LineSource::next_line(Line& line) {
    if (position_ == fill_) {
        switch (refill()) {
        case Refill::data: break;
        case Refill::end_of_file: return LineStatus::end_of_file;
        case Refill::error: return LineStatus::os_error;
        }
    }
    const char* pending = buffer_ + position_;
    const std::size_t pending_size = fill_ - position_;
    if (const ShortLine short_line = find_short_line(pending, pending_size); short_line.length != kNoShortLine) {
        position_ += short_line.length + 1;
        std::string_view text(pending, short_line.length);
        if (!short_line.ascii) return finish(text, true, line);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        line.text = text;
        line.ascii = true;
        return LineStatus::line;
    }
    if (const auto* feed = static_cast<const char*>(std::memchr(pending, '\n', pending_size))) {
        const std::size_t length = std::size_t(feed - pending);
        position_ += length + 1;
        return finish(std::string_view(pending, length), true, line);
    }

    // The line continues beyond the buffered bytes.
    assembly_size_ = 0;
    append_to_assembly(pending, pending_size);
    position_ = fill_;
    for (;;) {
        switch (refill()) {
        case Refill::data: break;
        case Refill::end_of_file: return finish(std::string_view(assembly_, assembly_size_), false, line);
        case Refill::error: return LineStatus::os_error;
        }
        if (const auto* feed = static_cast<const char*>(std::memchr(buffer_, '\n', fill_))) {
            const std::size_t length = std::size_t(feed - buffer_);
            append_to_assembly(buffer_, length);
            position_ = length + 1;
            return finish(std::string_view(assembly_, assembly_size_), true, line);
        }
        append_to_assembly(buffer_, fill_);
        position_ = fill_;
    }
}

}  // namespace quorel
