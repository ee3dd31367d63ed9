#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "qor_webview/protocol.hpp"

namespace {

using qor_webview::protocol::append_f32;

std::string printed(float value) {
    std::string out;
    append_f32(out, value);
    return out;
}

// The rule, spelled out for digits d1..dn and decimal exponent e.
std::string laid_out(const std::string& digits, int e) {
    if (e >= -6 && e <= 12) {
        if (e < 0) return "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + digits;
        const auto before = static_cast<std::size_t>(e + 1);
        if (digits.size() > before) return digits.substr(0, before) + "." + digits.substr(before);
        return digits + std::string(before - digits.size(), '0') + ".0";
    }
    std::string out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    return out + "e" + (e < 0 ? "-" : "+") + std::to_string(std::abs(e));
}

float read_float(const std::string& text) {
    float value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(result.ec, std::errc{}) << text;
    EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
    return value;
}

TEST(FloatLayout, HoldsForEveryDecimalExponent) {
    for (int e = -45; e <= 38; ++e) {
        SCOPED_TRACE(e);
        // A single 1 reads back as itself down to the smallest subnormal.
        const float power = read_float("1e" + std::to_string(e));
        EXPECT_EQ(printed(power), laid_out("1", e));
        EXPECT_EQ(printed(-power), "-" + laid_out("1", e));
        // Up to six digits always survive a float while it is normal.
        if (e < -37) continue;
        for (const std::string digits : {"2", "5", "15", "125", "1024", "99999", "123457"}) {
            const std::string source = digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(e);
            if (e == 38 && digits[0] > '3') continue;  // beyond the float range
            const float value = read_float(source);
            EXPECT_EQ(printed(value), laid_out(digits, e)) << source;
            EXPECT_EQ(printed(-value), "-" + laid_out(digits, e)) << source;
        }
    }
}

// The fewest significant digits of a decimal that reads back as `value`,
// found by printing with growing precision.
int fewest_digits(float value) {
    for (int precision = 0; precision < 9; ++precision) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*e", precision, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) return precision + 1;
    }
    return 9;
}

int significant_digits(const std::string& text) {
    const std::size_t end = std::min(text.find('e'), text.size());
    std::string digits;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] >= '0' && text[i] <= '9') digits += text[i];
    }
    const std::size_t first = digits.find_first_not_of('0');
    const std::size_t last = digits.find_last_not_of('0');
    return static_cast<int>(last - first + 1);
}

TEST(FloatLayout, RandomBitPatternsReadBackExactly) {
    std::mt19937_64 random(20240601);
    constexpr int patterns = 3'000'000;
    int checked_length = 0;
    for (int i = 0; i < patterns; ++i) {
        const auto bits = static_cast<std::uint32_t>(random());
        const float value = std::bit_cast<float>(bits);
        const std::string text = printed(value);
        if (!std::isfinite(value)) {
            ASSERT_EQ(text, "null");
            continue;
        }
        const float back = read_float(text);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(back), bits) << text;

        // Positional only for exponents -6 to 12, and then always with a
        // point; scientific otherwise, with a signed exponent.
        const bool scientific = text.find('e') != std::string::npos;
        const double magnitude = std::fabs(static_cast<double>(value));
        if (value != 0) {
            const bool positional_range = magnitude >= 1e-6 * (1 - 1e-9) && magnitude < 1e13;
            ASSERT_EQ(scientific, !positional_range) << text;
        }
        if (scientific) {
            const std::size_t mark = text.find('e');
            ASSERT_TRUE(text[mark + 1] == '+' || text[mark + 1] == '-') << text;
            ASSERT_NE(text[mark + 2], '0') << text;
            ASSERT_NE(text[mark - 1], '0') << text;
            ASSERT_NE(text[mark - 1], '.') << text;
        } else {
            ASSERT_NE(text.find('.'), std::string::npos) << text;
            ASSERT_TRUE(text.back() != '0' || text.ends_with(".0")) << text;
        }
        // Shortest: never more digits than the fewest that read back.
        if (i % 16 == 0 && value != 0) {
            ASSERT_LE(significant_digits(text), fewest_digits(value)) << text;
            ++checked_length;
        }
    }
    EXPECT_GT(checked_length, 100'000);
}

}  // namespace
