// A file's blocks read in pieces on several threads, with the values, the faults and their
// places of a read on one thread.
//
// The blocks' bytes are cut into pieces of a fixed size. A piece is read into its thread's
// buffer and its line feeds are counted; once the pieces before it are counted too, the lines
// before it are known, and with them (every block has the same number of lines) where in the
// piece the first block starts and which block it is. The piece then reads the blocks that start
// in it, the last one on past its end if need be, straight into the result's storage, which is
// sized beforehand for the blocks the file holds if they are as long as its first (and never
// for more than its bytes can hold). Each piece keeps its first fault; the fault of the
// earliest piece that has one is the file's first. Blocks past the storage's room, and those
// appended to the file while it was split, are read on after the pieces by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "reader/block_loops.hpp"
#include "reader/line_source.hpp"
#include "reader/read_stop.hpp"
#include "reader/series.hpp"

namespace quorel {

// Where a file's blocks take this many bytes or more, a read with the threads left to it
// splits them: below, starting threads and waiting for the last piece cost about what they save.
inline constexpr std::uint64_t kSplitFrom = std::uint64_t(8) << 20;
// A piece's bytes: large enough that finding its first block and finishing its last cost
// little beside reading it (its line feeds are counted as it is read, a read at a time, while
// each read is still in cache); all the buffers together at most kPieceBuffers. Sizes from
// 256 KiB to 4 MiB measured alike here.
inline constexpr std::size_t kPieceBytes = std::size_t(2) << 20;
inline constexpr std::size_t kPieceBuffers = std::size_t(32) << 20;

struct SplitOptions {
    unsigned threads = 0;          // at most this many, the calling one among them; 0: the
                                   // cores the process may run on, where the file is large enough
    std::size_t piece_bytes = 0;   // 0: kPieceBytes, less for many threads
    bool binary64_time = false;    // the time kept as binary64 (SeriesTable), split or not
};

// The cores this process may run on (its CPU affinity).
unsigned usable_cores() noexcept;

// The blocks of the file that `source` reads, from where it stands to wherever the file ends,
// every field (`fields` empty) or those of `fields` (ascending): as a read of one thread would
// give them. The blocks of the bytes the file holds when the read starts are split; what is
// appended meanwhile, and any block the storage sized beforehand has no room for, is read on
// after them on the calling thread (through `source` and `line`), as one thread reads. Its
// first fault is thrown as an OwnedFault (a ReadFault from the blocks read on), memory that
// cannot be had as MemoryFailure, a read that `stop` ends as ReadStopped, and a file found
// shorter than it was as FaultKind::file_changed. `bytes_read` is then where the blocks read
// end in the file. Nothing, without reading, where there is nothing to split (not a regular
// file, fewer than two pieces) or where the storage cannot be had beforehand: the caller reads
// on with one thread then. With `cut`, a block that the end of the file cuts ends the read as
// it ends one thread's (BlockCut), wherever it lies: in a piece or in the blocks read on.
std::optional<SeriesTable> read_split(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width,
                                      std::span<const std::uint64_t> fields, std::uint64_t first_block_line,
                                      const SplitOptions& options, ReadStop* stop, std::uint64_t& bytes_read,
                                      BlockCut* cut = nullptr);

}  // namespace quorel
