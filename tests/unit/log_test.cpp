#include <gtest/gtest.h>

#include <string>

#include "log.hpp"

namespace qor_webview_helper::log {
namespace {

constexpr const char* kMain = "qor_webview_helper";
constexpr const char* kPage = "qor_webview_helper::page";
constexpr const char* kRender = "qor_webview_helper::render";

// Which of the system's events a RUST_LOG value lets through, as a string of
// flags: render INFO, page WARN, render ERROR, main ERROR.
std::string passes(std::optional<std::string_view> value) {
    Filter f = Filter::from_env(value);
    std::string out;
    out += f.enabled(Level::Info, kRender) ? 'I' : '-';
    out += f.enabled(Level::Warn, kPage) ? 'W' : '-';
    out += f.enabled(Level::Error, kRender) ? 'E' : '-';
    out += f.enabled(Level::Error, kMain) ? 'M' : '-';
    return out;
}

TEST(LogFilter, ChoosesFromTheEnvironment) {
    EXPECT_EQ(passes(std::nullopt), "IWEM");
    EXPECT_EQ(passes("info"), "IWEM");
    EXPECT_EQ(passes("warn"), "-WEM");
    EXPECT_EQ(passes("error"), "--EM");
    EXPECT_EQ(passes("off"), "----");
    EXPECT_EQ(passes("debug"), "IWEM");
    EXPECT_EQ(passes("trace"), "IWEM");
    EXPECT_EQ(passes("WaRn"), "-WEM");
    EXPECT_EQ(passes("2"), "-WEM");
    EXPECT_EQ(passes("0"), "----");
    // An empty value, or only commas, silences everything.
    EXPECT_EQ(passes(""), "----");
    EXPECT_EQ(passes(",,"), "----");
    // Only the page target is named: nothing matches the others.
    EXPECT_EQ(passes("qor_webview_helper::page=off"), "----");
    EXPECT_EQ(passes("info,qor_webview_helper::page=off"), "I-EM");
    // A void value falls back to info.
    EXPECT_EQ(passes("qor_webview_helper=loud"), "IWEM");
    EXPECT_EQ(passes("warn,=info"), "IWEM");
    EXPECT_EQ(passes("!bad"), "IWEM");
    EXPECT_EQ(passes(std::string_view("\xff", 1)), "IWEM");
    // The later of two equal directives counts.
    EXPECT_EQ(passes("qor_webview_helper=error,qor_webview_helper=warn"), "-WEM");
    EXPECT_EQ(passes("qor_webview_helper=warn,qor_webview_helper=error"), "--EM");
}

TEST(LogFilter, MoreSpecificTargetsWin) {
    EXPECT_EQ(passes("qor_webview_helper=error,qor_webview_helper::render=info"), "I-EM");
    EXPECT_EQ(passes("qor=off,qor_webview_helper::page=warn"), "-W--");
    EXPECT_EQ(passes("error,qor_webview_helper::render"), "I-EM");  // no level: trace
    EXPECT_EQ(passes("qor_webview_helper::render="), "I-E-");
    EXPECT_EQ(passes("qor_webview_helper=+2"), "-WEM");
    EXPECT_EQ(passes("  warn  ,  "), "-WEM");
}

TEST(LogFilter, Selectors) {
    // Field names the events have: the directive applies.
    EXPECT_EQ(passes("[{message}]=warn"), "-WEM");
    // A field the events lack: the directive matches nothing.
    EXPECT_EQ(passes("[{other}]=trace"), "----");
    // Spans and field values need spans, which the system never opens.
    EXPECT_EQ(passes("[span]=trace"), "----");
    EXPECT_EQ(passes("qor_webview_helper[{message=x}]=trace,error"), "--EM");
    EXPECT_EQ(passes("[unclosed=trace"), "IWEM");
    EXPECT_EQ(passes("qor[{message}]=info"), "IWEM");
}

TEST(LogLine, FormatAndEscaping) {
    std::string line;
    format_line(line, Level::Info, kRender, "drawing with webkitgtk, scaling by Window");
    EXPECT_EQ(line, " INFO qor_webview_helper::render: drawing with webkitgtk, scaling by Window\n");
    line.clear();
    format_line(line, Level::Warn, kPage, "the web view is (800, 600), not 1024x768");
    EXPECT_EQ(line, " WARN qor_webview_helper::page: the web view is (800, 600), not 1024x768\n");
    line.clear();
    format_line(line, Level::Error, kMain, "a\x1b[31mb\nc\td\x07\x08\x0c\x7f" "\xc2\x9b" "\xc2\xa0" "\xc3\xa9");
    EXPECT_EQ(line, "ERROR qor_webview_helper: a\\x1b[31mb\nc\td\\x07\\x08\\x0c\\x7f\\u{9b}\xc2\xa0\xc3\xa9\n");
    line.clear();
    format_line(line, Level::Trace, "t", "");
    EXPECT_EQ(line, "TRACE t: \n");
    line.clear();
    format_line(line, Level::Debug, "t", "\xc2");  // a lone lead byte at the end stays
    EXPECT_EQ(line, "DEBUG t: \xc2\n");
}

}  // namespace
}  // namespace qor_webview_helper::log
