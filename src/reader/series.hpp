// Storage of the values read: one binary32 sequence per parameter, the time first, all of the
// same length, the number of blocks read so far. The sequences grow together, a block at a
// time, so one count and one capacity serve them all and a value is stored with a single write.
// The capacity is set once from an estimate of the file's block count where there is one and
// its memory can be had, and doubles otherwise; capacity that is never written costs no memory.
// The first block is held apart, in one allocation for all series, so that a file's many small
// series are each allocated once rather than grown from a few values.
//
// Two layouts. Apart (quorel's): each series in an allocation of its own, grown through realloc,
// so that large ones move by remapping pages rather than copying, and each can be given back as
// soon as it has been turned into a list. Together (tolvane's): all series in one allocation,
// one after another at the same distance (the capacity), which the arrays handed out share: one
// allocation where a file has hundreds of small series, large enough for huge pages, and one
// array object to make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "reader/sequence_storage.hpp"

namespace quorel {

enum class SeriesLayout { apart, together };

class SeriesTable {
public:
    // All series empty. A count of 0 leaves -1 columns, a size that cannot exist. Until a second
    // block is due, the series share one allocation, a value each: the first block tells how
    // large they will grow (see reserve), and each series is then allocated once at that size.
    explicit SeriesTable(std::uint64_t parameter_count, SeriesLayout layout = SeriesLayout::apart)
        : together_(layout == SeriesLayout::together) {
        sequence_bytes(parameter_count - 1, sizeof(float*));
        const std::size_t bytes = sequence_bytes(parameter_count, sizeof(float*));
        series_ = static_cast<float**>(resize_storage(nullptr, bytes));
        count_ = std::size_t(parameter_count);
        first_block_ = static_cast<float*>(resize_storage(nullptr, sequence_bytes(parameter_count, sizeof(float))));
        for (std::size_t i = 0; i < count_; ++i) series_[i] = first_block_ + i;
        capacity_ = 1;
    }
    SeriesTable(const SeriesTable&) = delete;
    SeriesTable& operator=(const SeriesTable&) = delete;
    SeriesTable(SeriesTable&& other) noexcept
        : together_(other.together_), series_(std::exchange(other.series_, nullptr)),
          count_(std::exchange(other.count_, 0)), blocks_(std::exchange(other.blocks_, 0)),
          capacity_(std::exchange(other.capacity_, 0)), first_block_(std::exchange(other.first_block_, nullptr)),
          owned_(std::exchange(other.owned_, 0)), storage_(std::exchange(other.storage_, nullptr)) {}
    ~SeriesTable() {
        for (std::size_t i = 0; i < owned_; ++i) std::free(series_[i]);
        std::free(storage_);
        std::free(first_block_);
        std::free(series_);
    }

    // Makes room for the block about to be read in every series.
    void reserve_next_block() {
        if (blocks_ == capacity_) grow_to(capacity_ < 4 ? 4 : capacity_ * 2);
    }
    // Once the first block is read: gives each series its own storage with room for `blocks`
    // blocks in all, an estimate of the whole file's. An estimate only spares the series growing
    // step by step, so it must never fail the read: where its memory cannot be had (an
    // address-space limit, a sparse file), what it took is given back and the series grow as the
    // blocks come, from the first block's storage as if there had been no estimate.
    void reserve(std::size_t blocks) noexcept {
        if (first_block_ == nullptr || blocks <= capacity_ || blocks > PTRDIFF_MAX / sizeof(float)) return;
        if (together_) {
            if (blocks <= PTRDIFF_MAX / sizeof(float) / count_) move_together(blocks, false);
            return;
        }
        if (move_out_of_first_block(blocks * sizeof(float), false)) capacity_ = blocks;
    }
    // Field i of the block being read goes to series(i)[blocks()].
    float* const* series() const noexcept { return series_; }
    std::size_t blocks() const noexcept { return blocks_; }
    void finish_block() noexcept { ++blocks_; }
    // How many blocks the series have room for.
    std::size_t capacity() const noexcept { return capacity_; }
    // After the blocks were written through windows on the storage: there are `blocks` of them.
    void set_blocks(std::size_t blocks) noexcept { blocks_ = blocks; }

    // Gives back the capacity that the blocks read do not use. Together, it lies between the
    // series, and what of it is never written costs no memory, but where each series is short,
    // a huge page holds the ends of several and maps the room between them: where the room
    // left could take more than a quarter of the values and kSlackBytes, the series move up
    // to each other and the rest goes back.
    static constexpr std::size_t kSlackBytes = std::size_t(8) << 20;
    void shrink_to_fit() noexcept {
        if (together_) return close_up_together();
        if (blocks_ == capacity_ || blocks_ == 0 || first_block_ != nullptr) return;
        for (std::size_t i = 0; i < count_; ++i) {
            // Shrinking in place cannot fail in practice; if it does, the larger block stays.
            if (void* shrunk = std::realloc(series_[i], blocks_ * sizeof(float))) series_[i] = static_cast<float*>(shrunk);
        }
        capacity_ = blocks_;
    }

    std::size_t column_count() const noexcept { return count_ - 1; }
    // The values of series i (0 the time, j + 1 column j), blocks() of them.
    const float* values(std::size_t i) const noexcept { return series_[i]; }
    // Hands series i's storage over to the caller, who frees it with std::free; its values are
    // the first blocks() floats. Series still in the shared first block are given storage of
    // their own first (at least one float long, so that even no values have an address).
    float* hand_over(std::size_t i) {
        if (first_block_ != nullptr) move_out_of_first_block(sequence_bytes(blocks_ == 0 ? 1 : blocks_, sizeof(float)), true);
        float* const storage = series_[i];
        series_[i] = nullptr;
        return storage;
    }
    // Together: hands the one allocation over to the caller, who frees it with std::free;
    // series i's values are the first blocks() floats from i x capacity() on. (Series still in
    // the shared first block are moved there first.)
    float* hand_over_all() {
        if (first_block_ != nullptr) move_together(blocks_ == 0 ? 1 : blocks_, true);
        return std::exchange(storage_, nullptr);
    }
    // Gives series i's memory back as soon as its values are no longer needed.
    void release(std::size_t i) noexcept {
        if (i < owned_) std::free(series_[i]);
        series_[i] = nullptr;
    }

private:
    void close_up_together() noexcept {
        if (storage_ == nullptr || blocks_ == capacity_) return;
        const std::size_t used = blocks_ * count_ * sizeof(float);
        const std::size_t room = (capacity_ - blocks_) * count_ * sizeof(float);
        if (room <= used / 4 + kSlackBytes) return;
        const std::size_t capacity = blocks_ == 0 ? 1 : blocks_;
        for (std::size_t i = 1; i < count_; ++i) {
            std::memmove(storage_ + i * capacity, series_[i], blocks_ * sizeof(float));
        }
        const std::size_t bytes = capacity * count_ * sizeof(float);
        release_pages_after(storage_, bytes, capacity_ * count_ * sizeof(float));
        // Shrinking in place cannot fail in practice; if it does, the larger block stays.
        if (void* shrunk = std::realloc(storage_, bytes)) storage_ = static_cast<float*>(shrunk);
        for (std::size_t i = 0; i < count_; ++i) series_[i] = storage_ + i * capacity;
        capacity_ = capacity;
    }

    void grow_to(std::size_t capacity) {
        const std::size_t bytes = sequence_bytes(capacity, sizeof(float));
        if (together_) {
            sequence_bytes(capacity, sizeof(float) * count_);
            move_together(capacity, true);
            return;
        }
        if (first_block_ == nullptr) {
            // A failure part way leaves every series valid, some at the old capacity: the table
            // still owns them all.
            for (std::size_t i = 0; i < count_; ++i) series_[i] = static_cast<float*>(grow_series_storage(series_[i], bytes));
        } else {
            move_out_of_first_block(bytes, true);
        }
        capacity_ = capacity;
    }

    // Gives each series still in the shared first block storage of its own, `bytes` long, with its
    // value. Memory that cannot be had fails the read where it is `required`, leaving the series
    // not yet moved in the shared block; otherwise the series moved here go back to the shared
    // block, which still holds their values, and the result is false.
    bool move_out_of_first_block(std::size_t bytes, bool required) {
        const std::size_t first_moved = owned_;
        for (; owned_ < count_; ++owned_) {
            float* const own =
                static_cast<float*>(required ? require_series_storage(bytes) : allocate_series_storage(bytes));
            if (own == nullptr) {
                for (; owned_ > first_moved; --owned_) {
                    std::free(series_[owned_ - 1]);
                    series_[owned_ - 1] = first_block_ + (owned_ - 1);
                }
                return false;
            }
            if (blocks_ != 0) own[0] = *series_[owned_];
            series_[owned_] = own;
        }
        std::free(std::exchange(first_block_, nullptr));
        return true;
    }

    // Together: the series move to one new allocation with room for `capacity` blocks each,
    // their values with them. Memory that cannot be had fails the read where it is `required`;
    // otherwise nothing changes and the result is false. (The caller has checked the size.)
    bool move_together(std::size_t capacity, bool required) {
        const std::size_t bytes = capacity * count_ * sizeof(float);
        float* const storage =
            static_cast<float*>(required ? require_series_storage(bytes) : allocate_series_storage(bytes));
        if (storage == nullptr) return false;
        for (std::size_t i = 0; i < count_; ++i) {
            if (blocks_ != 0) std::memcpy(storage + i * capacity, series_[i], blocks_ * sizeof(float));
            series_[i] = storage + i * capacity;
        }
        std::free(std::exchange(storage_, storage));
        std::free(std::exchange(first_block_, nullptr));
        capacity_ = capacity;
        return true;
    }

    bool together_;
    float** series_ = nullptr;
    std::size_t count_ = 0;
    std::size_t blocks_ = 0;
    std::size_t capacity_ = 0;
    float* first_block_ = nullptr;  // the shared storage of the first block, until it is moved
    std::size_t owned_ = 0;         // apart: series_[0 .. owned_) own their storage
    float* storage_ = nullptr;      // together: the one allocation, once out of the first block
};

}  // namespace quorel
