// The blocks of a plot file as text, for tolvane.write: for each block a header line
// " STEP      1" (the block's number from 1, right-aligned in six places, as the simulator
// writes it), then its fields, ten to a line, each `width` bytes (format_binary32.hpp), each line
// ended by a line feed. Pure C++: the Python layer hands over the columns' values and writes the
// first line and the name lines itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader/read_stop.hpp"

namespace tolvane {

class BlockText {
public:
    // Spare bytes a buffer needs after the text that format() writes into it.
    static constexpr std::size_t kSpareBytes = 32;

    // `columns`: one pointer per parameter, the time's first, to `blocks` values each; width at
    // least 8. std::overflow_error where the text would have more bytes than a 64-bit size.
    BlockText(std::vector<const float*> columns, std::uint64_t blocks, std::uint64_t width);

    std::uint64_t blocks() const noexcept { return blocks_; }
    // The bytes of blocks [first, last).
    std::uint64_t bytes(std::uint64_t first, std::uint64_t last) const noexcept;
    // Writes the text of blocks [first, last) to `out`, which has bytes(first, last) +
    // kSpareBytes bytes (the spare ones are written over too).
    void format(std::uint64_t first, std::uint64_t last, char* out) const noexcept;

private:
    template <int Digits>
    void format_as(std::uint64_t first, std::uint64_t last, char* out) const noexcept;

    std::vector<const float*> columns_;
    std::uint64_t blocks_;
    std::uint64_t width_;
    std::uint64_t data_bytes_;  // a block's data lines, line feeds included
};

// The bytes of the header lines of blocks 0 to blocks - 1 (their numbers 1 to `blocks`).
std::uint64_t header_bytes(std::uint64_t blocks) noexcept;

// What write_blocks throws where a write fails: the error number.
struct WriteFailure {
    int error_number;
};

// Writes the text of every block to `fd`, from where it stands (and leaves it standing after
// the text). The text is cut into pieces of about 1 MiB; in a regular file, up to `threads`
// threads (0: the cores the process may run on, where the text takes 8 MiB or more, else one),
// the calling one among them, each format a piece and write it at its place, in whatever order
// they finish; anywhere else (a pipe), or with one thread, the calling thread writes them in
// order. With `start_writeback`, each piece written to a regular file is handed to the disk at
// once, so that a flush of the file at the end waits for little. `stop` (where not null) is
// asked before every piece, on every thread, and whenever a write is interrupted by a signal (a
// pipe whose reader does not read): its ReadStopped ends the writing, the threads joined. Throws
// WriteFailure (the first write that failed; what was written before it stays), ReadStopped, or
// std::bad_alloc where the buffers cannot be had.
void write_blocks(int fd, const BlockText& text, unsigned threads, bool start_writeback,
                  quorel::ReadStop* stop = nullptr);

// Writes all of [bytes, bytes + size) to `fd`, repeating partial and interrupted writes after
// asking `stop` (where not null). Returns 0, or the error number of the write that failed.
int write_all_stoppable(int fd, const char* bytes, std::size_t size, quorel::ReadStop* stop);

}  // namespace tolvane
