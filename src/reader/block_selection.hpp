// Chosen blocks of a file, read from their own bytes: each run of consecutive blocks is found
// through a BlockIndex's starts and read by the block loops, straight into one table, its bytes
// and at most an index entry's span after them (its end is found as it is read). The blocks between the runs are neither read nor checked; the values and the
// faults of the blocks read are those of a read of the whole file.
#pragma once

#include <cstdint>
#include <span>

#include "reader/block_index.hpp"
#include "reader/read_stop.hpp"
#include "reader/series.hpp"

namespace quorel {

// Where the blocks of an index are: the starts it keeps, and where its last block ends.
struct IndexedBlocks {
    BlockStarts starts;
    std::uint64_t blocks = 0;  // indexed
    std::uint64_t end = 0;     // where block `blocks` starts
    std::uint64_t block_lines = 2;
};

// The blocks of `blocks` (ascending, each once, below indexed.blocks) of the open file `fd`:
// every field (`fields` empty) or those of `fields` (ascending, 0 first), at `width`, of a file
// of `count` parameters whose block 0's header is line `first_block_line`. Block blocks[i] is the
// table's block i (the series laid out together). A run that begins at `hint_block`, which starts
// at `hint_offset`, reads nothing before it. A fault is placed in its line, block and field as a
// whole read places it, and thrown as an OwnedFault; a file that ends before a block read ends
// fails with FaultKind::file_changed (it was cut since it was indexed). `stop` may end it. With
// `binary64_time`, the time is kept as binary64 (SeriesTable::time).
SeriesTable read_block_selection(int fd, std::uint64_t count, std::uint64_t width,
                                 std::span<const std::uint64_t> fields, std::uint64_t first_block_line,
                                 const IndexedBlocks& indexed, std::span<const std::uint64_t> blocks, ReadStop* stop,
                                 std::uint64_t hint_block = 0, std::uint64_t hint_offset = 0,
                                 bool binary64_time = false);

}  // namespace quorel
