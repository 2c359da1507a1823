#include "tolvane/block_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "reader/helper_threads.hpp"
#include "reader/split_read.hpp"
#include "text_rules/format_binary32.hpp"

namespace tolvane {

namespace {

constexpr std::uint64_t kFieldsPerLine = 10;
constexpr char kStepPrefix[] = " STEP ";
constexpr std::size_t kStepPrefixLength = sizeof kStepPrefix - 1;
constexpr std::size_t kStepDigits = 6;  // the least room for the number
// " STEP " and 20 digits (2^64 - 1) and the line feed.
constexpr std::size_t kLongestHeader = kStepPrefixLength + 20 + 1;

std::uint64_t checked_multiply(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    if (__builtin_mul_overflow(a, b, &product)) throw std::overflow_error("the plot file would be too large");
    return product;
}

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) throw std::overflow_error("the plot file would be too large");
    return sum;
}

// A block's header line, kept as text and counted up from one block to the next: most steps
// change the last digit only.
class StepHeader {
public:
    explicit StepHeader(std::uint64_t step) { set(step); }

    const char* text() const noexcept { return text_; }
    std::size_t length() const noexcept { return length_; }

    void advance() noexcept {
        ++step_;
        char* digit = text_ + length_ - 2;
        while (*digit == '9') *digit-- = '0';
        if (*digit != ' ') {
            ++*digit;
        } else if (digit >= text_ + kStepPrefixLength) {
            *digit = '1';
        } else {
            set(step_);  // one digit more than the room there was
        }
    }

private:
    void set(std::uint64_t step) noexcept {
        step_ = step;
        char digits[20];
        std::size_t count = 0;
        do {
            digits[count++] = char('0' + step % 10);
            step /= 10;
        } while (step != 0);
        const std::size_t room = std::max(count, kStepDigits);
        std::memcpy(text_, kStepPrefix, kStepPrefixLength);
        std::memset(text_ + kStepPrefixLength, ' ', room - count);
        for (std::size_t i = 0; i < count; ++i) text_[kStepPrefixLength + room - 1 - i] = digits[i];
        length_ = kStepPrefixLength + room + 1;
        text_[length_ - 1] = '\n';
        std::memset(text_ + length_, ' ', sizeof text_ - length_);
    }

    // Room for a copy of 16 bytes whatever the length.
    char text_[std::max<std::size_t>(kLongestHeader, 16) + 16];
    std::size_t length_ = 0;
    std::uint64_t step_ = 0;
};

}  // namespace

std::uint64_t header_bytes(std::uint64_t blocks) noexcept {
    // Every header takes kStepPrefixLength + kStepDigits + 1 bytes, and one more for each digit
    // past six of its number: the numbers from 10^(d-1) up have d digits or more.
    std::uint64_t bytes = blocks * (kStepPrefixLength + kStepDigits + 1);
    std::uint64_t power = 1000000;  // 10^(d-1) for d = 7
    for (int digits = 7; digits <= 20; ++digits) {
        if (blocks < power) break;
        bytes += blocks - power + 1;
        if (power > UINT64_MAX / 10) break;
        power *= 10;
    }
    return bytes;
}

BlockText::BlockText(std::vector<const float*> columns, std::uint64_t blocks, std::uint64_t width)
    : columns_(std::move(columns)), blocks_(blocks), width_(width) {
    if (columns_.empty()) throw std::invalid_argument("a plot file has at least one parameter, the time");
    if (width_ < quorel::kSmallestFieldWidth) throw std::invalid_argument("a field is at least 8 bytes wide");
    const std::uint64_t count = columns_.size();
    const std::uint64_t lines = (count + kFieldsPerLine - 1) / kFieldsPerLine;
    data_bytes_ = checked_add(checked_multiply(count, width_), lines);
    // The whole text, with the spare bytes after any piece of it, has a size that a file offset
    // (63 bits) can hold.
    const std::uint64_t most = checked_add(checked_multiply(blocks_, checked_add(data_bytes_, kLongestHeader)), kSpareBytes);
    if (most > std::uint64_t(INT64_MAX)) throw std::overflow_error("the plot file would be too large");
}

std::uint64_t BlockText::bytes(std::uint64_t first, std::uint64_t last) const noexcept {
    return (last - first) * data_bytes_ + header_bytes(last) - header_bytes(first);
}

template <int Digits>
void BlockText::format_as(std::uint64_t first, std::uint64_t last, char* out) const noexcept {
    const std::size_t width = Digits == 0 ? std::size_t(width_) : std::size_t(Digits + 6);
    const std::size_t count = columns_.size();
    const float* const* columns = columns_.data();
    StepHeader header(first + 1);
    for (std::uint64_t block = first; block < last; ++block) {
        if (header.length() <= 16) {
            std::memcpy(out, header.text(), 16);  // the bytes past the line are written over next
        } else {
            std::memcpy(out, header.text(), header.length());
        }
        out += header.length();
        header.advance();
        for (std::size_t start = 0; start < count; start += kFieldsPerLine) {
            const std::size_t end = std::min<std::size_t>(start + kFieldsPerLine, count);
            for (std::size_t c = start; c < end; ++c) {
                if constexpr (Digits == 0) {
                    quorel::format_field_exact(columns[c][block], width, out);
                } else {
                    quorel::format_field_fast<Digits>(columns[c][block], out);
                }
                out += width;
            }
            *out++ = '\n';
        }
    }
}

void BlockText::format(std::uint64_t first, std::uint64_t last, char* out) const noexcept {
    switch (width_) {
        case 8: return format_as<2>(first, last, out);
        case 9: return format_as<3>(first, last, out);
        case 10: return format_as<4>(first, last, out);
        case 11: return format_as<5>(first, last, out);
        case 12: return format_as<6>(first, last, out);
        case 13: return format_as<7>(first, last, out);
        case 14: return format_as<8>(first, last, out);
        case 15: return format_as<9>(first, last, out);
        default: return format_as<0>(first, last, out);
    }
}

namespace {

// A piece's text: large enough that taking pieces between threads costs little beside
// formatting them, small enough that a buffer per thread takes little memory.
constexpr std::uint64_t kPieceBytes = std::uint64_t(1) << 20;

// Writes all of [bytes, bytes + size) at `offset`, repeating interrupted and partial writes.
// Returns 0, or the error number of the write that failed.
int write_all_at(int fd, const char* bytes, std::size_t size, off_t offset) noexcept {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, bytes, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;  // a regular file's write is not held up for long
            return errno;
        }
        bytes += n;
        size -= std::size_t(n);
        offset += off_t(n);
    }
    return 0;
}

// The text cut into pieces of whole blocks, each of which knows where in the text it starts, so
// that threads can format and write them in any order.
class Pieces {
public:
    explicit Pieces(const BlockText& text) : text_(text) {
        const std::uint64_t per_block = text.bytes(0, 1) + kLongestHeader;
        blocks_per_piece_ = std::max<std::uint64_t>(1, kPieceBytes / per_block);
        count_ = (text.blocks() + blocks_per_piece_ - 1) / blocks_per_piece_;
        buffer_bytes_ = std::size_t(blocks_per_piece_ * per_block + BlockText::kSpareBytes);
    }

    std::uint64_t count() const noexcept { return count_; }
    std::size_t buffer_bytes() const noexcept { return buffer_bytes_; }

    // Where piece `piece` starts in the text.
    std::uint64_t start(std::uint64_t piece) const noexcept { return text_.bytes(0, first(piece)); }

    // Formats piece `piece` into `buffer`; returns its bytes.
    std::size_t format(std::uint64_t piece, char* buffer) const noexcept {
        const std::uint64_t last = std::min(first(piece) + blocks_per_piece_, text_.blocks());
        text_.format(first(piece), last, buffer);
        return std::size_t(text_.bytes(first(piece), last));
    }

private:
    std::uint64_t first(std::uint64_t piece) const noexcept { return piece * blocks_per_piece_; }

    const BlockText& text_;
    std::uint64_t blocks_per_piece_ = 1;
    std::uint64_t count_ = 0;
    std::size_t buffer_bytes_ = 0;
};

// Hands the written range to the disk at once. Only a hint: a file that cannot take it (a file
// system without it) is written all the same.
void start_writing_back(int fd, off_t offset, std::size_t size) noexcept {
    ::sync_file_range(fd, offset, off_t(size), SYNC_FILE_RANGE_WRITE);
}

// The pieces written where they belong in a regular file, by `threads` threads (the calling one
// among them), each taking the next piece not taken, formatting it into its own buffer and
// writing it at its place; the first failure stops them all.
void write_in_place(int fd, off_t base, const Pieces& pieces, unsigned threads, bool start_writeback,
                    quorel::ReadStop* stop) {
    std::atomic<std::uint64_t> next{0};
    std::atomic<int> failure{0};
    std::atomic<bool> stopped{false};
    auto work = [&](char* buffer) noexcept {
        for (;;) {
            if (failure.load(std::memory_order_relaxed) != 0 || stopped.load(std::memory_order_relaxed)) return;
            if (stop != nullptr) {
                try {
                    stop->check();
                } catch (const quorel::ReadStopped&) {
                    stopped.store(true);
                    return;
                }
            }
            const std::uint64_t piece = next++;
            if (piece >= pieces.count()) return;
            const std::size_t size = pieces.format(piece, buffer);
            const off_t offset = base + off_t(pieces.start(piece));
            if (const int error = write_all_at(fd, buffer, size, offset)) {
                int none = 0;
                failure.compare_exchange_strong(none, error);
                return;
            }
            if (start_writeback) start_writing_back(fd, offset, size);
        }
    };
    // The buffers first, so that memory that cannot be had fails the call before a thread starts.
    std::vector<std::unique_ptr<char[]>> buffers(threads);
    for (auto& buffer : buffers) buffer.reset(new char[pieces.buffer_bytes()]);
    quorel::work_on_threads(threads, [&](std::size_t t) { work(buffers[t].get()); });
    if (stopped) throw quorel::ReadStopped{};
    if (failure != 0) throw WriteFailure{failure};
}

}  // namespace

int write_all_stoppable(int fd, const char* bytes, std::size_t size, quorel::ReadStop* stop) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno != EINTR) return errno;
        if (n > 0) {
            bytes += n;
            size -= std::size_t(n);
        }
        // A signal ends a write that waits (for a pipe's reader to take bytes) early, with
        // EINTR or with the bytes written so far: Ctrl-C is told there.
        if (size > 0 && stop != nullptr) stop->check();
    }
    return 0;
}

void write_blocks(int fd, const BlockText& text, unsigned threads, bool start_writeback, quorel::ReadStop* stop) {
    const Pieces pieces(text);
    if (pieces.count() == 0) return;
    if (threads == 0) {
        threads = text.bytes(0, text.blocks()) < quorel::kSplitFrom ? 1 : quorel::usable_cores();
    }
    threads = unsigned(std::min<std::uint64_t>(threads, pieces.count()));
    struct stat status;
    const off_t base = ::lseek(fd, 0, SEEK_CUR);
    const bool regular = base >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (regular) {
        // The text's room on disk taken at once, not write by write (the file's size stays as
        // it is until written). Only a hint: where it fails, the writes say what is wrong.
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, base, off_t(text.bytes(0, text.blocks())));
    }
    if (regular && threads >= 2) {
        write_in_place(fd, base, pieces, threads, start_writeback, stop);
        // Where one thread's writes would have left it: after the text.
        ::lseek(fd, base + off_t(text.bytes(0, text.blocks())), SEEK_SET);
        return;
    }
    // One thread, or a descriptor that is not a file (a pipe): in order, from where it stands.
    std::unique_ptr<char[]> buffer(new char[pieces.buffer_bytes()]);
    off_t offset = base;
    for (std::uint64_t piece = 0; piece < pieces.count(); ++piece) {
        if (stop != nullptr) stop->check();
        const std::size_t size = pieces.format(piece, buffer.get());
        if (const int error = write_all_stoppable(fd, buffer.get(), size, stop)) throw WriteFailure{error};
        if (start_writeback && regular) start_writing_back(fd, offset, size);
        offset += off_t(size);
    }
}

}  // namespace tolvane
