// Cuts an open file, or bytes already in memory, into lines. Only the byte 0x0A ends a line; it
// is removed, and with it one 0x0D right before it. Every line must be valid UTF-8. A line is
// handed out as a view into the read buffer when it lies there whole, else into a reused
// assembly buffer; either way it stays valid until the next call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/byte_queue.hpp"
#include "reader/read_stop.hpp"
#include "reader/short_line.hpp"
#include "reader/unique_fd.hpp"

namespace quorel {

// Readable bytes that always follow a line's text, so that it can be scanned in 8-byte words.
constexpr std::size_t kLinePadding = 8;

struct Line {
    std::string_view text;  // followed by kLinePadding readable bytes
    bool ascii = true;  // all bytes below 0x80
};

enum class LineStatus { line, end_of_file, os_error, invalid_utf8 };

class LineSource {
public:
    // Bytes asked for by one read. Larger reads cost fewer system calls; 64 KiB still stays in
    // the second-level cache while its lines are parsed.
    static constexpr std::size_t kReadSize = 65536;
    // Bytes asked for by one read of fill_buffer, whose line feeds are counted straight after
    // it, while they are still in the first- or second-level cache.
    static constexpr std::size_t kCountedReadSize = 4 * kReadSize;

    // `stop`, where given, is asked at every read and may end the read (read_stop.hpp); a file
    // other than a regular one is then waited for in short waits, so that it must have been
    // opened with O_NONBLOCK.
    // `capacity`: the bytes asked for by one read (a reader of the head alone asks for few).
    explicit LineSource(UniqueFd file, ReadStop* stop = nullptr, std::size_t capacity = kReadSize);
    // The lines of the bytes a feeder puts into `queue` (which must outlive the source), read
    // on as they come; `stop`, where given, is asked while they are waited for. Whoever made
    // the queue closes its reading side once the source is done with, which stops the feeder
    // (or lets it drain the rest of its stream, as that owner decides).
    LineSource(ByteQueue& queue, ReadStop* stop);
    // The lines of `bytes`, which must be followed by kLinePadding readable bytes and outlive
    // the source; nothing is copied.
    explicit LineSource(std::string_view bytes) noexcept;
    // The lines of a stretch of the open file `fd` (not owned), read `capacity` bytes at a time
    // at given places (pread), for one piece of a read split across threads; restart_at sets
    // the stretch.
    LineSource(int fd, std::size_t capacity, ReadStop* stop = nullptr);
    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;
    ~LineSource();

    LineStatus next_line(Line& line);
    // Hands on the next `count` lines unseen, each checked to be UTF-8 (`line` serves the ones
    // that need a closer look). Returns how many it handed on: fewer than `count` at the end of
    // the file or at a line that fails, whose status is then in `status`.
    std::uint64_t skip_lines(std::uint64_t count, Line& line, LineStatus& status);

    // The bytes read but not yet handed on, followed by kLinePadding readable bytes; empty
    // whenever the next line will need a read.
    std::string_view pending() const noexcept { return {buffer_ + position_, fill_ - position_}; }
    // Hands on `size` of the pending bytes, which the caller has taken as a line of its own.
    void skip_pending(std::size_t size) noexcept { position_ += size; }
    // Hands on the next line unseen if it is a short ASCII line (so valid UTF-8) that lies whole
    // in the buffer; otherwise returns false, and next_line reads it.
    bool skip_short_ascii_line() noexcept {
        const ShortLine found = find_short_line(buffer_ + position_, fill_ - position_);
        if (found.length == kNoShortLine || !found.ascii) return false;
        position_ += found.length + 1;
        return true;
    }

    // The pending bytes, read on until they hold the next `count` lines whole (or the rest of the
    // file, where it ends first): the bytes up to the end of the count-th line, followed by
    // kLinePadding readable bytes. Nothing is handed on. False if a read failed.
    bool peek_lines(std::uint64_t count, std::string_view& bytes);

    // For a source of a stretch: starts over at byte `offset` of the file, taking the bytes up to
    // `end` as the whole file (kToFileEnd: up to wherever the file ends); the buffers are kept.
    // The file was planned to hold `planned_size` bytes: a read that finds it shorter marks the
    // source as having seen the file cut (file_cut).
    static constexpr std::uint64_t kToFileEnd = ~std::uint64_t(0) - 1;
    void restart_at(std::uint64_t offset, std::uint64_t end, std::uint64_t planned_size) noexcept;
    // For a source of a stretch: reads until the buffer is full or the stretch ends; false if a
    // read failed. pending() then holds what was read, and `line_feeds` how many line feeds it
    // holds: counted a read at a time, each read small enough to be counted while still in cache.
    bool fill_buffer(std::uint64_t& line_feeds);
    // For a source of a stretch: the stretch goes on to `end` (kToFileEnd: to the file's end).
    void extend_stretch(std::uint64_t end) noexcept { stretch_end_ = end; }
    // For a source of a stretch: whether a read found the file shorter than planned since the
    // last restart_at.
    bool file_cut() const noexcept { return file_cut_; }
    // For a source of an open regular file: reads on from byte `offset` of the file, dropping
    // what is buffered. False if the file cannot seek there.
    bool seek_to(std::uint64_t offset) noexcept;
    // The open file the lines come from.
    int fd() const noexcept { return fd_; }

    // How many of the file's bytes have been handed on so far: for a stretch, the place in the
    // file it has reached.
    std::uint64_t bytes_consumed() const noexcept { return bytes_read_ - (fill_ - position_); }
    // The size of a regular file when it was opened; for bytes fed through a queue, the size
    // the feeder expects them to have; 0 for anything else (a pipe, a device) or where unknown.
    // Only an estimate for the latter, to size the storage of the values with.
    std::uint64_t file_size() const noexcept { return queue_ != nullptr ? queue_->expected_size() : file_size_; }
    // The size of a regular file now; 0 for anything else.
    std::uint64_t current_size() const noexcept;
    // Whether a regular file is not what it was when it was opened, as far as its size and its
    // modification time tell, once `bytes_read` of its bytes have been read: it is shorter than
    // it was or than what was read, or it was written without growing. A file that only grew
    // was appended to, and what was read of it is what it held at one moment. Always false for
    // anything but a regular file.
    bool changed_since_open(std::uint64_t bytes_read) const noexcept;
    // Whether a line without a line feed has been handed out since the source started or moved:
    // the file ended inside that line when it was read. With end_at_unended_line, it is the last
    // line handed out.
    bool met_unended_line() const noexcept { return unended_; }
    // With `stop` set, the source hands out nothing after a line without a line feed, as if the
    // file ended there, though it grew since: a writer that was inside that line when it was read
    // goes on with the same line, not with a new one. (Unset, as quorel reads, the next line
    // reads on from wherever the file has got to.)
    void end_at_unended_line(bool stop) noexcept { end_at_unended_ = stop; }
    // Where the next read should ask ReadStop; the file's own reads ask it anyway.
    void set_stop(ReadStop* stop) noexcept { stop_ = stop; }
    // The error number of the read that failed, after LineStatus::os_error.
    int error_number() const noexcept { return error_number_; }
    // After LineStatus::invalid_utf8: where in the line the first byte that breaks the rules
    // is, and that byte.
    std::size_t invalid_offset() const noexcept { return invalid_offset_; }
    unsigned char invalid_byte() const noexcept { return invalid_byte_; }

private:
    enum class Refill { data, end_of_file, error };

    Refill refill();
    // One read of the owned file into `into`: the bytes read, 0 at its end, -1 on an error
    // (error_number_ set); interrupted reads are repeated, and with a ReadStop a file that is
    // not regular is waited for, asking the ReadStop between waits.
    ssize_t read_some(char* into, std::size_t want);
    // The same at byte `offset` of the file, for a stretch.
    ssize_t read_some_at(char* into, std::size_t want, std::uint64_t offset);
    void wait_until_readable();
    // Hands on up to `count` ASCII lines that lie whole in the buffer, up to the first that does
    // not; returns how many.
    std::uint64_t skip_ascii_lines_in_buffer(std::uint64_t count) noexcept;
    // Zeroes the padding after the bytes read where no read has written before.
    void pad_after_fill() noexcept;
    LineStatus finish(std::string_view text, bool terminated, Line& line) noexcept;
    void append_to_assembly(const char* bytes, std::size_t size);

    UniqueFd file_;             // the file, where the source owns it
    int fd_ = -1;               // the file the bytes are read from; -1 for bytes in memory or a queue
    ByteQueue* queue_ = nullptr;  // where the bytes come from, for a source fed by another thread
    // For a stretch: where the next read starts, and where the stretch ends. kNoStretch: the
    // file is read on from where it stands.
    static constexpr std::uint64_t kNoStretch = ~std::uint64_t(0);
    std::uint64_t next_offset_ = kNoStretch;
    std::uint64_t stretch_end_ = kNoStretch;
    char* buffer_;
    bool owns_buffer_ = true;
    std::size_t capacity_ = kReadSize;  // of buffer_, without its padding; peek_lines may grow it
    std::size_t fill_ = 0;      // bytes delivered by the last read
    std::size_t position_ = 0;  // bytes of them already handed on
    // Lines that span several reads are assembled here.
    char* assembly_ = nullptr;
    std::size_t assembly_size_ = 0;
    std::size_t assembly_capacity_ = 0;
    int error_number_ = 0;
    std::size_t invalid_offset_ = 0;
    unsigned char invalid_byte_ = 0;
    std::uint64_t bytes_read_ = 0;
    // buffer_[0 .. initialized_) has been written, by a read or with zeros.
    std::size_t initialized_ = 0;
    std::uint64_t file_size_ = 0;
    // The file's modification time when it was opened (regular files).
    std::int64_t opened_mtime_seconds_ = 0;
    std::int64_t opened_mtime_nanoseconds_ = 0;
    ReadStop* stop_ = nullptr;
    bool waits_for_bytes_ = false;  // not a regular file, and read under a ReadStop
    std::uint64_t planned_size_ = 0;  // a stretch's: see restart_at
    bool file_cut_ = false;
    bool unended_ = false;         // see met_unended_line
    bool end_at_unended_ = false;  // see end_at_unended_line
};

}  // namespace quorel
