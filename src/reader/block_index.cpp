#include "reader/block_index.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"
#include "reader/helper_threads.hpp"
#include "reader/line_count.hpp"
#include "reader/sequence_storage.hpp"
#include "reader/split_read.hpp"
#include "text_rules/e_notation_field.hpp"
#include "text_rules/fixed_shape_field.hpp"
#include "text_rules/parse_decimal.hpp"
#include "text_rules/vector_support.hpp"
#include "text_rules/whitespace.hpp"

namespace quorel {

// What a scan of a stretch of the file found, blocks counted from the stretch's first.
struct ScanResult {
    std::uint64_t line_feeds = 0;
    // The blocks whose header line ends in the stretch, from block first_block on, and the time
    // of each (where the index keeps times).
    std::uint64_t first_block = 0;
    std::uint64_t headers = 0;
    std::vector<double> times;
    std::vector<std::uint64_t> unknown;  // blocks whose time was not read
    bool rising = true;                  // over the known times
    std::optional<double> first_known, last_known;
    // The start of each block (after the first) that is a multiple of the stride, where the
    // line feed that ends the block before it lies in the stretch.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    // The last block whose last line feed lies in the stretch: the blocks up to it, and where
    // they end.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> last_end;
};

namespace {

[[noreturn]] void fail_read(int error) {
    ReadFault fault(FaultKind::read_failed);
    fault.error_number = error;
    throw fault;
}

[[noreturn]] void fail_changed() { throw_fault(FaultKind::file_changed); }

// Reads `size` bytes at `offset`, fewer only where the file ends; asks `stop` first.
std::size_t read_at(int fd, char* into, std::size_t size, std::uint64_t offset, ReadStop* stop) {
    std::size_t got = 0;
    while (got < size) {
        if (stop != nullptr) stop->check();
        const ssize_t n = ::pread(fd, into + got, size - got, off_t(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_read(errno);
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    return got;
}

bool is_ascii(const char* bytes, std::size_t size) noexcept {
    unsigned char any = 0;
    for (std::size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(bytes[i]);
    return any < 0x80;
}

// The widest time field read here; wider ones are left to the reader.
constexpr std::uint64_t kWidestTime = 4000;
// Bytes read past a piece, so that the time line after a header line feed near its end lies in
// the buffer; and the zeroed padding after them.
constexpr std::size_t kOverlap = kWidestTime + 96;
constexpr std::size_t kPadding = 64;

// The time of the block whose time line starts at `line` (field 0, `width` bytes), with at least
// width + kPadding readable bytes there (zeros past the file's end), as binary64 or as binary32
// (kept as the double of the same value): false where it takes the general way, or the field
// does not lie within its line.
bool read_time(const char* line, std::uint64_t width, bool binary64, double& value) noexcept {
    if (width == 0 || width > kWidestTime) return false;
    const std::size_t w = std::size_t(width);
    float single;
    // The fixed shapes hold ASCII bytes of their own alone.
    if (binary64) {
        if (w == 12 && parse_fixed_shape_binary64<12>(line, value)) return true;
        if (w == 15 && parse_fixed_shape_binary64<15>(line, value)) return true;
    } else {
        if (w == 12 && parse_fixed_shape_field<12>(line, single)) return value = single, true;
        if (w == 15 && parse_fixed_shape_field<15>(line, single)) return value = single, true;
    }
    if (!is_ascii(line, w)) return false;
    // The field must lie within the line: no line feed in it, nor a carriage return ending it.
    const void* feed = std::memchr(line, '\n', w + 1);
    if (feed != nullptr) {
        std::size_t end = std::size_t(static_cast<const char*>(feed) - line);
        if (end > 0 && line[end - 1] == '\r') --end;
        if (end < w) return false;
    }
    const std::string_view field = trim_ascii_padded(std::string_view(line, w));
    FloatErrorKind error;
    if (binary64) {
        if (fits_e_notation_field(width) && parse_e_notation_binary64(line, w, value)) return true;
        return parse_binary64<kPaddedText>(field, value, error);
    }
    if (!(fits_e_notation_field(width) && parse_e_notation_field(line, w, single)) &&
        !parse_binary32<kPaddedText>(field, single, error)) {
        return false;
    }
    value = single;
    return true;
}

constexpr std::size_t kNone = ~std::size_t(0);

// The first and last of the known times of `times` (blocks first_block, first_block + 1, ...),
// passing over those of `unknown` (ascending), and whether none is below the one before it.
struct TimeRun {
    std::optional<double> first, last;
    bool rising = true;
};
TimeRun time_run(std::span<const double> times, std::span<const std::uint64_t> unknown, std::uint64_t first_block) {
    TimeRun run;
    std::size_t u = 0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        while (u < unknown.size() && unknown[u] < first_block + i) ++u;
        if (u < unknown.size() && unknown[u] == first_block + i) continue;
        if (run.last && !(times[i] >= *run.last)) run.rising = false;
        if (!run.first) run.first = times[i];
        run.last = times[i];
    }
    return run;
}


// The line feeds of a block's bytes, a few hundred of them, with 16 readable bytes after them:
// in one pass of vector compares and one sum, where count_line_feeds, made for long stretches,
// pays for its rounds and its tail.
inline std::uint64_t block_line_feeds(const char* bytes, std::size_t size) noexcept {
#if QUOREL_VECTORS
    if (size <= 255 * 16) {
        const __m128i feed = _mm_set1_epi8('\n');
        __m128i counts = _mm_setzero_si128();
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), feed));
        }
        if (i < size) {
            // The first size - i lanes of the last load only.
            const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
            const __m128i kept = _mm_cmplt_epi8(lanes, _mm_set1_epi8(char(size - i)));
            const __m128i feeds = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), feed);
            counts = _mm_sub_epi8(counts, _mm_and_si128(feeds, kept));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        return std::uint64_t(_mm_cvtsi128_si64(sums)) + std::uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    return count_line_feeds(bytes, size);
}

// Where the n-th line feed (n at least 1) of `bytes` is, or kNone.
std::size_t nth_line_feed(const char* bytes, std::size_t size, std::uint64_t n) noexcept {
    std::size_t at = 0;
    for (;;) {
        const auto* feed = static_cast<const char*>(std::memchr(bytes + at, '\n', size - at));
        if (feed == nullptr) return kNone;
        if (--n == 0) return std::size_t(feed - bytes);
        at = std::size_t(feed - bytes) + 1;
    }
}

// Scans one stretch of bytes for its blocks: `bytes` holds the stretch's `size` bytes (at byte
// `offset` of the file), then up to kOverlap bytes after it (`readable` in all) and kPadding
// zeros; `lines_before` line feeds of the region come before it, which starts at block
// `first_block` (the region's blocks are counted from there for the entries).
class StretchScan {
public:
    StretchScan(std::uint64_t block_lines, std::uint64_t width, bool binary64_time, bool keep_times,
                std::uint64_t stride, std::uint64_t region_block)
        : block_lines_(block_lines), width_(width), binary64_time_(binary64_time), keep_times_(keep_times),
          stride_(stride), region_block_(region_block) {}

    // Scans the stretch, `lines_before` line feeds of the region before it; returns its line
    // feeds. Each block's bytes are looked at once: from a header line feed, the next one is
    // where the block before put it, which one count of the line feeds between confirms, else
    // it is searched for.
    std::uint64_t scan(const char* bytes, std::size_t size, std::uint64_t offset, std::uint64_t lines_before,
                       ScanResult& out) const {
        const std::uint64_t b = block_lines_;
        out.first_block = (lines_before + b - 1) / b;
        // The line feeds up to the first header line feed of the stretch: the last of them ends a
        // block.
        const std::uint64_t to_header = (b - lines_before % b) % b;
        std::size_t at = kNone;  // the last line feed located
        std::uint64_t passed = 0;  // the stretch's line feeds up to it
        if (to_header > 0) {
            at = nth_line_feed(bytes, size, to_header);
            if (at == kNone) return count_line_feeds(bytes, size);
            passed = to_header;
            note_block_end((lines_before + passed) / b, offset + at + 1, out);
        }
        const std::size_t from = at == kNone ? 0 : at + 1;
        const std::size_t header = nth_line_feed(bytes + from, size - from, 1);
        if (header == kNone) return passed + count_line_feeds(bytes + from, size - from);
        at = from + header;
        ++passed;
        std::size_t block_bytes = 0;  // from a header line feed to the next: the last block's
        // Kept in locals in the loop, and one division a stretch: a block costs a few
        // nanoseconds, where a division or a store and a load through `out` would count.
        std::uint64_t block = (lines_before + passed - 1) / b;
        const std::uint64_t in_stride = (region_block_ + block + 1) % stride_;
        std::uint64_t next_entry = block + 1 + (in_stride == 0 ? 0 : stride_ - in_stride);
        TimeRun run{out.last_known ? out.first_known : std::nullopt, out.last_known, out.rising};
        std::vector<double>& times = out.times;
        if (keep_times_) times.reserve(times.size() + size / std::max<std::size_t>(1, std::size_t(b) * 8) + 16);
        for (;;) {
            if (keep_times_) {
                double value;
                if (read_time(bytes + at + 1, width_, binary64_time_, value)) {
                    if (run.last && !(value >= *run.last)) run.rising = false;
                    if (!run.first) run.first = value;
                    run.last = value;
                } else {
                    out.unknown.push_back(block);
                    value = 0;
                }
                times.push_back(value);
            }
            ++out.headers;
            std::size_t next;
            if (block_bytes != 0 && at + block_bytes < size && bytes[at + block_bytes] == '\n' &&
                block_line_feeds(bytes + at + 1, block_bytes) == b) {
                next = at + block_bytes;
            } else {
                const std::size_t found = nth_line_feed(bytes + at + 1, size - at - 1, b);
                if (found == kNone) break;
                next = at + 1 + found;
                block_bytes = next - at;
                if (keep_times_) times.reserve(times.size() + (size - at) / block_bytes + 16);
            }
            if (block + 1 == next_entry) {
                // Block block + 1 starts after the line feed before its header line's.
                const auto* end = static_cast<const char*>(::memrchr(bytes + at + 1, '\n', next - at - 1));
                out.entries.emplace_back(block + 1, offset + std::uint64_t(end - bytes) + 1);
                next_entry += stride_;
            }
            at = next;
            passed += b;
            ++block;
        }
        out.first_known = run.first;
        out.last_known = run.last;
        out.rising = run.rising;
        // The block of the last header line feed: its end, where the stretch holds it, else the
        // end of the block before it.
        const std::uint64_t last = (lines_before + passed - 1) / b;
        const std::size_t found = nth_line_feed(bytes + at + 1, size - at - 1, b - 1);
        if (found != kNone) {
            const std::size_t header_at = at;
            at = header_at + 1 + found;
            passed += b - 1;
            note_block_end(last + 1, offset + at + 1, out);
        } else if (const void* before = ::memrchr(bytes, '\n', at); before != nullptr && last > 0) {
            out.last_end = {last, offset + std::uint64_t(static_cast<const char*>(before) - bytes) + 1};
        }
        return passed + count_line_feeds(bytes + at + 1, size - at - 1);
    }

private:
    // The last line feed of block `next_block` - 1 lies at `next_start` - 1.
    void note_block_end(std::uint64_t next_block, std::uint64_t next_start, ScanResult& out) const {
        out.last_end = {next_block, next_start};
        if ((region_block_ + next_block) % stride_ == 0) out.entries.emplace_back(next_block, next_start);
    }

    const std::uint64_t block_lines_;
    const std::uint64_t width_;
    const bool binary64_time_;
    const bool keep_times_;
    const std::uint64_t stride_;
    const std::uint64_t region_block_;
};

// A buffer of a piece's bytes, its overlap and its zeroed padding.
struct PieceBuffer {
    explicit PieceBuffer(std::size_t piece_bytes)
        : bytes(static_cast<char*>(resize_storage(nullptr, piece_bytes + kOverlap + kPadding))) {}
    ~PieceBuffer() { std::free(bytes); }
    PieceBuffer(const PieceBuffer&) = delete;
    PieceBuffer& operator=(const PieceBuffer&) = delete;

    // Reads [offset, offset + size) and what of the overlap the file holds; the bytes of the
    // stretch it got (fewer where the file ends).
    std::size_t read(int fd, std::uint64_t offset, std::size_t size, ReadStop* stop) {
        const std::size_t got = read_at(fd, bytes, size + kOverlap, offset, stop);
        std::memset(bytes + got, 0, size + kOverlap + kPadding - got);
        return std::min(got, size);
    }
    char* bytes;
};

// The region's pieces, scanned on several threads: each counts its line feeds as it reads them,
// then, once the pieces before it are counted, scans its blocks from the buffer it holds.
class SplitScan {
public:
    static constexpr std::uint64_t kUncounted = ~std::uint64_t(0);

    SplitScan(int fd, std::uint64_t begin, std::uint64_t end, std::size_t piece_bytes, const StretchScan& scan,
              ReadStop* stop)
        : fd_(fd), begin_(begin), end_(end), piece_bytes_(piece_bytes),
          count_(std::size_t((end - begin + piece_bytes - 1) / piece_bytes)),
          feeds_(std::make_unique<std::atomic<std::uint64_t>[]>(count_)), results_(count_), scan_(scan),
          stop_(stop) {
        for (std::size_t p = 0; p < count_; ++p) feeds_[p].store(kUncounted);
    }

    std::size_t pieces() const noexcept { return count_; }

    void work() noexcept {
        try {
            PieceBuffer buffer(piece_bytes_);
            std::unique_ptr<char[]> spare;  // for the pieces of others it counts
            for (std::size_t p; (p = next_.fetch_add(1)) < count_;) scan_piece(p, buffer, spare);
        } catch (...) {
            fail(std::current_exception());
        }
    }

    // The pieces' results in order, or what failed first thrown.
    std::vector<ScanResult>& results() {
        if (failure_) std::rethrow_exception(failure_);
        return results_;
    }

private:
    void scan_piece(std::size_t p, PieceBuffer& buffer, std::unique_ptr<char[]>& spare) {
        const std::uint64_t offset = begin_ + p * piece_bytes_;
        const std::size_t size = std::size_t(std::min<std::uint64_t>(piece_bytes_, end_ - offset));
        if (failed_.load()) {
            publish(p, 0);
            return;
        }
        std::size_t got;
        try {
            got = buffer.read(fd_, offset, size, stop_);
        } catch (...) {
            publish(p, 0);
            throw;
        }
        if (got < size) {
            publish(p, 0);
            fail_changed();  // the file is shorter than it was a moment ago
        }
        const std::uint64_t feeds = publish(p, count_line_feeds(buffer.bytes, size));
        std::uint64_t before = 0;
        for (std::size_t q = 0; q < p; ++q) before += feeds_of(q, spare);
        if (failed_.load()) return;
        results_[p].line_feeds = feeds;
        scan_.scan(buffer.bytes, size, offset, before, results_[p]);
    }

    // Publishes piece p's line feeds, unless another thread has (the same count); the count.
    std::uint64_t publish(std::size_t p, std::uint64_t feeds) noexcept {
        std::uint64_t expected = kUncounted;
        if (!feeds_[p].compare_exchange_strong(expected, feeds)) return expected;
        feeds_[p].notify_all();
        return feeds;
    }

    // Piece q's line feeds: counted by the thread that took it; or, where that thread is held up
    // (a busy machine takes its core away, and every piece after it would wait for it), counted
    // here, from a read of its own, after kHelpAfter.
    static constexpr std::chrono::microseconds kHelpAfter{200};
    std::uint64_t feeds_of(std::size_t q, std::unique_ptr<char[]>& spare) {
        std::uint64_t counted = feeds_[q].load();
        if (counted != kUncounted) return counted;
        const auto deadline = std::chrono::steady_clock::now() + kHelpAfter;
        while ((counted = feeds_[q].load()) == kUncounted) {
            if (std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
                continue;
            }
            const std::uint64_t offset = begin_ + q * piece_bytes_;
            const std::size_t size = std::size_t(std::min<std::uint64_t>(piece_bytes_, end_ - offset));
            if (!spare) spare = std::make_unique<char[]>(piece_bytes_);
            if (read_at(fd_, spare.get(), size, offset, stop_) < size) fail_changed();
            return publish(q, count_line_feeds(spare.get(), size));
        }
        return counted;
    }
    void fail(std::exception_ptr failure) noexcept {
        std::lock_guard<std::mutex> guard(failure_lock_);
        if (!failure_) failure_ = failure;
        failed_.store(true);
        // The pieces not yet taken are published for those that wait for them.
        for (std::size_t p; (p = next_.fetch_add(1)) < count_;) publish(p, 0);
    }

    const int fd_;
    const std::uint64_t begin_, end_;
    const std::size_t piece_bytes_;
    const std::size_t count_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> feeds_;
    std::vector<ScanResult> results_;
    const StretchScan& scan_;
    ReadStop* const stop_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::mutex failure_lock_;
    std::exception_ptr failure_;
};

}  // namespace

namespace {

// Every how many blocks an index keeps a start: a block holds at least its fields and its line
// feeds, and the blocks between two starts span about kEntryBytes.
std::uint64_t stride_for(std::uint64_t count, std::uint64_t width, std::uint64_t block_lines) noexcept {
    std::uint64_t least;
    if (__builtin_mul_overflow(count, std::max<std::uint64_t>(width, 1), &least) ||
        __builtin_add_overflow(least, block_lines, &least)) {
        return 1;
    }
    return std::max<std::uint64_t>(1, BlockIndex::kEntryBytes / least);
}

// The largest divisor of `bin_blocks` that is at most `stride` (`stride` where bin_blocks is 0).
std::uint64_t dividing(std::uint64_t stride, std::uint64_t bin_blocks) noexcept {
    if (bin_blocks == 0) return stride;
    std::uint64_t divisor = std::min(stride, bin_blocks);
    while (bin_blocks % divisor != 0) --divisor;
    return divisor;
}

}  // namespace

BlockIndex::BlockIndex(std::uint64_t count, std::uint64_t width, std::uint64_t start, bool binary64_time,
                       bool keep_times, std::uint64_t bin_blocks)
    : count_(count), width_(width), binary64_time_(binary64_time), keep_times_(keep_times), block_lines_(1 + (count + 9) / 10), start_(start),
      stride_(dividing(stride_for(count, width, block_lines_), bin_blocks)), end_(start) {}

bool BlockIndex::extend(int fd, unsigned threads, ReadStop* stop, std::size_t piece_bytes) {
    struct stat status;
    if (::fstat(fd, &status) != 0) fail_read(errno);
    const std::uint64_t size = std::uint64_t(status.st_size);
    if (finished_) return size == end_;
    if (size < end_) return false;
    // The last block indexed still ends in its line feed: a file written again from its start, and
    // grown past the blocks indexed since, most often does not there.
    if (end_ > start_) {
        char last = 0;
        if (read_at(fd, &last, 1, end_ - 1, stop) != 1 || last != '\n') return false;
    }
    if (size == end_) return true;
    const std::uint64_t region = size - end_;
    const StretchScan scan(block_lines_, width_, binary64_time_, keep_times_, stride_, blocks());
    if (threads == 0) threads = region < kSplitFrom ? 1 : usable_cores();
    std::vector<ScanResult> pieces;
    if (piece_bytes == 0) piece_bytes = kPieceBytes;
    if (threads > 1 && region > piece_bytes) {
        SplitScan split(fd, end_, size, piece_bytes, scan, stop);
        work_on_threads(std::min<std::size_t>(threads, split.pieces()), [&split](std::size_t) { split.work(); });
        pieces = std::move(split.results());
    } else {
        // One thread: the pieces one after another, each scanned as soon as it is read.
        PieceBuffer buffer(piece_bytes);
        std::uint64_t before = 0;
        for (std::uint64_t offset = end_; offset < size; offset += piece_bytes) {
            const std::size_t want = std::size_t(std::min<std::uint64_t>(piece_bytes, size - offset));
            if (buffer.read(fd, offset, want, stop) < want) fail_changed();
            pieces.emplace_back();
            pieces.back().line_feeds = scan.scan(buffer.bytes, want, offset, before, pieces.back());
            before += pieces.back().line_feeds;
        }
    }

    // The pieces together, up to the last complete block.
    std::uint64_t line_feeds = 0;
    for (const ScanResult& piece : pieces) line_feeds += piece.line_feeds;
    const std::uint64_t complete = line_feeds / block_lines_;
    if (complete == 0) return true;
    const std::uint64_t first = blocks();
    if (keep_times_) times_.reserve(first + complete);
    if (first % stride_ == 0) starts_.push_back(end_);
    for (const ScanResult& piece : pieces) {
        // A piece past the last complete block's header may still hold its last line feed.
        const std::size_t kept = piece.first_block >= complete ? 0 : std::size_t(std::min<std::uint64_t>(
                                                                         piece.headers, complete - piece.first_block));
        if (keep_times_) times_.insert(times_.end(), piece.times.begin(), piece.times.begin() + std::ptrdiff_t(kept));
        for (const std::uint64_t block : piece.unknown) {
            if (block < complete) unknown_.push_back(first + block);
        }
        // The piece's run of known times, but where its last blocks are not complete yet.
        TimeRun run{piece.first_known, piece.last_known, piece.rising};
        if (kept < piece.times.size()) {
            run = time_run(std::span(piece.times).first(kept), piece.unknown, piece.first_block);
        }
        if (run.first) {
            if (!run.rising || (last_known_ && !(*run.first >= *last_known_))) rising_ = false;
            last_known_ = run.last;
        }
        for (const auto& [block, offset] : piece.entries) {
            if (block < complete) starts_.push_back(offset);
        }
        if (piece.last_end && piece.last_end->first == complete) end_ = piece.last_end->second;
    }
    blocks_ = first + complete;
    return true;
}

void BlockIndex::add_unended_block(std::uint64_t end) {
    const std::uint64_t block = blocks();
    if (block % stride_ == 0) starts_.push_back(end_);
    if (keep_times_) {
        times_.emplace_back();
        unknown_.push_back(block);
    }
    blocks_ = block + 1;
    end_ = end;
    finished_ = true;
}

void BlockIndex::set_unknown_times(std::span<const double> times) {
    for (std::size_t u = 0; u < unknown_.size() && u < times.size(); ++u) times_[unknown_[u]] = times[u];
    unknown_.clear();
    const TimeRun run = time_run(times_, {}, 0);
    rising_ = run.rising;
    last_known_ = run.last;
}

std::uint64_t block_offset(int fd, const BlockStarts& starts, std::uint64_t block_lines, std::uint64_t block,
                           std::uint64_t from_block, std::uint64_t from_offset) {
    const std::uint64_t entry = block / starts.stride;
    if (entry >= starts.starts.size()) throw_fault(FaultKind::file_changed);
    std::uint64_t at_block = entry * starts.stride;
    std::uint64_t offset = starts.starts[entry];
    if (from_block <= block && from_block > at_block) {
        at_block = from_block;
        offset = from_offset;
    }
    std::uint64_t lines = (block - at_block) * block_lines;
    if (lines == 0) return offset;
    // A stride of blocks spans about kEntryBytes: mostly one read, of no more than is counted.
    constexpr std::size_t kChunk = BlockIndex::kEntryBytes;
    const std::unique_ptr<char[]> chunk(new char[kChunk]);
    for (;;) {
        const std::size_t got = read_at(fd, chunk.get(), kChunk, offset, nullptr);
        if (got == 0) fail_changed();
        const std::uint64_t feeds = count_line_feeds(chunk.get(), got);
        if (feeds >= lines) return offset + after_line_feeds(chunk.get(), got, lines);
        lines -= feeds;
        offset += got;
    }
}

}  // namespace quorel
