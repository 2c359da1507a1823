// Reads a TOLVANE plot file: a first line ending in the parameter count, one name line per
// parameter, then blocks of a header line and ceil(count / 10) data lines of fixed-width fields,
// ten to a line. Field 0 of each block is the time, field j + 1 belongs to column j.
//
// Every failure is thrown as a ReadFault (or MemoryFailure) that says what failed and where, and
// nothing is written anywhere. A fault's texts view the reader's buffers, so a caller that
// surfaces one does so while the reader is still in scope.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "failure/read_fault.hpp"
#include "failure/text.hpp"
#include "reader/block_loops.hpp"
#include "reader/byte_queue.hpp"
#include "reader/line_source.hpp"
#include "reader/name_list.hpp"
#include "reader/read_stop.hpp"
#include "reader/series.hpp"
#include "reader/split_read.hpp"
#include "reader/unique_fd.hpp"

namespace quorel {

class PlotFileReader {
public:
    // Opens the file at `path` (UTF-8, may hold any byte but NUL). With a ReadStop the open and
    // every read of the file may be ended by it (read_stop.hpp), and a file that is not regular
    // (a FIFO, a pipe, a terminal) is waited for in short waits instead of blocking.
    // `read_size`: the bytes asked for by one read (LineSource::kReadSize, unless only the head is
    // read through it).
    explicit PlotFileReader(std::string_view path, ReadStop* stop = nullptr,
                            std::size_t read_size = LineSource::kReadSize);
    // Reads the file open at `file` from where it stands, as the constructor above reads the
    // file it opens; a file that is not regular must be open with O_NONBLOCK where a ReadStop
    // is given (a pipe another thread writes into, for a source that is not a local file).
    PlotFileReader(UniqueFd file, ReadStop* stop);
    // Reads the bytes a feeder puts into `queue`, which must outlive the reader.
    PlotFileReader(ByteQueue& queue, ReadStop* stop);
    // The ReadStop for the reads from now on (the one given to the constructor at first); one
    // must stay set for as long as the file is read where the constructor had one.
    void set_stop(ReadStop* stop) noexcept;

    // The whole file, every field of every block, as quorel reads it: a count of 0 ends the read
    // as a capacity overflow.
    SeriesTable read_all(std::uint64_t field_width);

    // The steps one by one, in this order.
    // Line 1: the parameter count; 0 for a line without a token, where that is not a fault.
    // `title`, where given, gets the line's text before the count, trimmed of whitespace.
    std::uint64_t read_count(bool zero_is_fault = false, Text* title = nullptr);
    // The name lines: each one's last token goes to `names` where it is given, and each one's
    // whole text, trimmed of whitespace, to `lines` where that is given. Both are kept only on
    // request, so that a read that needs neither holds one line at a time.
    void read_names(NameList* names, NameList* lines = nullptr);
    // Whether the file ends right after the name lines (reads nothing on).
    bool at_end();
    // Whether the file holds block 0 whole, its every line ending in a line feed (reads nothing
    // on).
    bool first_block_ended();
    // Block 0 read at `field_width` from a copy of its lines, the file left where it was:
    // nothing when it reads without a fault, else the first fault. With `cut`, a block 0 that the
    // end of the file cuts gives its fault there instead (BlockCut), and nothing is returned.
    std::optional<OwnedFault> first_block_fault(std::uint64_t field_width, BlockCut* cut = nullptr);
    // The blocks to the end of the file (the series laid out together), the fields of `fields`
    // only (ascending, field 0 first):
    // series s holds field fields[s]. Fields not in it are neither checked nor converted; their
    // lines are read whole, and a line that holds none of them is only checked to be UTF-8.
    SeriesTable read_blocks(std::uint64_t field_width, std::span<const std::uint64_t> fields);
    // The same for every field.
    SeriesTable read_blocks(std::uint64_t field_width);
    // Either, on several threads where `options` allow and the file gains from it
    // (split_read.hpp), with the same values and faults; `fields` empty for every field. The
    // first fault of a split read comes as an OwnedFault. A regular file that changed while it
    // was read (LineSource::changed_since_open) fails with FaultKind::file_changed instead of
    // giving values or a fault that may come from two versions of it. With `cut`, a last block
    // that the end of the file cuts ends the read before it (BlockCut).
    SeriesTable read_blocks(std::uint64_t field_width, std::span<const std::uint64_t> fields,
                            const SplitOptions& options, BlockCut* cut = nullptr);
    // The open file, for reads that place themselves (windows of blocks) once the head is read.
    LineSource& source() noexcept { return source_; }
    // Where in the file block 0 starts, once the name lines are read.
    std::uint64_t blocks_start() const noexcept { return source_.bytes_consumed(); }

private:
    std::uint64_t head_lines() const noexcept { return 1 + count_; }

    SeriesTable read_blocks_unchecked(std::uint64_t field_width, std::span<const std::uint64_t> fields,
                                      const SplitOptions& options, std::uint64_t& bytes_read, BlockCut* cut);
    [[noreturn]] void fail_changed() const;

    LineSource source_;
    Line line_;
    std::uint64_t count_ = 0;
    ReadStop* stop_ = nullptr;
};

}  // namespace quorel
