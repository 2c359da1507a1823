// Storage of the values read: a growable sequence of binary32 values per parameter, and the
// fixed table of columns. Storage grows by doubling through realloc, so large sequences move by
// remapping pages rather than copying, and capacity that is never written costs no memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "sequence_storage.hpp"

namespace quorel {

class FloatSeries {
public:
    FloatSeries() = default;
    FloatSeries(const FloatSeries&) = delete;
    FloatSeries& operator=(const FloatSeries&) = delete;
    FloatSeries(FloatSeries&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ~FloatSeries() { std::free(data_); }

    void push_back(float value) {
        if (size_ == capacity_) grow();
        data_[size_++] = value;
    }
    std::size_t size() const noexcept { return size_; }
    const float* data() const noexcept { return data_; }

    // Gives the memory back as soon as the values are no longer needed.
    void release() noexcept {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    void grow() {
        const std::size_t capacity = capacity_ == 0 ? 4 : capacity_ * 2;
        data_ = static_cast<float*>(resize_storage(data_, sequence_bytes(capacity, sizeof(float))));
        capacity_ = capacity;
    }

    float* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The series of one plot file, all created empty: the time first, then one column per further
// parameter. A count of 0 leaves -1 columns, a size that cannot exist.
class SeriesTable {
public:
    explicit SeriesTable(std::uint64_t parameter_count) {
        sequence_bytes(parameter_count - 1, sizeof(FloatSeries));
        const std::size_t bytes = sequence_bytes(parameter_count, sizeof(FloatSeries));
        series_ = static_cast<FloatSeries*>(resize_storage(nullptr, bytes));
        count_ = std::size_t(parameter_count);
        for (std::size_t i = 0; i < count_; ++i) new (&series_[i]) FloatSeries();
    }
    SeriesTable(const SeriesTable&) = delete;
    SeriesTable& operator=(const SeriesTable&) = delete;
    SeriesTable(SeriesTable&& other) noexcept
        : series_(std::exchange(other.series_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    ~SeriesTable() {
        for (std::size_t i = 0; i < count_; ++i) series_[i].~FloatSeries();
        std::free(series_);
    }

    // Field i of every block goes to series i.
    FloatSeries* fields() noexcept { return series_; }
    FloatSeries& time() noexcept { return series_[0]; }
    std::size_t column_count() const noexcept { return count_ - 1; }
    FloatSeries& column(std::size_t j) noexcept { return series_[j + 1]; }

private:
    FloatSeries* series_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace quorel
