// Pictures from the answers: PNG decoded with cairo into pixels that the
// tests compare.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor_webview::e2e {

// A decoded PNG picture, as cairo holds it: 32-bit pixels, native-endian
// 0xAARRGGBB, alpha premultiplied (pictures without alpha read as opaque).
class Picture {
public:
    int width() const { return width_; }
    int height() const { return height_; }
    std::uint32_t pixel(int x, int y) const;  // x < width, y < height
    static std::uint8_t alpha(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 24); }
    static std::uint8_t red(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 16); }
    static std::uint8_t green(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 8); }
    static std::uint8_t blue(std::uint32_t p) { return static_cast<std::uint8_t>(p); }

private:
    friend std::optional<Picture> decode_png(std::span<const std::uint8_t> bytes);
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint32_t> pixels_;  // row after row, no padding
};

// Decodes PNG bytes; nullopt if cairo cannot read them.
std::optional<Picture> decode_png(std::span<const std::uint8_t> bytes);
// Decodes base64 PNG text as answers carry it.
std::optional<Picture> decode_png_base64(std::string_view text);

// The bytes of a PNG picture of one colour (0xAARRGGBB), for pages to fetch.
std::string solid_png(int width, int height, std::uint32_t colour);

}  // namespace qor_webview::e2e
