#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qor_webview/error.hpp"
#include "qor_webview/measured.hpp"
#include "qor_webview/protocol.hpp"

namespace {

using qor_webview::Error;
using qor_webview::Measured;
using qor_webview::parse_measured;
using namespace qor_webview::protocol;

// ------------------------------------------------------------------ errors

TEST(Error, HasTheMessageTextOfEachCase) {
    const std::vector<std::pair<Error, std::string>> cases = {
        {Error::Unsupported{}, "rendering html is not supported on this platform"},
        {Error::NotMainThread{}, "the web view must be used on the main thread"},
        {Error::load("x"), "failed to load the html: x"},
        {Error::script("y"), "failed to measure the html: y"},
        {Error::snapshot("z"), "failed to take a snapshot of the html: z"},
        {Error::MissingWebKit{},
         "WebKitGTK 4.1 is not installed. Install libwebkit2gtk-4.1-0 (Ubuntu, Debian) or webkit2gtk4.1 (Fedora)."},
        {Error::Start{"no"}, "failed to start the web view: no"},
        {Error::Stopped{}, "the web view thread stopped"},
        {Error::Call{"x", "y"}, "the web view call x failed: y"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.text(), text);
}

TEST(Error, BecomesTheFailureOfItsKind) {
    const std::vector<std::pair<Error, Failure>> cases = {
        {Error::load("the load was replaced"), {FailureKind::Load, "the load was replaced"}},
        {Error::script("the script timed out"), {FailureKind::Script, "the script timed out"}},
        {Error::snapshot("failed to encode the snapshot as png: Cairo error: No Memory"),
         {FailureKind::Snapshot, "failed to encode the snapshot as png: Cairo error: No Memory"}},
        {Error::Start{""}, {FailureKind::Start, ""}},
        {Error::Start{"boom"}, {FailureKind::Start, "boom"}},
        {Error::Stopped{}, {FailureKind::Start, "the web view thread stopped"}},
        {Error::Call{"x", "y"}, {FailureKind::Start, "the web view call x failed: y"}},
        {Error::Unsupported{}, {FailureKind::Start, "rendering html is not supported on this platform"}},
        {Error::NotMainThread{}, {FailureKind::Start, "the web view must be used on the main thread"}},
        {Error::MissingWebKit{},
         {FailureKind::Start,
          "WebKitGTK 4.1 is not installed. Install libwebkit2gtk-4.1-0 (Ubuntu, Debian) or webkit2gtk4.1 (Fedora)."}},
    };
    for (auto [error, failure] : cases) EXPECT_EQ(std::move(error).into_failure(), failure);
    EXPECT_EQ(wire_name(FailureKind::Start), "start");
    EXPECT_EQ(wire_name(FailureKind::Load), "load");
    EXPECT_EQ(wire_name(FailureKind::Script), "script");
    EXPECT_EQ(wire_name(FailureKind::Snapshot), "snapshot");
}

// ---------------------------------------------------------------- measured

TEST(ParseMeasured, ReadsObjectAndArrayForms) {
    const std::vector<std::pair<std::string, Measured>> cases = {
        {R"({"body":20,"width":800,"height":20.5})", {20, 800, 20.5f}},
        {R"({"height":20.5,"body":20,"width":800})", {20, 800, 20.5f}},
        {R"({"extra":{"a":[1,{"b":null}],"c":"d"},"width":800,"height":20.5,"body":20,"more":[]})", {20, 800, 20.5f}},
        {R"( [20, 800, 20.5] )", {20, 800, 20.5f}},
        {"\n{\"body\" : 0 ,\n\"width\":0,\"height\":0}\n", {0, 0, 0}},
        {R"({"body":-5,"width":1e30,"height":0.25})", {-5, 1e30f, 0.25f}},
        {R"({"body":1e39,"width":-1e39,"height":123456789})",
         {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(), 123456792.0f}},
        {R"({"b\u006fdy":1,"width":2,"height":3})", {1, 2, 3}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const auto measured = parse_measured(text);
        ASSERT_TRUE(measured.has_value()) << measured.error().text();
        EXPECT_EQ(*measured, expected);
    }
}

TEST(ParseMeasured, PositionsEveryFailure) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"5", "invalid type: integer `5`, expected struct Measured at line 1 column 1"},
        {R"("x")", R"(invalid type: string "x", expected struct Measured at line 1 column 3)"},
        {"null", "invalid type: null, expected struct Measured at line 1 column 4"},
        {"{}", "missing field `body` at line 1 column 2"},
        {R"({"body":20,"width":800})", "missing field `height` at line 1 column 23"},
        {R"({"body":20,"height":800})", "missing field `width` at line 1 column 24"},
        {R"({"body":20,"width":null,"height":1})", "invalid type: null, expected f32 at line 1 column 23"},
        {R"({"body":"1","width":2,"height":3})", R"(invalid type: string "1", expected f32 at line 1 column 11)"},
        {R"({"width":[1],"body":1,"height":3})", "invalid type: sequence, expected f32 at line 1 column 9"},
        {R"({"width":true})", "invalid type: boolean `true`, expected f32 at line 1 column 13"},
        {R"({"body":1,"body":2})", "duplicate field `body` at line 1 column 16"},
        {R"({"body":1,"width":2,"height":3} x)", "trailing characters at line 1 column 33"},
        {R"({"body":1,"width":2,"height":3,})", "trailing comma at line 1 column 32"},
        {R"({"body":1 "width":2})", "expected `,` or `}` at line 1 column 11"},
        {"[]", "invalid length 0, expected struct Measured with 3 elements at line 1 column 2"},
        {"[20,800]", "invalid length 2, expected struct Measured with 3 elements at line 1 column 8"},
        {"[1,2,3,4]", "trailing characters at line 1 column 8"},
        {"[1,2,3,]", "trailing comma at line 1 column 8"},
        {"[1,2,3", "EOF while parsing a list at line 1 column 6"},
        {"[1,2", "EOF while parsing a list at line 1 column 4"},
        {"[1,null,3]", "invalid type: null, expected f32 at line 1 column 7"},
        {"[1,2,3] 4", "trailing characters at line 1 column 9"},
        {R"({"body":1e400,"width":2,"height":3})", "number out of range at line 1 column 13"},
        {R"({"x":)" + std::string(127, '[') + std::string(127, ']') + "}", "recursion limit exceeded at line 1 column 132"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        auto measured = parse_measured(text);
        ASSERT_FALSE(measured.has_value());
        ASSERT_TRUE(measured.error().is<Error::Script>());
        EXPECT_EQ(measured.error().text(), "failed to measure the html: " + message);
        EXPECT_EQ(std::move(measured).error().into_failure(), (Failure{FailureKind::Script, message}));
    }
}

// ---------------------------------------------------------------- base64

std::string base64_reference(const std::vector<std::uint8_t>& bytes) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const std::uint8_t b : bytes) {
        bits = bits << 8 | b;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 63];
        }
    }
    if (count > 0) out += alphabet[(bits << (6 - count)) & 63];
    while (out.size() % 4 != 0) out += '=';
    return out;
}

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(EncodePng, IsStandardBase64WithPadding) {
    EXPECT_EQ(encode_png({}), "");
    EXPECT_EQ(encode_png(bytes_of("f")), "Zg==");
    EXPECT_EQ(encode_png(bytes_of("fo")), "Zm8=");
    EXPECT_EQ(encode_png(bytes_of("foo")), "Zm9v");
    EXPECT_EQ(encode_png(bytes_of("foob")), "Zm9vYg==");
    EXPECT_EQ(encode_png(bytes_of("fooba")), "Zm9vYmE=");
    EXPECT_EQ(encode_png(bytes_of("foobar")), "Zm9vYmFy");
    EXPECT_EQ(encode_png(std::vector<std::uint8_t>{0xFB, 0xFF, 0xBF}), "+/+/");

    std::mt19937 random(7);
    for (std::size_t n = 0; n < 300; ++n) {
        std::vector<std::uint8_t> bytes(n * 7 + n % 3);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        const std::string text = encode_png(bytes);
        EXPECT_EQ(text.size(), 4 * ((bytes.size() + 2) / 3));
        EXPECT_EQ(text, base64_reference(bytes));
    }
}

}  // namespace
