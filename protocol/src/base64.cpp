// Base64 of PNG files: encoding for the answers, at memory speed (each
// 12-bit half of a three-byte group is looked up as a pair of characters at
// once), and strict decoding for the client, from the same alphabet.

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "qor_webview/protocol.hpp"
#include "qor_webview/wire.hpp"

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

// The value of each character of the alphabet, -1 for every other byte.
constexpr std::array<std::int8_t, 256> make_values() {
    std::array<std::int8_t, 256> values{};
    for (auto& v : values) v = -1;
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return values;
}

constexpr std::array<std::int8_t, 256> values = make_values();

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

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3 - padding);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t full = text.size() - (padding > 0 ? 4 : 0);
    for (std::size_t i = 0; i < full; i += 4) {
        const int a = values[p[i]], b = values[p[i + 1]], c = values[p[i + 2]], d = values[p[i + 3]];
        if ((a | b | c | d) < 0) return std::nullopt;
        const std::uint32_t group = static_cast<std::uint32_t>(a) << 18 | static_cast<std::uint32_t>(b) << 12 |
                                    static_cast<std::uint32_t>(c) << 6 | static_cast<std::uint32_t>(d);
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
        out.push_back(static_cast<std::uint8_t>(group));
    }
    if (padding > 0) {
        const std::size_t i = full;
        const int a = values[p[i]], b = values[p[i + 1]];
        if ((a | b) < 0) return std::nullopt;
        if (padding == 2) {
            // The bits that fall off the end must be zero: one form per value.
            if ((b & 0x0F) != 0) return std::nullopt;
            out.push_back(static_cast<std::uint8_t>(a << 2 | b >> 4));
        } else {
            const int c = values[p[i + 2]];
            if (c < 0 || (c & 0x03) != 0) return std::nullopt;
            out.push_back(static_cast<std::uint8_t>(a << 2 | b >> 4));
            out.push_back(static_cast<std::uint8_t>((b & 0x0F) << 4 | c >> 2));
        }
    }
    return out;
}

}  // namespace qor_webview::protocol
