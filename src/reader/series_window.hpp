// A stretch of a table's blocks, for one piece of a read split across threads: the same series,
// written from block `first` on, within storage sized beforehand for the whole file. Each piece
// writes its own blocks, so the pieces never touch the same values. The storage may have room
// for fewer blocks than the file holds.
#pragma once

#include <cstddef>

#include "failure/read_fault.hpp"

namespace quorel {

class SeriesWindow {
public:
    SeriesWindow(float* const* series, std::size_t first, std::size_t capacity) noexcept
        : series_(series), blocks_(first), capacity_(capacity) {}

    // A piece stops before a block the storage has no room for (full); one thread reads such
    // blocks on after the split.
    bool full() const noexcept { return blocks_ >= capacity_; }
    void reserve_next_block() {
        if (full()) throw_fault(FaultKind::capacity_overflow);
    }
    // The storage is sized beforehand: there is nothing to guess.
    void reserve(std::size_t) noexcept {}
    float* const* series() const noexcept { return series_; }
    // The block being read, counted from the file's first.
    std::size_t blocks() const noexcept { return blocks_; }
    void finish_block() noexcept { ++blocks_; }

private:
    float* const* series_;
    std::size_t blocks_;
    std::size_t capacity_;
};

}  // namespace quorel
