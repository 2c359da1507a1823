// Where a plot file's blocks start, found from its line structure alone: every block has the
// same number of lines (a header line and ceil(count / 10) data lines), so the line feeds tell
// where each block starts without a field being read. A window of blocks is then read from its
// own bytes, and a file that grows is indexed on from where the index ends.
//
// The index is sparse in the blocks' places and dense in their times. It keeps the start of
// every `stride`-th block (a stride of blocks spans about kEntryBytes of the file), so that a
// block is found by counting the line feeds of at most a stride after the nearest entry: some
// 8 bytes per 16 KiB of file. And it keeps the time of every block (field 0, 8 bytes a block: a
// binary64, or a binary32 kept as the double of the same value,
// read while the line feeds are counted), for windows by time and for the time coordinate of a
// table opened lazily; with it, whether the times never decrease. An index made without times
// (`keep_times` false) keeps the starts alone and counts the blocks: a reader that reads every
// window's times from the blocks themselves spares those 8 bytes a block, and the time it
// takes to read them. Only the blocks whose every
// line ends in a line feed are indexed (the last line of a file still being written may grow),
// but for a last block added by add_unended_block.
//
// Times are read on the common shapes only (the fixed shapes of widths 12 and 15, E notation,
// plain decimals in an ASCII field that lies within its line); a block whose time takes the
// general way is listed as unknown, for its caller to read with the reader itself, which says
// what is wrong with it if anything is. Nothing else is checked: a fault of the file outside
// the blocks read is not looked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "reader/read_stop.hpp"

namespace quorel {

// Where blocks start: the start of every `stride`-th block (block j x stride at starts[j]).
struct BlockStarts {
    std::uint64_t stride = 1;
    std::span<const std::uint64_t> starts;
};

class BlockIndex {
public:
    // A stride of blocks spans about this many bytes of the file.
    static constexpr std::uint64_t kEntryBytes = 16 << 10;
    // Regions of the file this large or larger are scanned on several threads where allowed.
    static constexpr std::uint64_t kSplitFrom = std::uint64_t(8) << 20;
    static constexpr std::size_t kPieceBytes = std::size_t(1) << 20;

    // The index of a file with `count` parameters whose block 0 starts at byte `start`, read at
    // field width `width` (0 where it is not known yet: the times are then all unknown), its
    // times read as binary64 (`binary64_time`) or as binary32, or not read at all where
    // `keep_times` is false. With `bin_blocks`, the stride divides it: the start of every
    // bin_blocks-th block is kept, for a reader that reads bins of that many blocks.
    BlockIndex(std::uint64_t count, std::uint64_t width, std::uint64_t start, bool binary64_time = false,
               bool keep_times = true, std::uint64_t bin_blocks = 0);

    // Indexes the blocks completed since the last call, from the end of those indexed to the
    // end of the file now, on up to `threads` threads (0: the cores, for a large region), in
    // pieces of `piece_bytes` (0: kPieceBytes; tests split small files into pieces of a few
    // bytes). False, indexing nothing, where the file is now shorter than the blocks indexed, or
    // the last of them no longer ends in a line feed (it was cut or written again). `stop` may
    // end it (ReadStopped).
    bool extend(int fd, unsigned threads, ReadStop* stop, std::size_t piece_bytes = 0);

    // The file's last block, from end() to byte `end` where the file ends, whose last line has
    // no line feed but which the reader read whole: indexed too, its time unknown, for a reader
    // that takes the file as finished. The index is then extended no more: extend finds nothing
    // new while the file keeps that size, and fails where it has changed.
    void add_unended_block(std::uint64_t end);

    std::uint64_t count() const noexcept { return count_; }
    std::uint64_t block_lines() const noexcept { return block_lines_; }
    std::uint64_t width() const noexcept { return width_; }
    // The complete blocks indexed, and where in the file they end (block blocks() starts there).
    std::uint64_t blocks() const noexcept { return blocks_; }
    std::uint64_t start() const noexcept { return start_; }
    std::uint64_t end() const noexcept { return end_; }
    BlockStarts starts() const noexcept { return {stride_, starts_}; }

    // Whether the index keeps the blocks' times; without them, times() and unknown_times() are
    // empty and times_rise() is false.
    bool keeps_times() const noexcept { return keep_times_; }
    // The time of every block indexed; those of unknown_times() are 0 until set_time.
    std::span<const double> times() const noexcept { return times_; }
    bool binary64_time() const noexcept { return binary64_time_; }
    // The blocks whose time was not read, ascending.
    std::span<const std::uint64_t> unknown_times() const noexcept { return unknown_; }
    // The reader's time for each block of unknown_times(), in that order: they are known then.
    void set_unknown_times(std::span<const double> times);
    // Whether every time is known and none is below the one before it (NaN is below all).
    bool times_rise() const noexcept { return keep_times_ && unknown_.empty() && rising_; }

private:
    const std::uint64_t count_;
    const std::uint64_t width_;
    const bool binary64_time_;
    const bool keep_times_;
    const std::uint64_t block_lines_;
    const std::uint64_t start_;
    const std::uint64_t stride_;
    std::uint64_t end_;
    std::uint64_t blocks_ = 0;
    std::vector<std::uint64_t> starts_;  // of blocks 0, stride, 2 x stride, ... up to blocks()
    std::vector<double> times_;
    std::vector<std::uint64_t> unknown_;
    bool finished_ = false;  // by add_unended_block
    bool rising_ = true;  // over the known times, in order
    std::optional<double> last_known_;  // the last known time
};

// Where block `block` starts: at most a stride of blocks is counted, from the nearest entry of
// `starts` (which must cover it), or from `from_offset`, where block `from_block` starts, when
// that lies between the entry and the block. Throws FaultKind::file_changed where the file
// ends first, and read_failed where a read fails.
std::uint64_t block_offset(int fd, const BlockStarts& starts, std::uint64_t block_lines, std::uint64_t block,
                           std::uint64_t from_block = 0, std::uint64_t from_offset = 0);

}  // namespace quorel
