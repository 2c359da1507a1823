// An open plot file read up to its first block, for tolvane: the count and the names are
// known, and the blocks are read in one step once the caller has chosen the fields and the width.
// The Python layer works out what the caller asked for between the steps; every step runs
// without the interpreter lock and touches no Python object, and may be ended by the ReadStop
// it is given (read_stop.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "failure/read_fault.hpp"
#include "failure/text.hpp"
#include "reader/block_index.hpp"
#include "reader/block_selection.hpp"
#include "reader/byte_queue.hpp"
#include "reader/name_list.hpp"
#include "reader/plot_reader.hpp"
#include "reader/read_stop.hpp"
#include "reader/series.hpp"
#include "reader/unique_fd.hpp"

namespace tolvane {

class PlotHead {
public:
    // Opens the file; `read_size` as PlotFileReader takes it.
    PlotHead(std::string_view path, quorel::ReadStop* stop,
             std::size_t read_size = quorel::LineSource::kReadSize);
    // Reads the open file `file` from where it stands (PlotFileReader's constructor from a file).
    PlotHead(quorel::UniqueFd file, quorel::ReadStop* stop);
    // Reads the bytes a feeder puts into `queue`, which the head keeps for as long as it lives.
    PlotHead(std::shared_ptr<quorel::ByteQueue> queue, quorel::ReadStop* stop);
    // Reads its first line and name lines; once, first. A head the end of the file cuts (a
    // head still being written): the file is empty, it has fewer name lines than its count, or
    // its last line read has no line feed (FaultKind::head_unended: a line without one is the
    // last read, and its text, which may still grow, is not taken). Its fault is thrown, or with
    // `keep_cut` kept in head_cut(), the head then holding what it could know: the title where
    // line 1 ended, and the names of the name lines that ended.
    void read_head(quorel::ReadStop* stop, bool keep_cut = false);
    const std::optional<quorel::OwnedFault>& head_cut() const noexcept { return head_cut_; }

    std::uint64_t count() const noexcept { return count_; }
    const quorel::NameList& names() const noexcept { return names_; }
    // Line 1 before the count, and each name line whole, trimmed of whitespace: the file's own
    // title, and the name lines' texts (which often hold more than the name, such as a unit).
    std::string_view title() const noexcept { return title_; }
    const quorel::NameList& name_lines() const noexcept { return name_lines_; }

    // Whether the file ends right after the names.
    bool at_end(quorel::ReadStop* stop);
    // Whether the file holds block 0 whole, its every line ending in a line feed.
    bool first_block_ended(quorel::ReadStop* stop);
    // Block 0 read at `width` from a copy: nothing if it reads whole, else its first fault. With
    // `cut`, where the end of the file cuts block 0, nothing, and the fault in `cut`.
    std::optional<quorel::OwnedFault> first_block_fault(std::uint64_t width, quorel::ReadStop* stop,
                                                        quorel::BlockCut* cut = nullptr);
    // The blocks: the fields of `fields` (ascending, field 0 first), or every field where it is
    // empty; split across threads as `options` allow. With `cut`, a last block that the end of
    // the file cuts ends the read before it, its fault kept there. Once only.
    quorel::SeriesTable read_blocks(std::uint64_t width, std::span<const std::uint64_t> fields,
                                    const quorel::SplitOptions& options, quorel::ReadStop* stop,
                                    quorel::BlockCut* cut = nullptr);
    // The index of the blocks (block_index.hpp), made at `width` by the first call, then extended
    // to the blocks completed since: false where the file is shorter than the blocks indexed.
    // The index keeps the times as binary64 where `binary64_time`, else as binary32, or none
    // where not `keep_times`; its stride divides `bin_blocks` where that is not 0 (the first call
    // decides).
    bool extend_index(std::uint64_t width, unsigned threads, quorel::ReadStop* stop, std::size_t piece_bytes = 0,
                      bool binary64_time = false, bool keep_times = true, std::uint64_t bin_blocks = 0);
    // The index; extend_index must have made it.
    const quorel::BlockIndex& index() const;
    quorel::BlockIndex& index();
    // Blocks of the index, read from their own bytes (block_selection.hpp): `blocks` ascending,
    // each once, below index().blocks(); a run that begins at `hint_block` starts at
    // `hint_offset`, which spares finding it.
    quorel::SeriesTable read_selection(std::span<const std::uint64_t> fields, std::span<const std::uint64_t> blocks,
                                       quorel::ReadStop* stop, std::uint64_t hint_block = 0,
                                       std::uint64_t hint_offset = 0, bool binary64_time = false);
    // The same with the blocks of an index given (the caller's copy of an index of this file).
    quorel::SeriesTable read_selection(std::uint64_t width, std::span<const std::uint64_t> fields,
                                       const quorel::IndexedBlocks& indexed, std::span<const std::uint64_t> blocks,
                                       quorel::ReadStop* stop, std::uint64_t hint_block = 0,
                                       std::uint64_t hint_offset = 0, bool binary64_time = false);
    // What read_selection needs of the index.
    quorel::IndexedBlocks indexed_blocks() const;
    // The fault of the block that the end of the file cuts after the blocks indexed, read as a
    // read with a BlockCut reads it (its place that of the whole file); nothing where the file
    // ends with them, or goes on with complete blocks (it grew since it was indexed). A last
    // block that reads whole though its last line has no line feed is added to the index: the
    // file is taken as finished (see BlockIndex::add_unended_block). A fault of those blocks is
    // thrown.
    std::optional<quorel::OwnedFault> cut_after_index(quorel::ReadStop* stop);

    // The open file, for reads of the index's own.
    int fd() { return reader(nullptr).source().fd(); }

    // The fault of the block that ended a read with a BlockCut, kept for the caller.
    void set_cut(std::optional<quorel::OwnedFault> fault) noexcept { cut_ = std::move(fault); }
    const std::optional<quorel::OwnedFault>& cut() const noexcept { return cut_; }
    // Closes the file; the count and the names stay. Nothing can be read after it.
    void close() noexcept { reader_.reset(); }

    // One step at a time: the object may be shared between threads, the reader may not.
    std::mutex& lock() noexcept { return lock_; }

private:
    quorel::PlotFileReader& reader(quorel::ReadStop* stop);

    std::shared_ptr<quorel::ByteQueue> queue_;  // before the reader, which reads it
    std::optional<quorel::PlotFileReader> reader_;
    std::uint64_t count_ = 0;
    quorel::NameList names_;
    quorel::Text title_;
    quorel::NameList name_lines_;
    bool blocks_read_ = false;
    std::optional<quorel::OwnedFault> cut_;
    std::optional<quorel::OwnedFault> head_cut_;
    std::optional<quorel::BlockIndex> index_;
    std::mutex lock_;
};

}  // namespace tolvane
