// Finding the end of a short line without a library call.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text_rules/vector_support.hpp"

namespace quorel {

// Short lines (block headers, mostly): the first kShortLine bytes are searched for the line feed,
// noting on the way whether they are ASCII; in two vectors where they are all buffered, else
// eight at a time.
constexpr std::size_t kShortLine = 32;

struct ShortLine {
    std::size_t length;  // up to the line feed; kNoShortLine if it is not in the first bytes
    bool ascii;          // every byte before the line feed is below 0x80
};
constexpr std::size_t kNoShortLine = ~std::size_t(0);

// `text` holds `size` bytes followed by at least eight readable ones, which are never taken as
// part of the line.
inline ShortLine find_short_line(const char* text, std::size_t size) noexcept {
#if QUOREL_VECTORS
    // With the whole window buffered, two 16-byte loads cover it.
    if (size >= kShortLine) {
        const __m128i feed = _mm_set1_epi8('\n');
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16));
        const std::uint32_t feeds = std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(first, feed))) |
                                    std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(second, feed))) << 16;
        if (feeds == 0) return {kNoShortLine, false};
        const std::uint32_t high_bits =
            std::uint32_t(_mm_movemask_epi8(first)) | std::uint32_t(_mm_movemask_epi8(second)) << 16;
        const unsigned length = unsigned(std::countr_zero(feeds));
        return {length, (high_bits & ((std::uint32_t(1) << length) - 1)) == 0};
    }
#endif
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
