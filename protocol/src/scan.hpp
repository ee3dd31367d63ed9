// Byte scans shared by the JSON reader and the answer writer. Both look for
// the few bytes that need attention in long runs of plain text, so they test
// sixteen (or eight) bytes at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor_webview::scan {

// First index at or after `i` holding a quote mark, a backslash, a control
// byte (below 0x20) or a byte of a multi-byte UTF-8 character (0x80 and up);
// `n` when there is none.
inline std::size_t find_string_special(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // A signed comparison puts the bytes from 0x80 up below 0x20 as well.
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                         _mm_cmplt_epi8(x, space));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
        i += 16;
    }
#else
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t q = w ^ (ones * '"');
            const std::uint64_t b = w ^ (ones * '\\');
            // The lowest flagged byte is always a true hit; borrows only
            // disturb the bytes above it.
            const std::uint64_t hit = (((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w) | w) & highs;
            if (hit != 0) return i + static_cast<std::size_t>(std::countr_zero(hit) >> 3);
            i += 8;
        }
    }
#endif
    while (i < n) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return i;
        ++i;
    }
    return n;
}

// First index at or after `i` holding a byte that a JSON string in an answer
// line must escape: a quote mark, a backslash or a control byte; `n` when
// there is none.
inline std::size_t find_escape(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i top_control = _mm_set1_epi8(0x1F);
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // Unsigned x <= 0x1F exactly when max(x, 0x1F) is 0x1F.
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, top_control), top_control);
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)), control);
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
        i += 16;
    }
#else
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t q = w ^ (ones * '"');
            const std::uint64_t b = w ^ (ones * '\\');
            const std::uint64_t hit = (((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w)) & highs;
            if (hit != 0) return i + static_cast<std::size_t>(std::countr_zero(hit) >> 3);
            i += 8;
        }
    }
#endif
    while (i < n) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\' || c < 0x20) return i;
        ++i;
    }
    return n;
}

}  // namespace qor_webview::scan
