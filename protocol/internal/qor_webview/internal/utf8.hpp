// The one UTF-8 check: well-formed means no overlong forms, no surrogates and
// nothing above U+10FFFF. Header-only so that the JSON reader's string loop
// and the helper's line reader inline it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qor_webview::utf8 {

// Length of the well-formed sequence at `p` (lead byte 0x80 or above, `avail`
// bytes readable), or 0 when it is not one.
inline std::size_t sequence_length(const unsigned char* p, std::size_t avail) noexcept {
    const auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    const unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF) return avail >= 2 && continuation(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (avail < 3) return 0;
        const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;  // overlong below
        const unsigned char hi = c == 0xED ? 0x9F : 0xBF;  // surrogates above
        return p[1] >= lo && p[1] <= hi && continuation(p[2]) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (avail < 4) return 0;
        const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;  // overlong below
        const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;  // above U+10FFFF
        return p[1] >= lo && p[1] <= hi && continuation(p[2]) && continuation(p[3]) ? 4 : 0;
    }
    return 0;
}

inline bool valid(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        // Request lines are mostly ASCII: runs of it go eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p == end) break;
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const std::size_t length = sequence_length(p, static_cast<std::size_t>(end - p));
        if (length == 0) return false;
        p += length;
    }
    return true;
}

}  // namespace qor_webview::utf8
