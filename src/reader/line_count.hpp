// Counting and finding line feeds in a stretch of bytes, at memory speed: a split read counts
// the lines of each piece before it knows where the piece's first block starts.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text_rules/vector_support.hpp"

namespace quorel {

inline std::uint64_t count_line_feeds(const char* bytes, std::size_t size) noexcept {
    std::uint64_t count = 0;
    std::size_t i = 0;
#if QUOREL_VECTORS
    // Byte counters that each stay below 256 for up to 255 rounds, then summed by psadbw; four
    // of them side by side, 64 bytes a round, so that a round does not wait on the one before.
    const __m128i feed = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    auto feeds_at = [&](std::size_t at) {
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at)), feed);
    };
    auto sum_of = [](__m128i sums) {
        return std::uint64_t(_mm_cvtsi128_si64(sums)) + std::uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    };
    while (size - i >= 64) {
        __m128i c0 = zero, c1 = zero, c2 = zero, c3 = zero;
        const std::size_t rounds = std::min<std::size_t>((size - i) / 64, 255);
        for (std::size_t k = 0; k < rounds; ++k, i += 64) {
            c0 = _mm_sub_epi8(c0, feeds_at(i));
            c1 = _mm_sub_epi8(c1, feeds_at(i + 16));
            c2 = _mm_sub_epi8(c2, feeds_at(i + 32));
            c3 = _mm_sub_epi8(c3, feeds_at(i + 48));
        }
        count += sum_of(_mm_add_epi64(_mm_add_epi64(_mm_sad_epu8(c0, zero), _mm_sad_epu8(c1, zero)),
                                      _mm_add_epi64(_mm_sad_epu8(c2, zero), _mm_sad_epu8(c3, zero))));
    }
    // What is left of 64 bytes, 16 at a time: the line feeds' mask.
    for (; size - i >= 16; i += 16) count += unsigned(std::popcount(unsigned(_mm_movemask_epi8(feeds_at(i)))));
#else
    // Eight at a time: the high bit of each byte that is a line feed, exactly.
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    for (; size - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        const std::uint64_t x = word ^ 0x0A0A0A0A0A0A0A0Aull;
        count += unsigned(std::popcount(~(((x & kLow7) + kLow7) | x | kLow7)));
    }
#endif
    for (; i < size; ++i) count += bytes[i] == '\n';
    return count;
}

// Where the line after the `lines`-th line feed of `bytes` starts (`lines` at least 1), or
// `size` if there are not that many.
inline std::size_t after_line_feeds(const char* bytes, std::size_t size, std::uint64_t lines) noexcept {
    std::size_t at = 0;
    for (; lines > 0; --lines) {
        const auto* feed = static_cast<const char*>(std::memchr(bytes + at, '\n', size - at));
        if (feed == nullptr) return size;
        at = std::size_t(feed - bytes) + 1;
    }
    return at;
}

}  // namespace quorel
