#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "qor_webview/protocol.hpp"

namespace {

using namespace qor_webview::protocol;

std::string error_of(std::string_view line) {
    auto decoded = parse_request(line);
    if (decoded) return "<decoded>";
    return decoded.error().message;
}

Request decode(std::string_view line) {
    auto decoded = parse_request(line);
    EXPECT_TRUE(decoded.has_value()) << line << "\n -> " << (decoded ? "" : decoded.error().message);
    if (!decoded) return Request{};
    return std::move(decoded).value();
}

const std::string evaluate_ok = R"({"type":"evaluate","scripts":[],"result":""})";

struct Decoded {
    std::string line;
    Request expected;
};

TEST(ParseRequest, DecodesEveryFormOfEveryRequest) {
    const std::vector<Decoded> cases = {
        {R"({"type":"render_log","html":"<p>x</p>","width":800,"scale":2})", RenderLog{"<p>x</p>", 800, 2}},
        {R"({"type":"render_log","html":"","width":800.0,"scale":1})", RenderLog{"", 800, 1}},
        {R"({"html":"h","scale":0.5,"width":-3,"type":"render_log"})", RenderLog{"h", -3, 0.5f}},
        {R"({"scale":1.5,"html":"h","type":"render_image"})", RenderImage{"h", 1.5f}},
        {R"({"type":"render_image","html":"h","scale":1.5})", RenderImage{"h", 1.5f}},
        {R"({"type":"evaluate","scripts":[],"result":""})", Evaluate{{}, ""}},
        {R"({"result":"r","scripts":["a","b"],"type":"evaluate"})", Evaluate{{"a", "b"}, "r"}},
        // Array forms: the tag, then the fields in declaration order.
        {R"(["render_log","h",800,1])", RenderLog{"h", 800, 1}},
        {R"(["render_image","h",2])", RenderImage{"h", 2}},
        {R"(["evaluate",[],"1"])", Evaluate{{}, "1"}},
        {R"(["evaluate",["a","b","c"],"r"])", Evaluate{{"a", "b", "c"}, "r"}},
        // Whitespace anywhere between tokens, including line breaks.
        {" \t{ \"type\" :\r\n \"evaluate\" , \"scripts\" : [ \"a\" , \"b\" ] , \"result\" : \"c\" } \t\r\n ",
         Evaluate{{"a", "b"}, "c"}},
        {" [ \"render_image\" , \"h\" , 3 ] ", RenderImage{"h", 3}},
        // Entries that name no field of the variant are ignored, whatever
        // they hold, including fields of the other variants.
        {R"({"type":"render_log","extra":{"a":[1,{"b":null,"c":[true,false]}],"d":"e"},"html":"","width":0,"scale":-1})",
         RenderLog{"", 0, -1}},
        {R"({"type":"evaluate","html":5,"width":"x","scale":null,"html":[],"html":{},"scripts":[],"result":""})",
         Evaluate{{}, ""}},
        {R"({"type":"render_image","scripts":{"a":1},"result":[],"width":"w","html":"h","scale":1})",
         RenderImage{"h", 1}},
        // Keys are compared exactly, after unescaping.
        {R"({"TYPE":5,"Type":null,"type":"evaluate","Scripts":1,"scripts":[],"result":""})", Evaluate{{}, ""}},
        {R"({"\u0074ype":"evaluate","scr\u0069pts":["x"],"result":"y"})", Evaluate{{"x"}, "y"}},
        {R"({"type":"\u0065valuate","scripts":[],"result":""})", Evaluate{{}, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(decode(c.line), c.expected);
    }
}

TEST(ParseRequest, DecodesStringsWithEscapesAndUtf8) {
    const Request request = decode(
        R"({"type":"evaluate","scripts":["a\"b\\c\/d\be\ff\ng\rh\ti","\u00e9\u20ac\ud83d\ude00\uD83D\uDE00","é€😀"],"result":"\u0000x"})");
    EXPECT_EQ(request, (Request{Evaluate{{"a\"b\\c/d\be\ff\ng\rh\ti", "é€😀😀", "é€😀"}, std::string("\0x", 2)}}));

    // Long texts with and without escapes come through unchanged.
    std::string html(3'000'000, 'a');
    for (std::size_t i = 0; i < html.size(); i += 1000) html[i] = '<';
    const std::string line = R"({"type":"render_image","html":")" + html + R"(","scale":1})";
    EXPECT_EQ(decode(line), (Request{RenderImage{html, 1}}));

    std::string escaped_line = R"({"type":"render_image","html":")";
    std::string unescaped;
    for (int i = 0; i < 100'000; ++i) {
        escaped_line += "ab\\n\\\"\\u00e9";
        unescaped += "ab\n\"é";
    }
    escaped_line += R"(","scale":1})";
    EXPECT_EQ(decode(escaped_line), (Request{RenderImage{unescaped, 1}}));
}

float width_of(const std::string& number) {
    const Request request = decode(R"({"type":"render_log","html":"","width":)" + number + R"(,"scale":1})");
    const auto* log = std::get_if<RenderLog>(&request);
    return log != nullptr ? log->width : std::numeric_limits<float>::quiet_NaN();
}

TEST(ParseRequest, ConvertsNumbersToTheNearestFloat) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float max = std::numeric_limits<float>::max();
    const std::vector<std::pair<std::string, float>> cases = {
        {"0", 0.0f},
        {"800", 800.0f},
        {"800.0", 800.0f},
        {"8e2", 800.0f},
        {"8E+2", 800.0f},
        {"80000e-2", 800.0f},
        {"0.1", 0.1f},
        {"-2.5", -2.5f},
        {"16777216", 16777216.0f},
        {"16777217", 16777216.0f},  // a tie, to even
        {"16777219", 16777220.0f},  // a tie, to even
        {"16777218.9", 16777218.0f},
        {"18446744073709551615", 18446744073709551615.0f},
        {"-9223372036854775808", -9223372036854775808.0f},
        // Integers round once, directly: through a double this one would
        // land on a tie and go down to 2^63.
        {"9223372586610589697", 9223373136366403584.0f},
        {"-9223372586610589697", -9223373136366403584.0f},
        // Integers too long for 64 bits.
        {"18446744073709551616", 18446744073709551616.0f},
        {"100000000000000000000000000000000000000", 1e38f},
        {"1000000000000000000000000000000000000000", inf},
        {"-1000000000000000000000000000000000000000", -inf},
        // Fractions go through a double first: this one is a hair above the
        // midpoint between 1 and the next float, but its double is the
        // midpoint itself, which rounds to even.
        {"1.00000005960464477550", 1.0f},
        {"3.4028235e38", max},
        {"3.40282356e38", max},
        {"3.4028236e38", inf},
        {"-3.4028236e38", -inf},
        {"1e39", inf},
        {"1e308", inf},
        {"-1e308", -inf},
        {"1.17549435e-38", std::numeric_limits<float>::min()},
        {"1.4e-45", std::numeric_limits<float>::denorm_min()},
        {"1e-46", 0.0f},
        {"1e-400", 0.0f},
        {"0e999999999999999999999", 0.0f},
        {"0.000000000000000000000000000000000000000000000000000000000001e-1000000", 0.0f},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const float got = width_of(text);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(std::signbit(got), std::signbit(expected));
    }
    const float negative_zero = width_of("-0");
    EXPECT_EQ(negative_zero, 0.0f);
    EXPECT_TRUE(std::signbit(negative_zero));
    EXPECT_TRUE(std::signbit(width_of("-0.0")));
    EXPECT_TRUE(std::signbit(width_of("-1e-400")));
}

struct Failing {
    std::string line;
    std::string message;
};

void expect_errors(const std::vector<Failing>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(error_of(c.line), c.message);
        // Decoding keeps no state: the next line decodes as ever.
        EXPECT_EQ(error_of(evaluate_ok), "<decoded>");
    }
}

TEST(ParseRequest, RejectsLinesThatAreNoRequestWithPosition) {
    expect_errors({
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"x", "expected value at line 1 column 1"},
        {"5", "invalid type: integer `5`, expected internally tagged enum Request at line 1 column 1"},
        {" -7 ", "invalid type: integer `-7`, expected internally tagged enum Request at line 1 column 3"},
        {"-1.5", "invalid type: floating point `-1.5`, expected internally tagged enum Request at line 1 column 4"},
        {"null", "invalid type: null, expected internally tagged enum Request at line 1 column 4"},
        {"true", "invalid type: boolean `true`, expected internally tagged enum Request at line 1 column 4"},
        {"false", "invalid type: boolean `false`, expected internally tagged enum Request at line 1 column 5"},
        {R"("a\"b")", "invalid type: string \"a\\\"b\", expected internally tagged enum Request at line 1 column 6"},
        // A malformed scalar reports its own syntax error first.
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"01", "invalid number at line 1 column 2"},
    });
}

TEST(ParseRequest, ChecksTheTagWhenItIsRead) {
    const std::string unknown = ", expected one of `render_log`, `render_image`, `evaluate`";
    expect_errors({
        {"{}", "missing field `type` at line 1 column 2"},
        {"{ } ", "missing field `type` at line 1 column 3"},
        {R"({"html":"x","width":1,"scale":1})", "missing field `type` at line 1 column 32"},
        {"[]", "missing field `type` at line 1 column 2"},
        {"[ ]", "missing field `type` at line 1 column 3"},
        {R"({"type":"render-log","html":"","width":1,"scale":1})",
         "unknown variant `render-log`" + unknown + " at line 1 column 20"},
        {R"({"html":"","type":"Evaluate"})", "unknown variant `Evaluate`" + unknown + " at line 1 column 28"},
        {R"(["nope","x"])", "unknown variant `nope`" + unknown + " at line 1 column 7"},
        {R"({"type":""})", "unknown variant ``" + unknown + " at line 1 column 10"},
        {R"({"type":5})", "invalid type: integer `5`, expected variant identifier at line 1 column 9"},
        {R"({"type":1.5e3})", "invalid type: floating point `1500.0`, expected variant identifier at line 1 column 13"},
        {R"({"type":null})", "invalid type: null, expected variant identifier at line 1 column 12"},
        {R"({"type":["evaluate"]})", "invalid type: sequence, expected variant identifier at line 1 column 8"},
        {R"({"type":{}})", "invalid type: map, expected variant identifier at line 1 column 8"},
        {R"([true])", "invalid type: boolean `true`, expected variant identifier at line 1 column 5"},
        {R"({"type":"evaluate","type":"evaluate"})", "duplicate field `type` at line 1 column 25"},
        {R"({"type":"evaluate","scripts":[],"result":"","\u0074ype":"x"})",
         "duplicate field `type` at line 1 column 55"},
        // The tag's error comes before any later syntax error.
        {R"({"type":"bad","html":)", "unknown variant `bad`" + unknown + " at line 1 column 13"},
    });
}

TEST(ParseRequest, ReportsFieldErrorsWithoutPosition) {
    expect_errors({
        {R"({"type":"render_log","html":"","width":1})", "missing field `scale`"},
        {R"({"type":"render_log","scale":1})", "missing field `html`"},
        {R"({"type":"render_log","html":"","scale":1})", "missing field `width`"},
        {R"({"type":"render_image","html":""})", "missing field `scale`"},
        {R"({"type":"evaluate","result":""})", "missing field `scripts`"},
        {R"({"type":"evaluate","scripts":[]})", "missing field `result`"},
        {R"({"type":"render_image","html":"a","html":"b","scale":1})", "duplicate field `html`"},
        {R"({"type":"render_log","html":"","width":1,"scale":1,"width":2})", "duplicate field `width`"},
        {R"({"type":"evaluate","scripts":[],"result":"","scripts":[]})", "duplicate field `scripts`"},
        {R"({"type":"evaluate","result":"","scripts":[],"result":""})", "duplicate field `result`"},
        {R"({"type":"render_image","html":"a","scale":1,"html":5,"html":{}})", "duplicate field `html`"},
        {R"({"scale":1,"html":"a","scale":[1],"html":5,"type":"render_image"})", "duplicate field `scale`"},
        {R"({"type":"render_log","html":"","width":"800","scale":1})", R"(invalid type: string "800", expected f32)"},
        {R"({"type":"render_log","html":"","width":null,"scale":1})", "invalid type: null, expected f32"},
        {R"({"type":"render_image","html":"","scale":true})", "invalid type: boolean `true`, expected f32"},
        {R"({"type":"render_image","html":"","scale":[1]})", "invalid type: sequence, expected f32"},
        {R"({"type":"render_image","html":"","scale":{}})", "invalid type: map, expected f32"},
        {R"({"type":"render_image","html":5,"scale":1})", "invalid type: integer `5`, expected a string"},
        {R"({"type":"render_image","html":-5,"scale":1})", "invalid type: integer `-5`, expected a string"},
        {R"({"type":"render_image","html":0.25,"scale":1})", "invalid type: floating point `0.25`, expected a string"},
        {R"({"type":"render_image","html":["x"],"scale":1})", "invalid type: sequence, expected a string"},
        {R"({"type":"render_image","html":{"a":"b"},"scale":1})", "invalid type: map, expected a string"},
        {R"({"type":"evaluate","scripts":[],"result":false})", "invalid type: boolean `false`, expected a string"},
        {R"({"type":"evaluate","scripts":"a","result":""})", R"(invalid type: string "a", expected a sequence)"},
        {R"({"type":"evaluate","scripts":{},"result":""})", "invalid type: map, expected a sequence"},
        {R"({"type":"evaluate","scripts":null,"result":""})", "invalid type: null, expected a sequence"},
        {R"({"type":"evaluate","scripts":["a",1,"b"],"result":""})", "invalid type: integer `1`, expected a string"},
        {R"({"type":"evaluate","scripts":["a",[1],true],"result":""})", "invalid type: sequence, expected a string"},
        {R"({"type":"evaluate","scripts":["a",{"b":1}],"result":""})", "invalid type: map, expected a string"},
        // Entry by entry, in line order; the missing-field test comes last.
        {R"({"type":"render_log","html":5,"html":"","width":1})", "invalid type: integer `5`, expected a string"},
        {R"({"type":"render_log","html":"","html":5,"width":1})", "duplicate field `html`"},
        {R"({"width":"x","html":5,"type":"render_log"})", R"(invalid type: string "x", expected f32)"},
        {R"({"scale":null,"type":"render_image"})", "invalid type: null, expected f32"},
        // The text of a {found} string is shown with its escapes.
        {R"({"type":"render_log","html":"","width":"a\"\\\n\u0001","scale":1})",
         R"(invalid type: string "a\"\\\n\u{1}", expected f32)"},
    });
}

TEST(ParseRequest, ChecksArrayFormsOfEveryLength) {
    expect_errors({
        {R"(["render_log"])", "invalid length 0, expected struct variant Request::RenderLog with 3 elements"},
        {R"(["render_log","h"])", "invalid length 1, expected struct variant Request::RenderLog with 3 elements"},
        {R"(["render_log","h",1])", "invalid length 2, expected struct variant Request::RenderLog with 3 elements"},
        {R"(["render_log","h",1,1,1])", "invalid length 4, expected 3 elements in sequence"},
        {R"(["render_log","h",1,1,1,[],{}])", "invalid length 6, expected 3 elements in sequence"},
        {R"(["render_image"])", "invalid length 0, expected struct variant Request::RenderImage with 2 elements"},
        {R"(["render_image","h"])", "invalid length 1, expected struct variant Request::RenderImage with 2 elements"},
        {R"(["render_image","h",1,null])", "invalid length 3, expected 2 elements in sequence"},
        {R"(["evaluate"])", "invalid length 0, expected struct variant Request::Evaluate with 2 elements"},
        {R"(["evaluate",[]])", "invalid length 1, expected struct variant Request::Evaluate with 2 elements"},
        {R"(["evaluate",[],"",""])", "invalid length 3, expected 2 elements in sequence"},
        // Elements are tested in order before the length.
        {R"(["render_log",5])", "invalid type: integer `5`, expected a string"},
        {R"(["render_log","h","1",1])", R"(invalid type: string "1", expected f32)"},
        {R"(["render_image","h",1,2,3])", "invalid length 4, expected 2 elements in sequence"},
        {R"(["evaluate","a","b"])", R"(invalid type: string "a", expected a sequence)"},
        {R"(["evaluate",[2],"b",4])", "invalid type: integer `2`, expected a string"},
    });
}

TEST(ParseRequest, ReportsEverySyntaxErrorWithItsPosition) {
    const std::string head = R"({"type":"evaluate","x":)";  // 23 bytes
    expect_errors({
        {R"(["evaluate")", "EOF while parsing a list at line 1 column 11"},
        {R"(["evaluate",[],"r")", "EOF while parsing a list at line 1 column 18"},
        {head + "[1", "EOF while parsing a list at line 1 column 25"},
        {R"({"type":"evaluate")", "EOF while parsing an object at line 1 column 18"},
        {R"({"type")", "EOF while parsing an object at line 1 column 7"},
        {head + "{", "EOF while parsing an object at line 1 column 24"},
        {R"({"type":"eval)", "EOF while parsing a string at line 1 column 13"},
        {R"({"ty)", "EOF while parsing a string at line 1 column 4"},
        {head + R"("\u12)", "EOF while parsing a string at line 1 column 28"},
        {head + R"("\)", "EOF while parsing a string at line 1 column 25"},
        {head + R"("\ud800)", "EOF while parsing a string at line 1 column 30"},
        {R"({"type":)", "EOF while parsing a value at line 1 column 8"},
        {head, "EOF while parsing a value at line 1 column 23"},
        {head + "[1,", "EOF while parsing a value at line 1 column 26"},
        {R"({"type":"evaluate",)", "EOF while parsing a value at line 1 column 19"},
        {head + "-", "EOF while parsing a value at line 1 column 24"},
        {head + "1.", "EOF while parsing a value at line 1 column 25"},
        {head + "1e+", "EOF while parsing a value at line 1 column 26"},
        {head + "tr", "EOF while parsing a value at line 1 column 25"},
        {R"({"type" "evaluate"})", "expected `:` at line 1 column 9"},
        {R"(["evaluate" []])", "expected `,` or `]` at line 1 column 13"},
        {head + "[1 2]}", "expected `,` or `]` at line 1 column 27"},
        {R"({"type":"evaluate" "x":1})", "expected `,` or `}` at line 1 column 20"},
        {head + "nul}", "expected ident at line 1 column 27"},
        {head + "True}", "expected value at line 1 column 24"},
        {head + "}", "expected value at line 1 column 24"},
        {head + "[,1]}", "expected value at line 1 column 25"},
        {head + "'a'}", "expected value at line 1 column 24"},
        {head + R"("\q"})", "invalid escape at line 1 column 26"},
        {head + R"("\u12G4"})", "invalid escape at line 1 column 29"},
        {head + "01}", "invalid number at line 1 column 25"},
        {head + "-x}", "invalid number at line 1 column 25"},
        {head + "1.}", "invalid number at line 1 column 26"},
        {head + "1.e5}", "invalid number at line 1 column 26"},
        {head + "1e}", "invalid number at line 1 column 26"},
        {head + ".5}", "expected value at line 1 column 24"},
        {head + "+1}", "expected value at line 1 column 24"},
        {head + "1e400}", "number out of range at line 1 column 28"},
        {head + "-1.5e309}", "number out of range at line 1 column 31"},
        {head + "1" + std::string(400, '0') + "}", "number out of range at line 1 column 424"},
        {head + "\"\xff\"}", "invalid unicode code point at line 1 column 25"},
        {head + "\"\xc3\"}", "invalid unicode code point at line 1 column 25"},
        {head + "\"\xed\xa0\x80\"}", "invalid unicode code point at line 1 column 25"},
        {head + "\"\xc0\xaf\"}", "invalid unicode code point at line 1 column 25"},
        {"{\"type\":\"eval\tuate\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 14"},
        {head + std::string("\"a\0b\"}", 5), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 26"},
        {R"({"type":"evaluate",5:1})", "key must be a string at line 1 column 20"},
        {R"({type:"evaluate"})", "key must be a string at line 1 column 2"},
        {head + R"("\udc00"})", "lone leading surrogate in hex escape at line 1 column 30"},
        {head + R"("\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 36"},
        {head + R"("\ud800x"})", "unexpected end of hex escape at line 1 column 31"},
        {head + R"("\ud800\x"})", "unexpected end of hex escape at line 1 column 32"},
        {R"({"type":"evaluate",})", "trailing comma at line 1 column 20"},
        {R"(["evaluate",])", "trailing comma at line 1 column 13"},
        {head + "[1,]}", "trailing comma at line 1 column 27"},
        {R"({"type":"evaluate","x":[1,],"scripts":[],"result":""})", "trailing comma at line 1 column 27"},
        {evaluate_ok + "}", "trailing characters at line 1 column 45"},
        {evaluate_ok + " x", "trailing characters at line 1 column 46"},
        {evaluate_ok + evaluate_ok, "trailing characters at line 1 column 45"},
        {R"(["evaluate",[],""] [])", "trailing characters at line 1 column 20"},
        // The whole line is read before any field is filled, so trailing
        // text wins over every field error.
        {R"({"type":"evaluate"} x)", "trailing characters at line 1 column 21"},
        {R"(["render_log","x",1] x)", "trailing characters at line 1 column 22"},
        {R"({"type":"evaluate","result":1,"scripts":[]}])", "trailing characters at line 1 column 44"},
        {R"({"type":"evaluate","result":"","result":"","scripts":[]}{})", "trailing characters at line 1 column 57"},
        // Line breaks between tokens count lines; columns restart.
        {"{\"type\":\"evaluate\",\n\"x\":}", "expected value at line 2 column 5"},
        {"{\n\"type\":\"nope\"\n}", "unknown variant `nope`, expected one of `render_log`, `render_image`, `evaluate` at line 2 column 13"},
        {"\n\n{", "EOF while parsing an object at line 3 column 1"},
    });
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ParseRequest, LimitsNestingTo127LevelsWithTheRequestItself) {
    // The request object is level 1, so an entry may hold 126 more.
    const std::string prefix = R"({"type":"evaluate","scripts":[],"result":"","x":)";
    EXPECT_EQ(error_of(prefix + nested(126) + "}"), "<decoded>");
    EXPECT_EQ(error_of(prefix + nested(127) + "}"),
              "recursion limit exceeded at line 1 column " + std::to_string(prefix.size() + 127));

    // Objects count like arrays; the ignored entry may also come first.
    std::string objects;
    for (int i = 0; i < 125; ++i) objects += R"({"a":)";
    objects += "[]";
    for (int i = 0; i < 125; ++i) objects += "}";
    EXPECT_EQ(error_of(R"({"x":)" + objects + R"(,"type":"evaluate","scripts":[],"result":""})"), "<decoded>");
    EXPECT_EQ(error_of(R"({"x":{"b":)" + objects + R"(},"type":"evaluate","scripts":[],"result":""})"),
              "recursion limit exceeded at line 1 column " + std::to_string(5 + 5 + 125 * 5 + 1));

    // Inside a field's value, and in the array form.
    const std::string scripts = R"({"type":"evaluate","result":"","scripts":)";
    EXPECT_EQ(error_of(scripts + nested(126) + "}"), "invalid type: sequence, expected a string");
    EXPECT_EQ(error_of(scripts + nested(127) + "}"),
              "recursion limit exceeded at line 1 column " + std::to_string(scripts.size() + 127));
    EXPECT_EQ(error_of(R"(["evaluate",[],"",)" + nested(126) + "]"),
              "invalid length 3, expected 2 elements in sequence");
    EXPECT_EQ(error_of(R"(["evaluate",[],"",)" + nested(127) + "]"),
              "recursion limit exceeded at line 1 column 145");
    EXPECT_EQ(error_of(nested(127)), "invalid type: sequence, expected variant identifier at line 1 column 1");
    EXPECT_EQ(error_of(nested(128)), "invalid type: sequence, expected variant identifier at line 1 column 1");
    EXPECT_EQ(error_of(std::string(127, '{')), "key must be a string at line 1 column 2");
}

TEST(ParseRequest, SurvivesHugeAndDeepLines) {
    // Millions of brackets end at the limit; millions of shallow entries
    // and siblings are read through.
    EXPECT_EQ(error_of(R"(["evaluate",)" + std::string(10'000'000, '[')),
              "recursion limit exceeded at line 1 column 139");
    EXPECT_EQ(error_of(R"({"x":)" + std::string(10'000'000, '{')), "key must be a string at line 1 column 7");
    std::string wide = R"({"type":"evaluate","scripts":[)";
    for (int i = 0; i < 500'000; ++i) wide += R"("s",)";
    wide += R"("t"],"x":[)";
    for (int i = 0; i < 500'000; ++i) wide += R"([{"a":[1e5,"b"]}],)";
    wide += R"(0],"result":"r"})";
    const auto decoded = parse_request(wide);
    ASSERT_TRUE(decoded.has_value());
    const auto& evaluate = std::get<Evaluate>(*decoded);
    EXPECT_EQ(evaluate.scripts.size(), 500'001u);
    EXPECT_EQ(evaluate.scripts.back(), "t");
    EXPECT_EQ(evaluate.result, "r");
}

}  // namespace
