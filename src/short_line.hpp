// Finding the end of a short line without a library call.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorel {

// Short lines (block headers, mostly) are found without a library call: the first kShortLine
// bytes are searched eight at a time for the line feed, noting on the way whether they are ASCII.
constexpr std::size_t kShortLine = 32;

struct ShortLine {
    std::size_t length;  // up to the line feed; kNoShortLine if it is not in the first bytes
    bool ascii;          // every byte before the line feed is below 0x80
};
constexpr std::size_t kNoShortLine = ~std::size_t(0);

// `text` holds `size` bytes followed by at least eight readable ones, which are never taken as
// part of the line.
inline ShortLine find_short_line(const char* text, std::size_t size) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    std::uint64_t high_bits = 0;
    for (std::size_t i = 0; i < size && i < kShortLine; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, 8);
        const std::uint64_t feeds = word ^ (kOnes * '\n');
        // The lowest high bit marks the first line feed exactly (later ones may be false).
        const std::uint64_t first_feed = (feeds - kOnes) & ~feeds & kHighBits;
        if (first_feed != 0) {
            const std::size_t length = i + std::size_t(std::countr_zero(first_feed)) / 8;
            if (length >= size) break;
            const std::uint64_t before = (first_feed - 1) & ~first_feed;  // the bytes before it
            return {length, ((high_bits | (word & before)) & kHighBits) == 0};
        }
        high_bits |= word;
    }
    return {kNoShortLine, false};
}

}  // namespace quorel
