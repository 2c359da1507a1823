#include "reader/split_read.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"
#include "reader/block_loops.hpp"
#include "reader/helper_threads.hpp"
#include "reader/line_count.hpp"
#include "reader/series_window.hpp"

namespace quorel {

namespace {

constexpr std::uint64_t kUncounted = ~std::uint64_t(0);
constexpr std::uint64_t kNeverCounted = kUncounted - 1;

// What a piece found: the blocks that start in it, or its first failure.
struct Piece {
    // Its line feeds, published as soon as they are counted; kNeverCounted where the piece was
    // not read (a failure came before it, or reading it failed).
    std::atomic<std::uint64_t> line_feeds{kUncounted};
    std::size_t first_block = 0;
    std::size_t end_block = 0;  // after its last block; first_block where none starts in it
    std::uint64_t end_offset = 0;  // where in the file its last block ends
    std::optional<OwnedFault> fault;
    BlockCut cut;  // where the end of the file cuts its last block, with a read that keeps the rest
    int read_error = 0;
    std::optional<std::size_t> memory_bytes;  // set where memory could not be had
    bool stopped = false;    // its ReadStop ended the read
    bool file_cut = false;   // the file was shorter than when the read started
    // Where the block starts that the storage had no room for, the first one of those.
    std::optional<std::uint64_t> full_at;
    bool failed() const noexcept {
        return fault || cut.fault || read_error != 0 || memory_bytes || stopped || file_cut || full_at;
    }
};

// Where the split's blocks end, for one thread to read on from: after `blocks` blocks, at byte
// `offset` of the file.
struct ReadOnFrom {
    std::size_t blocks = 0;
    std::uint64_t offset = 0;
    const BlockCut* cut = nullptr;  // the file ends inside block `blocks`: nothing to read on
};

// The bytes a block takes at least: a line feed for each line, but perhaps the file's last, and
// on each data line the fields read there (all of them, or those of `fields`). At most `cap`.
std::uint64_t least_block_bytes(std::uint64_t count, std::uint64_t width, std::span<const std::uint64_t> fields,
                                std::uint64_t cap) noexcept {
    std::uint64_t bytes = block_lines_of(count);
    auto add_line = [&](std::uint64_t fields_on_line) {
        std::uint64_t line_bytes;
        if (__builtin_mul_overflow(fields_on_line, width, &line_bytes) ||
            __builtin_add_overflow(bytes, line_bytes, &bytes)) {
            bytes = cap;
        }
        bytes = std::min(bytes, cap);
    };
    if (fields.empty()) {
        for (std::uint64_t first = 0; first < count && bytes < cap; first += kFieldsPerLine) {
            add_line(std::min(kFieldsPerLine, count - first));
        }
    } else {
        for (std::size_t s = 0; s < fields.size() && bytes < cap; ++s) {
            // Only the last field read on a line counts: it reaches furthest.
            if (s + 1 < fields.size() && fields[s + 1] / kFieldsPerLine == fields[s] / kFieldsPerLine) continue;
            add_line(fields[s] % kFieldsPerLine + 1);
        }
    }
    return std::max<std::uint64_t>(bytes, 1);
}

class SplitRead {
public:
    SplitRead(int fd, std::uint64_t start, std::uint64_t end, std::uint64_t count, std::uint64_t width,
              std::span<const std::uint64_t> fields, std::uint64_t first_block_line, std::size_t piece_bytes,
              SeriesTable& table, ReadStop* stop, bool keep_cut)
        : fd_(fd), start_(start), end_(end), count_(count), width_(width), fields_(fields),
          first_block_line_(first_block_line), piece_bytes_(piece_bytes),
          pieces_count_(std::size_t((end - start + piece_bytes - 1) / piece_bytes)),
          pieces_(std::make_unique<Piece[]>(pieces_count_)), table_(table),
          huge_pages_to_populate_(huge_pages_written_by_first_block(table)), stop_(stop), keep_cut_(keep_cut) {}

    std::size_t pieces() const noexcept { return pieces_count_; }

    // A thread's share: the next piece not yet taken, until there is none.
    void work() noexcept {
        try {
            // A byte more than a piece: the one before it, which tells whether a line starts
            // at the piece's first byte.
            LineSource source(fd_, piece_bytes_ + 1, stop_);
            source.end_at_unended_line(keep_cut_);
            Line line;
            populate_share();
            for (;;) {
                const std::size_t p = next_piece_.fetch_add(1);
                if (p >= pieces_count_) break;
                read_piece(p, source, line);
            }
        } catch (const MemoryFailure& failure) {
            // The thread's buffer: the pieces it would have read are read by the others.
            unread_memory_bytes_.store(failure.bytes());
        }
    }

    // After every thread is done: where one thread reads on, or the failure that comes first
    // thrown. A stop, and a file found cut, come before any fault: a fault may be one of the
    // change.
    ReadOnFrom result() {
        for (std::size_t p = 0; p < pieces_count_; ++p) {
            if (pieces_[p].stopped) throw ReadStopped{};
        }
        for (std::size_t p = 0; p < pieces_count_; ++p) {
            if (pieces_[p].file_cut) throw OwnedFault(ReadFault(FaultKind::file_changed));
        }
        ReadOnFrom read_on{0, start_};
        for (std::size_t p = 0; p < pieces_count_; ++p) {
            Piece& piece = pieces_[p];
            if (piece.fault) throw *piece.fault;
            if (piece.memory_bytes) throw MemoryFailure(*piece.memory_bytes, std::source_location::current());
            if (piece.read_error != 0) {
                ReadFault fault(FaultKind::read_failed);
                fault.error_number = piece.read_error;
                throw OwnedFault(fault);
            }
            if (piece.line_feeds.load() == kNeverCounted || piece.line_feeds.load() == kUncounted) {
                // No thread could read it.
                throw MemoryFailure(unread_memory_bytes_.load(), std::source_location::current());
            }
            if (piece.cut.fault) return {piece.end_block, piece.end_offset, &piece.cut};
            if (piece.full_at) return {piece.end_block, *piece.full_at};
            if (piece.end_block != piece.first_block) read_on = {piece.end_block, piece.end_offset};
        }
        return read_on;
    }

private:
    void read_piece(std::size_t p, LineSource& source, Line& line) noexcept {
        Piece& piece = pieces_[p];
        if (p > first_failed_.load()) return never_counted(piece);
        try {
            read_blocks_of(p, piece, source, line);
        } catch (const ReadStopped&) {
            piece.stopped = true;
        }
        piece.file_cut = source.file_cut();
        if (piece.failed()) failed(p);
        // A piece ended before its line feeds were told: those after it need not wait for them.
        if (piece.line_feeds.load() == kUncounted) never_counted(piece);
    }

    void read_blocks_of(std::size_t p, Piece& piece, LineSource& source, Line& line) {
        const std::uint64_t begin = start_ + p * piece_bytes_;
        const std::uint64_t limit = std::min(end_, begin + piece_bytes_);
        source.restart_at(p == 0 ? begin : begin - 1, limit, end_);
        std::uint64_t feeds_read = 0;
        if (!source.fill_buffer(feeds_read)) {
            piece.read_error = source.error_number();
            return;
        }
        std::string_view bytes = source.pending();
        const bool line_starts_at_begin = p == 0 || (!bytes.empty() && bytes.front() == '\n');
        if (p != 0 && !bytes.empty()) {
            // The byte before the piece is the previous piece's.
            if (line_starts_at_begin) --feeds_read;
            bytes.remove_prefix(1);
            source.skip_pending(1);
        }
        publish(piece, feeds_read);

        // The lines before the piece: the line feeds of the pieces before it.
        std::uint64_t lines_before = 0;
        for (std::size_t q = 0; q < p; ++q) {
            std::uint64_t feeds;
            while ((feeds = pieces_[q].line_feeds.load()) == kUncounted) pieces_[q].line_feeds.wait(kUncounted);
            if (feeds == kNeverCounted) return;
            lines_before += feeds;
        }
        // The first line that starts in the piece (its number from the blocks' first), and then
        // the first header line.
        std::size_t at = 0;
        std::uint64_t first_line = lines_before;
        if (!line_starts_at_begin) {
            at = after_line_feeds(bytes.data(), bytes.size(), 1);
            ++first_line;
        }
        const std::uint64_t block_lines = block_lines_of(count_);
        const std::uint64_t to_header = (block_lines - first_line % block_lines) % block_lines;
        if (to_header != 0 && at < bytes.size()) {
            at += after_line_feeds(bytes.data() + at, bytes.size() - at, to_header);
        }
        piece.first_block = piece.end_block = std::size_t((first_line + to_header) / block_lines);
        if (at >= bytes.size()) return;  // no block starts in the piece

        // Its blocks, the last one read on past the piece's end where it goes on, to wherever
        // the file ends now.
        source.skip_pending(at);
        source.extend_stretch(LineSource::kToFileEnd);
        SeriesWindow window(table_.series(), table_.time(), piece.first_block, table_.capacity());
        try {
            BlockCut* const cut = keep_cut_ ? &piece.cut : nullptr;
            if (fields_.empty()) {
                read_every_field(source, line, count_, width_, window, first_block_line_, limit, cut);
            } else {
                read_chosen_fields(source, line, count_, width_, fields_, window, first_block_line_, limit, cut);
            }
            // The storage is full while blocks are left in the piece: one thread reads on from there.
            if (window.full() && source.bytes_consumed() < limit) piece.full_at = source.bytes_consumed();
        } catch (const ReadFault& fault) {
            try {
                piece.fault.emplace(fault);
            } catch (const MemoryFailure& failure) {
                piece.memory_bytes = failure.bytes();
            }
        } catch (const MemoryFailure& failure) {
            piece.memory_bytes = failure.bytes();
        } catch (const std::bad_alloc&) {
            piece.memory_bytes = 0;
        }
        piece.end_block = window.blocks();
        piece.end_offset = source.bytes_consumed();
    }

    // The storage's fresh pages are zeroed by the kernel as they are first written. Where each
    // series is shorter than a huge page, the first block written goes into every huge page of
    // the storage, and the threads' first blocks wait, one after another, for the pages the
    // first of them zeroes. Taken in turns before any piece, the pages are zeroed side by side.
    static std::size_t huge_pages_written_by_first_block(const SeriesTable& table) noexcept {
        const std::size_t series_bytes = table.capacity() * sizeof(float);
        if (series_bytes > kHugePage) return 0;
        return series_bytes * (table.column_count() + 1) / kHugePage;
    }
    void populate_share() noexcept {
        // Together, the first series starts the one allocation, on a huge-page boundary where
        // it holds a huge page or more (allocate_series_storage).
        char* const storage = reinterpret_cast<char*>(table_.series()[0]);
        for (std::size_t page; (page = next_huge_page_.fetch_add(1)) < huge_pages_to_populate_;) {
            populate_huge_page(storage + page * kHugePage);
        }
    }

    void publish(Piece& piece, std::uint64_t feeds) noexcept {
        piece.line_feeds.store(feeds);
        piece.line_feeds.notify_all();
    }
    void never_counted(Piece& piece) noexcept { publish(piece, kNeverCounted); }
    void failed(std::size_t p) noexcept {
        std::size_t earliest = first_failed_.load();
        while (p < earliest && !first_failed_.compare_exchange_weak(earliest, p)) {
        }
    }

    const int fd_;
    const std::uint64_t start_;
    const std::uint64_t end_;
    const std::uint64_t count_;
    const std::uint64_t width_;
    const std::span<const std::uint64_t> fields_;
    const std::uint64_t first_block_line_;
    const std::size_t piece_bytes_;
    const std::size_t pieces_count_;
    std::unique_ptr<Piece[]> pieces_;
    SeriesTable& table_;
    const std::size_t huge_pages_to_populate_;
    std::atomic<std::size_t> next_huge_page_{0};
    std::atomic<std::size_t> next_piece_{0};
    std::atomic<std::size_t> first_failed_{~std::size_t(0)};
    std::atomic<std::size_t> unread_memory_bytes_{0};
    ReadStop* const stop_;
    const bool keep_cut_;
};

// How many blocks the storage of a split read is sized for: as many as the file holds if each
// is as long as its first (a file's blocks differ only in their header lines, which seldom
// shrink), with a margin, and never more than its bytes can hold. Blocks past them are read by
// one thread after the split.
std::uint64_t blocks_to_size_for(LineSource& source, std::uint64_t count, std::uint64_t region,
                                 std::uint64_t most_blocks) {
    std::string_view first_block;
    if (!source.peek_lines(block_lines_of(count), first_block) || first_block.empty()) return most_blocks;
    const std::uint64_t like_first = region / first_block.size() + 1;
    return std::min(most_blocks, like_first + like_first / 16 + 16);
}

}  // namespace

unsigned usable_cores() noexcept {
    cpu_set_t cores;
    if (::sched_getaffinity(0, sizeof cores, &cores) == 0) return unsigned(std::max(CPU_COUNT(&cores), 1));
    return std::max(std::thread::hardware_concurrency(), 1u);
}

std::optional<SeriesTable> read_split(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width,
                                      std::span<const std::uint64_t> fields, std::uint64_t first_block_line,
                                      const SplitOptions& asked, ReadStop* stop, std::uint64_t& bytes_read,
                                      BlockCut* cut) {
    const std::uint64_t start = source.bytes_consumed();
    // The file as it is now: what it gained since it was opened is read as well.
    const std::uint64_t end = source.current_size();
    if (end <= start) return std::nullopt;
    const std::uint64_t region = end - start;
    SplitOptions options = asked;
    if (options.threads == 0) options.threads = region < kSplitFrom ? 1 : usable_cores();
    if (options.piece_bytes == 0) {
        options.piece_bytes = std::max<std::size_t>(std::min(kPieceBytes, kPieceBuffers / options.threads), 1 << 16);
    }
    if (options.threads < 2 || (region + options.piece_bytes - 1) / options.piece_bytes < 2) return std::nullopt;
    const std::uint64_t most_blocks = (region + 1) / least_block_bytes(count, width, fields, region + 1) + 1;
    const std::uint64_t sized_for = blocks_to_size_for(source, count, region, most_blocks);
    SeriesTable table(fields.empty() ? count : fields.size(), SeriesLayout::together, options.binary64_time);
    table.reserve(std::size_t(std::min<std::uint64_t>(sized_for, PTRDIFF_MAX)));
    if (table.capacity() < sized_for) return std::nullopt;

    SplitRead split(source.fd(), start, end, count, width, fields, first_block_line, options.piece_bytes, table, stop,
                    cut != nullptr);
    work_on_threads(std::min<std::size_t>(options.threads, split.pieces()), [&split](std::size_t) { split.work(); });
    const ReadOnFrom read_on = split.result();
    table.set_blocks(read_on.blocks);
    if (read_on.cut != nullptr) {
        // The file ends inside a piece's last block: there is nothing after it.
        cut->fault = read_on.cut->fault;
        bytes_read = read_on.offset;
        table.shrink_to_fit();
        return table;
    }
    // The rest, on this thread: usually nothing but the file's end.
    if (!source.seek_to(read_on.offset)) {
        ReadFault fault(FaultKind::read_failed);
        fault.error_number = errno;
        throw OwnedFault(fault);
    }
    if (fields.empty()) {
        read_every_field(source, line, count, width, table, first_block_line, kNoLimit, cut);
    } else {
        read_chosen_fields(source, line, count, width, fields, table, first_block_line, kNoLimit, cut);
    }
    bytes_read = source.bytes_consumed();
    table.shrink_to_fit();
    return table;
}

}  // namespace quorel
