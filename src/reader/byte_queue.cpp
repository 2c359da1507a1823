#include "reader/byte_queue.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "reader/line_count.hpp"

namespace quorel {

ByteQueue::ByteQueue(std::size_t capacity) : ring_(new char[capacity]), capacity_(capacity) {}

// One feeder and one reader: the feeder alone writes the free part of the ring and the reader
// alone reads the part held, so each copies without the lock, which guards the counts only.

bool ByteQueue::put(const char* bytes, std::size_t size) {
    std::unique_lock<std::mutex> guard(lock_);
    while (size > 0) {
        // Woken once a quarter of the ring is free (or what is left fits), not for every read
        // the reader takes out.
        const std::size_t enough = std::min(size, capacity_ / 4);
        if (!reading_closed_ && capacity_ - size_ < enough) {
            room_wanted_ = enough;
            room_.wait(guard, [&] { return reading_closed_ || capacity_ - size_ >= enough; });
            room_wanted_ = 0;
        }
        if (reading_closed_) return false;
        const std::size_t end = (start_ + size_) % capacity_;
        const std::size_t now = std::min({capacity_ - size_, capacity_ - end, size});
        guard.unlock();
        std::memcpy(ring_.get() + end, bytes, now);
        guard.lock();
        const bool was_empty = size_ == 0;
        size_ += now;
        bytes += now;
        size -= now;
        if (was_empty) bytes_.notify_one();
    }
    return !reading_closed_;
}

void ByteQueue::close_writing() {
    const std::lock_guard<std::mutex> guard(lock_);
    writing_closed_ = true;
    bytes_.notify_all();
}

ssize_t ByteQueue::read(char* into, std::size_t want, ReadStop* stop) {
    std::unique_lock<std::mutex> guard(lock_);
    while (size_ == 0 && !writing_closed_) {
        if (stop == nullptr) {
            bytes_.wait(guard);
            continue;
        }
        bytes_.wait_for(guard, std::chrono::milliseconds(ReadStop::kWaitMilliseconds));
        if (size_ == 0 && !writing_closed_) {
            // Asked without the lock: it may take the interpreter lock, or throw.
            guard.unlock();
            stop->check();
            guard.lock();
        }
    }
    if (size_ == 0) {
        end_seen_ = true;
        return 0;
    }
    const std::size_t at = start_;
    const std::size_t now = std::min({want, size_, capacity_ - at});
    guard.unlock();
    std::memcpy(into, ring_.get() + at, now);
    // Counted here, on the reader's thread, which waits for the feeder's anyway.
    const std::uint64_t feeds = count_line_feeds(into, now);
    guard.lock();
    start_ = (start_ + now) % capacity_;
    size_ -= now;
    line_feeds_taken_ += feeds;
    if (room_wanted_ != 0 && capacity_ - size_ >= room_wanted_) room_.notify_one();
    return ssize_t(now);
}

void ByteQueue::close_reading() {
    const std::lock_guard<std::mutex> guard(lock_);
    reading_closed_ = true;
    room_.notify_all();
}

bool ByteQueue::end_seen() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return end_seen_;
}

std::uint64_t ByteQueue::line_feeds_taken() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return line_feeds_taken_;
}

}  // namespace quorel
