#include "tolvane/block_text.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "failure/write_all.hpp"
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
    // The whole text, with the spare bytes after any piece of it, has a 64-bit size.
    checked_add(checked_multiply(blocks_, checked_add(data_bytes_, kLongestHeader)), kSpareBytes);
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

// A piece's text: large enough that handing pieces between threads costs little beside
// formatting them, small enough that a few in flight take little memory.
constexpr std::uint64_t kPieceBytes = std::uint64_t(1) << 20;

class PieceWriter {
public:
    PieceWriter(int fd, const BlockText& text, bool start_writeback)
        : fd_(fd), text_(text), start_writeback_(start_writeback) {
        const std::uint64_t per_block = text.bytes(0, 1) + kLongestHeader;
        blocks_per_piece_ = std::max<std::uint64_t>(1, kPieceBytes / per_block);
        pieces_ = (text.blocks() + blocks_per_piece_ - 1) / blocks_per_piece_;
        buffer_bytes_ = std::size_t(blocks_per_piece_ * per_block + BlockText::kSpareBytes);
        const off_t position = ::lseek(fd, 0, SEEK_CUR);
        offset_ = position < 0 ? -1 : position;
    }

    std::uint64_t pieces() const noexcept { return pieces_; }
    std::size_t buffer_bytes() const noexcept { return buffer_bytes_; }

    // Formats piece `piece` into `buffer`; returns its bytes.
    std::size_t format(std::uint64_t piece, char* buffer) const noexcept {
        const std::uint64_t first = piece * blocks_per_piece_;
        const std::uint64_t last = std::min(first + blocks_per_piece_, text_.blocks());
        text_.format(first, last, buffer);
        return std::size_t(text_.bytes(first, last));
    }

    void write(const char* bytes, std::size_t size) {
        if (const int error = quorel::write_all(fd_, bytes, size)) throw WriteFailure{error};
        if (start_writeback_ && offset_ >= 0) {
            // Only a hint: a file that cannot take it (a pipe, a file system without it) is
            // written all the same.
            ::sync_file_range(fd_, offset_, off_t(size), SYNC_FILE_RANGE_WRITE);
            offset_ += off_t(size);
        }
    }

private:
    int fd_;
    const BlockText& text_;
    bool start_writeback_;
    std::uint64_t blocks_per_piece_ = 1;
    std::uint64_t pieces_ = 0;
    std::size_t buffer_bytes_ = 0;
    off_t offset_ = -1;
};

// Pieces formatted into a ring of buffers by helper threads and by the calling thread, which
// writes them in order. A helper takes the next piece, waits until its buffer's previous piece is
// written, and formats it. The calling thread writes each piece once it is formatted; while it
// is not, it formats the next piece not taken whose buffer is free, and waits only where there
// is none (so it never waits for a buffer, which only it frees).
class PieceRing {
public:
    PieceRing(PieceWriter& writer, std::size_t buffers) : writer_(writer), slots_(buffers) {
        for (Slot& slot : slots_) slot.bytes.reset(new char[writer.buffer_bytes()]);
    }

    void help() noexcept {
        for (;;) {
            std::uint64_t piece;
            {
                std::unique_lock<std::mutex> guard(lock_);
                if (stopped_ || next_piece_ >= writer_.pieces()) return;
                piece = next_piece_++;
                changed_.wait(guard, [&] { return stopped_ || free(piece); });
                if (stopped_) return;
            }
            format(piece);
        }
    }

    // Writes every piece, in order, formatting pieces itself while the one due is not ready.
    void write_all() {
        try {
            for (std::uint64_t piece = 0; piece < writer_.pieces(); ++piece) {
                Slot& slot = slots_[piece % slots_.size()];
                for (;;) {
                    std::unique_lock<std::mutex> guard(lock_);
                    if (slot.ready) break;
                    if (next_piece_ < writer_.pieces() && free(next_piece_)) {
                        const std::uint64_t taken = next_piece_++;
                        guard.unlock();
                        format(taken);
                        continue;
                    }
                    changed_.wait(guard);
                }
                writer_.write(slot.bytes.get(), slot.size);
                {
                    const std::lock_guard<std::mutex> guard(lock_);
                    slot.ready = false;
                    ++written_;
                }
                changed_.notify_all();
            }
        } catch (...) {
            stop();
            throw;
        }
    }

    void stop() noexcept {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

private:
    struct Slot {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
        bool ready = false;
    };

    // Whether the buffer of `piece` is free: the piece before it there is written. Under lock_.
    bool free(std::uint64_t piece) const noexcept { return piece < written_ + slots_.size(); }

    void format(std::uint64_t piece) noexcept {
        Slot& slot = slots_[piece % slots_.size()];
        const std::size_t size = writer_.format(piece, slot.bytes.get());
        {
            const std::lock_guard<std::mutex> guard(lock_);
            slot.size = size;
            slot.ready = true;
        }
        changed_.notify_all();
    }

    PieceWriter& writer_;
    std::vector<Slot> slots_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t next_piece_ = 0;
    std::uint64_t written_ = 0;
    bool stopped_ = false;
};

}  // namespace

void write_blocks(int fd, const BlockText& text, unsigned threads, bool start_writeback) {
    PieceWriter writer(fd, text, start_writeback);
    if (writer.pieces() == 0) return;
    if (threads == 0) {
        threads = text.bytes(0, text.blocks()) < quorel::kSplitFrom ? 1 : quorel::usable_cores();
    }
    // The calling thread formats too, between its writes: threads - 1 helpers.
    const std::uint64_t helpers = std::min<std::uint64_t>(threads, writer.pieces()) - 1;
    if (helpers >= 1) {
        PieceRing ring(writer, std::size_t(2 * (helpers + 1)));
        std::vector<std::jthread> running;
        try {
            for (std::uint64_t t = 0; t < helpers; ++t) running.emplace_back([&ring] { ring.help(); });
        } catch (const std::system_error&) {
            // Fewer helpers than asked for (or none): those there are format the pieces with
            // the calling thread all the same.
        }
        ring.write_all();
        return;
    }
    std::unique_ptr<char[]> buffer(new char[writer.buffer_bytes()]);
    for (std::uint64_t piece = 0; piece < writer.pieces(); ++piece) {
        writer.write(buffer.get(), writer.format(piece, buffer.get()));
    }
}

}  // namespace tolvane
