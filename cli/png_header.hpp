// The size of a PNG picture, read from its header without decoding it.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

namespace qor_webview::cli {

// Width and height from a PNG file's header; nullopt if it is no PNG file.
inline std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(std::span<const std::uint8_t> png) {
    static constexpr std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 24 || std::memcmp(png.data(), signature, 8) != 0 || std::memcmp(png.data() + 12, "IHDR", 4) != 0)
        return std::nullopt;
    const auto be32 = [&png](std::size_t at) {
        return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 |
               std::uint32_t{png[at + 3]};
    };
    return std::pair{be32(16), be32(20)};
}

}  // namespace qor_webview::cli
