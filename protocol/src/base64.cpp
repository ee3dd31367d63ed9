// Base64 of PNG files for the answers, at memory speed: each 12-bit half of
// a three-byte group is looked up as a pair of characters at once.

#include <array>
#include <cstring>
#include <string>

#include "qor_webview/protocol.hpp"

namespace qor_webview::protocol {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<char, 2 * 4096> make_pairs() {
    std::array<char, 2 * 4096> pairs{};
    for (std::size_t i = 0; i < 4096; ++i) {
        pairs[2 * i] = alphabet[i >> 6];
        pairs[2 * i + 1] = alphabet[i & 63];
    }
    return pairs;
}

constexpr std::array<char, 2 * 4096> pairs = make_pairs();

}  // namespace

std::string encode_png(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    std::string text(4 * ((n + 2) / 3), '=');
    char* out = text.data();
    const std::uint8_t* in = bytes.data();
    const std::uint8_t* const whole_end = in + n / 3 * 3;
    while (in != whole_end) {
        const std::uint32_t group = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
        std::memcpy(out, &pairs[2 * (group >> 12)], 2);
        std::memcpy(out + 2, &pairs[2 * (group & 0xFFF)], 2);
        in += 3;
        out += 4;
    }
    // The "=" already in place pads a short last group.
    switch (n % 3) {
        case 1:
            out[0] = alphabet[in[0] >> 2];
            out[1] = alphabet[(in[0] & 0x3) << 4];
            break;
        case 2:
            out[0] = alphabet[in[0] >> 2];
            out[1] = alphabet[(in[0] & 0x3) << 4 | in[1] >> 4];
            out[2] = alphabet[(in[1] & 0xF) << 2];
            break;
        default: break;
    }
    return text;
}

}  // namespace qor_webview::protocol
