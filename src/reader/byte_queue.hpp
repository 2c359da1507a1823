// Bytes handed from one thread to another: a source that the reader cannot read itself (a file
// object, a URL, a compressed file) is fed in by a thread of its own, and the reader takes the
// bytes out as it would read them from a file. A ring of a fixed size: the feeding thread waits
// while it is full, the reading one while it is empty, so that what is held is the ring's bytes
// whatever the source's size. Either side may end it: the feeder when its bytes are all in (the
// reader then sees the end of the file once it has taken them), the reader when it needs no
// more (the feeder's next put then returns false).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "reader/read_stop.hpp"

namespace quorel {

class ByteQueue {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t(4) << 20;

    explicit ByteQueue(std::size_t capacity = kDefaultCapacity);
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    // The feeder's side. Copies all of `bytes` in, waiting for room as long as the reader reads:
    // false once the reader has ended (the bytes are not needed), else true.
    bool put(const char* bytes, std::size_t size);
    // No more bytes come: the reader sees the end of the file once it has taken those in.
    void close_writing();
    // How many bytes the feed is expected to hold in all (a compressed file's stated size), for
    // the reader to size its storage once instead of growing it; 0 where unknown. Told before
    // the first put.
    void expect_size(std::uint64_t bytes) noexcept { expected_size_.store(bytes, std::memory_order_relaxed); }
    std::uint64_t expected_size() const noexcept { return expected_size_.load(std::memory_order_relaxed); }

    // The reader's side. Takes up to `want` bytes out, waiting for some: how many, or 0 at the
    // end. The waits are short and ask `stop` (where given) between them, which may end the
    // read by throwing (read_stop.hpp).
    ssize_t read(char* into, std::size_t want, ReadStop* stop);
    // The reader needs no more: every put from now on returns false at once.
    void close_reading();
    // Whether a read has met the end: every byte put was taken, and writing was closed.
    bool end_seen() const;
    // How many line feeds the bytes taken out so far hold: a stream that ended early ended on
    // the line after them.
    std::uint64_t line_feeds_taken() const;

private:
    std::unique_ptr<char[]> ring_;
    const std::size_t capacity_;
    std::size_t start_ = 0;  // of the bytes held
    std::size_t size_ = 0;   // bytes held
    bool writing_closed_ = false;
    bool reading_closed_ = false;
    bool end_seen_ = false;
    std::uint64_t line_feeds_taken_ = 0;
    std::size_t room_wanted_ = 0;
    std::atomic<std::uint64_t> expected_size_{0};  // the room the feeder waits for; 0: it does not wait
    mutable std::mutex lock_;
    std::condition_variable room_;
    std::condition_variable bytes_;
};

}  // namespace quorel
