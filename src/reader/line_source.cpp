#include "reader/line_source.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "reader/line_count.hpp"
#include "reader/sequence_storage.hpp"
#include "reader/short_line.hpp"
#include "text_rules/utf8.hpp"
#include "text_rules/vector_support.hpp"

namespace quorel {

LineSource::LineSource(UniqueFd file, ReadStop* stop, std::size_t capacity)
    : file_(std::move(file)), fd_(file_.get()),
      buffer_(static_cast<char*>(resize_storage(nullptr, capacity + kLinePadding))), capacity_(capacity), stop_(stop) {
    std::memset(buffer_, 0, kLinePadding);
    initialized_ = kLinePadding;
    struct stat status;
    if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
        file_size_ = std::uint64_t(status.st_size);
        opened_mtime_seconds_ = status.st_mtim.tv_sec;
        opened_mtime_nanoseconds_ = status.st_mtim.tv_nsec;
    } else {
        waits_for_bytes_ = stop != nullptr;
    }
}

LineSource::LineSource(ByteQueue& queue, ReadStop* stop)
    : queue_(&queue), buffer_(static_cast<char*>(resize_storage(nullptr, kReadSize + kLinePadding))), stop_(stop) {
    std::memset(buffer_, 0, kLinePadding);
    initialized_ = kLinePadding;
}

LineSource::LineSource(int fd, std::size_t capacity, ReadStop* stop)
    : fd_(fd), next_offset_(0), stretch_end_(0),
      buffer_(static_cast<char*>(resize_storage(nullptr, sequence_bytes(capacity, 1) + kLinePadding))),
      capacity_(capacity), stop_(stop) {
    std::memset(buffer_, 0, kLinePadding);
    initialized_ = kLinePadding;
}

void LineSource::restart_at(std::uint64_t offset, std::uint64_t end, std::uint64_t planned_size) noexcept {
    fill_ = position_ = 0;
    bytes_read_ = next_offset_ = offset;
    stretch_end_ = end;
    planned_size_ = planned_size;
    file_cut_ = false;
    unended_ = false;
}

bool LineSource::fill_buffer(std::uint64_t& line_feeds) {
    position_ = 0;
    fill_ = 0;
    line_feeds = 0;
    while (fill_ < capacity_ && next_offset_ < stretch_end_) {
        const std::size_t want = std::size_t(
            std::min<std::uint64_t>({capacity_ - fill_, stretch_end_ - next_offset_, kCountedReadSize}));
        const ssize_t n = read_some_at(buffer_ + fill_, want, next_offset_);
        if (n < 0) {
            fill_ = 0;
            return false;
        }
        if (n == 0) {
            stretch_end_ = next_offset_;  // the file ends here
            break;
        }
        line_feeds += count_line_feeds(buffer_ + fill_, std::size_t(n));
        fill_ += std::size_t(n);
        next_offset_ += std::uint64_t(n);
        bytes_read_ += std::uint64_t(n);
    }
    pad_after_fill();
    return true;
}

bool LineSource::seek_to(std::uint64_t offset) noexcept {
    if (::lseek(fd_, off_t(offset), SEEK_SET) != off_t(offset)) return false;
    fill_ = position_ = 0;
    bytes_read_ = offset;
    unended_ = false;
    return true;
}

std::uint64_t LineSource::current_size() const noexcept {
    struct stat status;
    if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) return std::uint64_t(status.st_size);
    return 0;
}

bool LineSource::changed_since_open(std::uint64_t bytes_read) const noexcept {
    struct stat status;
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    const std::uint64_t size = std::uint64_t(status.st_size);
    if (size < file_size_ || size < bytes_read) return true;
    const bool written = status.st_mtim.tv_sec != opened_mtime_seconds_ ||
                         status.st_mtim.tv_nsec != opened_mtime_nanoseconds_;
    return written && size == file_size_;
}

void LineSource::wait_until_readable() {
    pollfd watched{fd_, POLLIN, 0};
    for (;;) {
        if (stop_ != nullptr) stop_->check();
        const int ready = ::poll(&watched, 1, stop_ != nullptr ? ReadStop::kWaitMilliseconds : -1);
        // Bytes, the writers gone, or an error: the read tells which. An interrupted or failed
        // poll waits again, the ReadStop asked first.
        if (ready > 0) return;
    }
}

ssize_t LineSource::read_some(char* into, std::size_t want) {
    for (;;) {
        if (stop_ != nullptr) stop_->check();
        if (queue_ != nullptr) return queue_->read(into, want, stop_);
        if (waits_for_bytes_) wait_until_readable();
        const ssize_t n = ::read(fd_, into, want);
        if (n >= 0) return n;
        const int error = errno;
        // EAGAIN: a file opened with O_NONBLOCK that had no bytes after all; it is waited for.
        if (error == EINTR || (error == EAGAIN && waits_for_bytes_)) continue;
        error_number_ = error;
        return -1;
    }
}

ssize_t LineSource::read_some_at(char* into, std::size_t want, std::uint64_t offset) {
    for (;;) {
        if (stop_ != nullptr) stop_->check();
        const ssize_t n = ::pread(fd_, into, want, off_t(offset));
        if (n == 0 && offset < planned_size_) file_cut_ = true;
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        error_number_ = errno;
        return -1;
    }
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

LineSource::Refill LineSource::refill() {
    if (!owns_buffer_) {
        fill_ = position_ = 0;
        return Refill::end_of_file;
    }
    ssize_t n;
    if (next_offset_ == kNoStretch) {
        n = read_some(buffer_, capacity_);
    } else {
        // A stretch goes on past its piece only to finish the piece's last block: a usual
        // read's worth at a time, not a whole piece's.
        const std::size_t want =
            std::size_t(std::min<std::uint64_t>(std::min(capacity_, kReadSize), stretch_end_ - next_offset_));
        n = want == 0 ? 0 : read_some_at(buffer_, want, next_offset_);
        if (n > 0) next_offset_ += std::uint64_t(n);
    }
    if (n > 0) {
        bytes_read_ += std::uint64_t(n);
        fill_ = std::size_t(n);
        position_ = 0;
        pad_after_fill();
        return Refill::data;
    }
    fill_ = position_ = 0;
    return n == 0 ? Refill::end_of_file : Refill::error;
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

std::uint64_t LineSource::skip_ascii_lines_in_buffer(std::uint64_t count) noexcept {
    const char* const data = buffer_ + position_;
    const std::size_t size = fill_ - position_;
    std::size_t line_start = 0;  // of the line being looked at, from data
    std::uint64_t skipped = 0;
    std::size_t i = 0;
#if QUOREL_VECTORS
    // The common case first: 64 bytes at a time, all ASCII, their line feeds counted. A chunk
    // with any other byte leaves it to the line-by-line way below, from the line it is in.
    const __m128i feed = _mm_set1_epi8('\n');
    for (; i + 64 <= size; i += 64) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
        const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 32));
        const __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 48));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(b0, b1), _mm_or_si128(b2, b3))) != 0) break;
        const __m128i f0 = _mm_cmpeq_epi8(b0, feed), f1 = _mm_cmpeq_epi8(b1, feed);
        const __m128i f2 = _mm_cmpeq_epi8(b2, feed), f3 = _mm_cmpeq_epi8(b3, feed);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(f0, f1), _mm_or_si128(f2, f3))) == 0) continue;
        std::uint64_t feeds = std::uint64_t(std::uint32_t(_mm_movemask_epi8(f0))) |
                              std::uint64_t(std::uint32_t(_mm_movemask_epi8(f1))) << 16 |
                              std::uint64_t(std::uint32_t(_mm_movemask_epi8(f2))) << 32 |
                              std::uint64_t(std::uint32_t(_mm_movemask_epi8(f3))) << 48;
        // Lines are rarely shorter than a field or two: a chunk holds few feeds.
        do {
            line_start = i + unsigned(std::countr_zero(feeds)) + 1;
            if (++skipped == count) {
                position_ += line_start;
                return count;
            }
            feeds &= feeds - 1;
        } while (feeds != 0);
    }
    // Line by line from the line the chunks stopped in: sixteen bytes at a time, where the line
    // feeds are and where bytes above 0x7F.
    bool non_ascii = false;  // a byte of the line being looked at, so far, is above 0x7F
    for (i = line_start; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        std::uint32_t feeds = std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
        std::uint32_t high = std::uint32_t(_mm_movemask_epi8(bytes));
        while (feeds != 0) {
            const unsigned at = unsigned(std::countr_zero(feeds));
            if (non_ascii || (high & ((std::uint32_t(1) << at) - 1)) != 0) goto stop;
            line_start = i + at + 1;
            if (++skipped == count) goto stop;
            high &= ~((std::uint32_t(2) << at) - 1);
            feeds &= feeds - 1;
        }
        non_ascii |= high != 0;
    }
#else
    bool non_ascii = false;
#endif
    for (; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte == '\n') {
            if (non_ascii) break;
            line_start = i + 1;
            if (++skipped == count) break;
        } else if (byte >= 0x80) {
            non_ascii = true;
        }
    }
stop:
    position_ += line_start;
    return skipped;
}

std::uint64_t LineSource::skip_lines(std::uint64_t count, Line& line, LineStatus& status) {
    std::uint64_t skipped = 0;
    status = LineStatus::line;
    while (skipped < count) {
        skipped += skip_ascii_lines_in_buffer(count - skipped);
        if (skipped == count) break;
        // The next line holds other bytes than ASCII, or goes on past the buffer: the general way.
        status = next_line(line);
        if (status != LineStatus::line) break;
        ++skipped;
    }
    return skipped;
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
        const ssize_t n = read_some(buffer_ + fill_, capacity_ - fill_);
        if (n < 0) return false;
        if (n == 0) break;
        bytes_read_ += std::uint64_t(n);
        fill_ += std::size_t(n);
        pad_after_fill();
    }
    bytes = std::string_view(buffer_ + position_, scanned - position_);
    return true;
}

LineStatus LineSource::finish(std::string_view text, bool terminated, Line& line) noexcept {
    unended_ |= !terminated;
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
    if (unended_ && end_at_unended_) return LineStatus::end_of_file;
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
