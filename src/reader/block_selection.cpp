#include "reader/block_selection.hpp"

#include <source_location>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"
#include "reader/block_loops.hpp"
#include "reader/line_source.hpp"
#include "reader/series_window.hpp"

namespace quorel {

namespace {

// Where block `block` (at most indexed.blocks) starts, from the nearest place known.
std::uint64_t start_of(int fd, const IndexedBlocks& indexed, std::uint64_t block, std::uint64_t from_block,
                       std::uint64_t from_offset) {
    if (block == indexed.blocks) return indexed.end;
    return block_offset(fd, indexed.starts, indexed.block_lines, block, from_block, from_offset);
}

// Where the blocks before block `block` end at the latest, known without counting: the start
// of the first entry of the index at or after it, or where the blocks indexed end.
std::uint64_t end_at_most(const IndexedBlocks& indexed, std::uint64_t block) {
    const std::uint64_t stride = indexed.starts.stride;
    const std::uint64_t entry = block / stride + (block % stride != 0);
    if (entry >= indexed.blocks / stride + (indexed.blocks % stride != 0) || entry >= indexed.starts.starts.size()) {
        return indexed.end;
    }
    return indexed.starts.starts[entry];
}

}  // namespace

SeriesTable read_block_selection(int fd, std::uint64_t count, std::uint64_t width,
                                 std::span<const std::uint64_t> fields, std::uint64_t first_block_line,
                                 const IndexedBlocks& indexed, std::span<const std::uint64_t> blocks, ReadStop* stop,
                                 std::uint64_t hint_block, std::uint64_t hint_offset, bool binary64_time) {
    const std::uint64_t block_lines = block_lines_of(count);
    const std::size_t series = fields.empty() ? std::size_t(count) : fields.size();
    SeriesTable table(series, SeriesLayout::together, binary64_time);
    table.reserve(blocks.size());
    if (table.capacity() < blocks.size()) {
        throw MemoryFailure(blocks.size() * series * sizeof(float), std::source_location::current());
    }
    // A source of stretches of the file: each run's bytes are read, and none beyond them.
    LineSource source(fd, LineSource::kReadSize, stop);
    Line line;
    std::uint64_t from_block = hint_block;
    std::uint64_t from_offset = hint_offset;
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t run = 1;
        while (i + run < blocks.size() && blocks[i + run] == blocks[i] + run) ++run;
        const std::uint64_t first = blocks[i];
        const std::uint64_t start = start_of(fd, indexed, first, from_block, from_offset);
        // The run is read up to its last block, which the window holds: its end is not looked
        // for first (that would scan its bytes twice), only bounded by the next entry's start.
        const std::uint64_t bound = end_at_most(indexed, first + run);
        source.restart_at(start, bound, bound);
        // The window's block k is the file's block first + k - i.
        SeriesWindow window(table.series(), table.time(), i, i + run);
        try {
            if (fields.empty()) {
                read_every_field(source, line, count, width, window, first_block_line);
            } else {
                read_chosen_fields(source, line, count, width, fields, window, first_block_line);
            }
        } catch (ReadFault& fault) {
            // A complete block that ends early: the file was cut since it was indexed.
            if (fault.kind == FaultKind::block_cut_short || source.file_cut()) throw_fault(FaultKind::file_changed);
            if (fault.place.block != kNoIndex) {
                fault.place.block += first - i;
                fault.place.line += (first - i) * block_lines;
            }
            // Its texts view this function's source: copied before it goes.
            throw OwnedFault(fault);
        }
        if (window.blocks() != i + run || source.file_cut()) throw_fault(FaultKind::file_changed);
        from_block = first + run;
        from_offset = source.bytes_consumed();
        i += run;
    }
    table.set_blocks(blocks.size());
    return table;
}

}  // namespace quorel
