// The parent's side of the wire: request lines must decode, on the helper's
// side, to exactly the request that was encoded; answer lines must read
// back to exactly the answer that was written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "qor_webview/client.hpp"
#include "qor_webview/wire.hpp"

namespace qor_webview::protocol {
namespace {

// Texts that need every kind of care: escapes, control bytes, multi-byte
// characters, a slash, quote marks, an empty text.
const std::vector<std::string> awkward_texts = {
    "",
    "<p class=\"a\">x\\y</p>",
    std::string("nul \0 byte", 10),
    "tab\tfeed\nreturn\rbell\x07 esc\x1b del\x7f",
    "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 /slash/",
    "\"\"\\\\",
};

const std::vector<float> awkward_floats = {
    0.0f, -0.0f, 1.0f, 800.0f, 600.7f, 0.5f, 1e-7f, 2e13f, 1e-6f, 3.4028235e38f,
    std::numeric_limits<float>::denorm_min(), -123.456f, 16777217.0f, 0.1f, 1.0f / 3.0f,
};

TEST(EncodeRequest, EveryTextAndFloatDecodesToTheSameRequest) {
    for (const auto& text : awkward_texts) {
        for (const float f : awkward_floats) {
            const std::vector<Request> requests = {
                RenderLog{text, f, -f},
                RenderImage{text, f},
                Evaluate{{text, "a", text}, text},
            };
            for (const auto& request : requests) {
                const std::string line = encode_request(request);
                EXPECT_EQ(line.find('\n'), std::string::npos);
                const auto decoded = parse_request(line);
                ASSERT_TRUE(decoded.has_value()) << line << ": " << decoded.error().message;
                EXPECT_EQ(*decoded, request) << line;
            }
        }
    }
}

TEST(EncodeRequest, WritesTheTypeFirstAndTheFieldsInOrder) {
    EXPECT_EQ(encode_request(RenderLog{"<p>a</p>", 600.5f, 2.0f}),
              R"({"type":"render_log","html":"<p>a</p>","width":600.5,"scale":2.0})");
    EXPECT_EQ(encode_request(RenderImage{"x", 1.0f}), R"({"type":"render_image","html":"x","scale":1.0})");
    EXPECT_EQ(encode_request(Evaluate{{}, ""}), R"({"type":"evaluate","scripts":[],"result":""})");
    EXPECT_EQ(encode_request(Evaluate{{"a", "b\n"}, "c"}), R"({"type":"evaluate","scripts":["a","b\n"],"result":"c"})");
}

TEST(EncodeRequest, NanPrintsAsNullWhichTheHelperRefuses) {
    const std::string line = encode_request(RenderLog{"x", std::nanf(""), 1.0f});
    EXPECT_EQ(line, R"({"type":"render_log","html":"x","width":null,"scale":1.0})");
    const auto decoded = parse_request(line);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().message, "invalid type: null, expected f32");
}

TEST(ValidUtf8, AcceptsWellFormedTextOnly) {
    EXPECT_TRUE(valid_utf8(""));
    for (const auto& text : awkward_texts) EXPECT_TRUE(valid_utf8(text)) << text;
    EXPECT_TRUE(valid_utf8("\xf4\x8f\xbf\xbf"));   // U+10FFFF
    EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(valid_utf8("\xed\xa0\x80"));      // a surrogate
    EXPECT_FALSE(valid_utf8("\xc0\xaf"));          // overlong slash
    EXPECT_FALSE(valid_utf8("\xe0\x80\xaf"));      // overlong, three bytes
    EXPECT_FALSE(valid_utf8("abc\xc3"));           // cut short at the end
    EXPECT_FALSE(valid_utf8("\xe2\x82"));
    EXPECT_FALSE(valid_utf8("\x80"));              // a lone continuation byte
    EXPECT_FALSE(valid_utf8("\xff"));
}

// Writes the answer as the helper does and reads it back.
Response round_trip(const Response& response) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_TRUE(write_answer(fds[1], response).has_value());
    ::close(fds[1]);
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    EXPECT_TRUE(bytes.ends_with('\n'));
    bytes.pop_back();
    auto parsed = parse_answer(bytes);
    EXPECT_TRUE(parsed.has_value()) << bytes << ": " << (parsed ? "" : parsed.error().message);
    return parsed ? *parsed : Response{};
}

TEST(ParseAnswer, ReadsBackEveryAnswerTheHelperWrites) {
    for (const auto& text : awkward_texts) {
        const std::vector<Response> answers = {
            Ready{},
            Log{800.0f, 100.0f, {}, text},
            Log{600.7f, 5000.0f, {Band{0, 4096, "iVBOR"}, Band{4096, 904, text}}, "[]"},
            Image{text},
            Text{text},
            Failed{Failure{FailureKind::Load, text}},
            Failed{Failure{FailureKind::Script, text}},
            Failed{Failure{FailureKind::Snapshot, text}},
            Failed{Failure{FailureKind::Start, text}},
        };
        for (const auto& answer : answers) EXPECT_EQ(round_trip(answer), answer);
    }
}

TEST(ParseAnswer, NullNumbersReadAsNan) {
    const auto parsed = round_trip(Log{std::nanf(""), std::numeric_limits<float>::infinity(), {}, "[]"});
    const auto* log = std::get_if<Log>(&parsed);
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(std::isnan(log->width));
    EXPECT_TRUE(std::isnan(log->height));
}

TEST(ParseAnswer, TakesKeysInAnyOrderAndSkipsUnknownOnes) {
    const auto parsed = parse_answer(R"( {"text":"a","extra":{"b":[1,2,{}]},"type":"text"} )");
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
    EXPECT_EQ(std::get<Text>(*parsed).text, "a");
}

TEST(ParseAnswer, RejectsWhatIsNotAnAnswer) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "EOF while parsing a value"},
        {"[1]", "an answer must be a JSON object"},
        {R"({"type":"text"})", "missing field `text`"},
        {R"({"text":"a"})", "missing field `type`"},
        {R"({"type":"text","text":"a","text":"b"})", "duplicate field `text`"},
        {R"({"type":"photo"})", "unknown answer type `photo`"},
        {R"({"type":"log","width":"1","height":1,"tiles":[],"links":""})", "invalid type: string \"1\", expected f32"},
        {R"({"type":"log","width":1,"height":1,"tiles":[{"top":0,"png":""}],"links":""})", "missing field `height`"},
        {R"({"type":"log","width":1,"height":1,"tiles":{},"links":""})", "invalid type: map, expected a sequence"},
        {R"({"type":"failed","error":{"kind":"boom","message":""}})", "unknown variant `boom`"},
        {R"({"type":"failed","error":{"kind":"load"}})", "missing field `message`"},
        {R"({"type":"ready"} x)", "trailing characters"},
        {R"({"type":"text","text":"a)", "EOF while parsing a string"},
    };
    for (const auto& [line, message] : cases) {
        const auto parsed = parse_answer(line);
        ASSERT_FALSE(parsed.has_value()) << line;
        EXPECT_TRUE(parsed.error().message.starts_with(message)) << line << " -> " << parsed.error().message;
    }
}

TEST(DecodeBase64, InvertsTheEncoder) {
    std::vector<std::uint8_t> bytes;
    for (int n = 0; n < 300; ++n) {
        const auto decoded = decode_base64(encode_png(bytes));
        ASSERT_TRUE(decoded.has_value()) << n;
        EXPECT_EQ(*decoded, bytes);
        bytes.push_back(static_cast<std::uint8_t>(n * 37 + 11));
    }
}

TEST(DecodeBase64, RejectsAnyOtherText) {
    for (const std::string_view text : {"A", "AB", "ABC", "AB=C", "A===", "====", "AB*D", "AB D", "AB==AB==", "AB\nC",
                                        "AR==", "ABD="}) {
        EXPECT_FALSE(decode_base64(text).has_value()) << text;
    }
    EXPECT_EQ(decode_base64("AA=="), (std::vector<std::uint8_t>{0}));
    EXPECT_EQ(decode_base64("AAA="), (std::vector<std::uint8_t>{0, 0}));
}

}  // namespace
}  // namespace qor_webview::protocol

namespace qor_webview {
namespace {

TEST(ParseLinks, ReadsTheRectanglesOfTheLinksScript) {
    const auto links = parse_links(
        R"([{"href":"https://a.example/x?y=1&z=\"2\"","left":8,"top":10.5,"width":120.25,"height":19},)"
        R"({"href":"#top","left":-3,"top":0,"width":1e2,"height":2.5,"extra":[1]}])");
    ASSERT_TRUE(links.has_value()) << links.error().text();
    ASSERT_EQ(links->size(), 2u);
    EXPECT_EQ((*links)[0], (LinkArea{"https://a.example/x?y=1&z=\"2\"", 8, 10.5, 120.25, 19}));
    EXPECT_EQ((*links)[1], (LinkArea{"#top", -3, 0, 100, 2.5}));
    EXPECT_TRUE(parse_links("[]")->empty());
    EXPECT_TRUE(parse_links(" [ ] ")->empty());
}

TEST(ParseLinks, RejectsOtherTextsAsACallError) {
    for (const std::string_view text : {"", "{}", "[1]", R"([{"href":"a","left":1,"top":1,"width":1}])",
                                        R"([{"href":1,"left":1,"top":1,"width":1,"height":1}])",
                                        R"([{"href":"a","left":"1","top":1,"width":1,"height":1}])", "[] []"}) {
        const auto links = parse_links(text);
        ASSERT_FALSE(links.has_value()) << text;
        const auto* call = std::get_if<Error::Call>(&links.error().get());
        ASSERT_NE(call, nullptr) << text;
        EXPECT_EQ(call->call, "render_log");
        EXPECT_TRUE(call->message.starts_with("unreadable links: ")) << call->message;
    }
}

}  // namespace
}  // namespace qor_webview
