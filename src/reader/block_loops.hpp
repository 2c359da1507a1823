// The loop over a file's blocks: header lines passed over, data lines cut into fields and
// converted, every fault placed in its line, block and field. One loop reads every field, on
// the fastest routes there are; the other only the fields asked for. Both write into a
// SeriesTable (growing it as the blocks come) or a SeriesWindow (one piece of a split read).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "failure/read_fault.hpp"
#include "reader/line_source.hpp"
#include "reader/series.hpp"
#include "reader/series_window.hpp"

namespace quorel {

inline constexpr std::uint64_t kFieldsPerLine = 10;
inline constexpr std::uint64_t kNoLimit = ~std::uint64_t(0);

// The data lines of a block of `count` fields, and all its lines.
constexpr std::uint64_t data_lines_of(std::uint64_t count) noexcept {
    return (count + kFieldsPerLine - 1) / kFieldsPerLine;
}
constexpr std::uint64_t block_lines_of(std::uint64_t count) noexcept { return 1 + data_lines_of(count); }

// What a read does where the file ends inside a block (a simulation that crashed or is still
// writing): given a BlockCut, it ends before that block, the blocks before it read, and keeps
// the fault that the end of the file caused; without one, the fault is thrown. Only such
// faults end a read quietly: the file ends inside the block (after its header, between its
// data lines), or a fault lies on the file's last line, which has no line feed (a writer was
// stopped inside it). The same fault on a last line that ends in a line feed is the file's. A
// block whose last line has no line feed but whose fields all read is complete: a writer that
// ends its file without a line feed leaves it so. The source must end at an unended line
// (LineSource::end_at_unended_line), so that such a line is the last one read even where the
// file grows meanwhile.
struct BlockCut {
    std::optional<OwnedFault> fault;  // the cut block's fault, once a read has met one
};

// Reads blocks from the source's position to the end of the file, or up to the first block
// whose header line starts at byte `limit` of the file or after it (and, into a SeriesWindow, up
// to the first block it has no room for); field i of a block goes to
// series i. `first_block_line` is the line number of block 0's header, and the table's block
// count that of the first block read. `cut`: see BlockCut.
template <class Table>
void read_every_field(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width, Table& table,
                      std::uint64_t first_block_line, std::uint64_t limit = kNoLimit, BlockCut* cut = nullptr);

// The same for the fields of `fields` only (ascending): field fields[s] goes to series s. The
// other fields are neither checked nor converted; a run of lines without any of them is passed
// over, checked to be UTF-8 only.
template <class Table>
void read_chosen_fields(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width,
                        std::span<const std::uint64_t> fields, Table& table, std::uint64_t first_block_line,
                        std::uint64_t limit = kNoLimit, BlockCut* cut = nullptr);

extern template void read_every_field(LineSource&, Line&, std::uint64_t, std::uint64_t, SeriesTable&, std::uint64_t,
                                      std::uint64_t, BlockCut*);
extern template void read_every_field(LineSource&, Line&, std::uint64_t, std::uint64_t, SeriesWindow&, std::uint64_t,
                                      std::uint64_t, BlockCut*);
extern template void read_chosen_fields(LineSource&, Line&, std::uint64_t, std::uint64_t,
                                        std::span<const std::uint64_t>, SeriesTable&, std::uint64_t, std::uint64_t,
                                        BlockCut*);
extern template void read_chosen_fields(LineSource&, Line&, std::uint64_t, std::uint64_t,
                                        std::span<const std::uint64_t>, SeriesWindow&, std::uint64_t, std::uint64_t,
                                        BlockCut*);

}  // namespace quorel
