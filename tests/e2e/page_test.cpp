// Pages and script evaluation seen from the parent: what `evaluate` requests
// give back, what the lock-down keeps pages from doing, how the pool keeps the
// evaluation page and replaces it once its web process is gone, and that a
// long run of requests leaks neither descriptors nor memory.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fixture.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview::e2e {
namespace {

using namespace std::chrono_literals;

using Clock = std::chrono::steady_clock;

constexpr std::string_view info_window =
    " INFO qor_webview_helper::render: drawing with webkitgtk, scaling by Window";
constexpr std::string_view ended_prefix = " WARN qor_webview_helper::page: the web process of a page ended: ";
constexpr std::string_view timed_out = R"({"type":"failed","error":{"kind":"script","message":"the script timed out"}})";

// ------------------------------------------------------------ requests

std::string json_string(std::string_view text) {
    std::string out;
    protocol::append_json_string(out, text);
    return out;
}

std::string evaluate_line(const std::vector<std::string>& scripts, std::string_view result) {
    std::string line = R"({"type":"evaluate","scripts":[)";
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        if (i > 0) line += ',';
        line += json_string(scripts[i]);
    }
    line += R"(],"result":)" + json_string(result) + "}";
    return line;
}

std::string render_log_line(std::string_view html, std::string_view width, std::string_view scale) {
    return R"({"type":"render_log","html":)" + json_string(html) + R"(,"width":)" + std::string(width) +
           R"(,"scale":)" + std::string(scale) + "}";
}

std::string render_image_line(std::string_view html, std::string_view scale) {
    return R"({"type":"render_image","html":)" + json_string(html) + R"(,"scale":)" + std::string(scale) + "}";
}

// --------------------------------------------------------------- /proc

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string command_line(pid_t pid) {
    std::string text = read_text("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// The web processes among the helper's descendants (the network process
// is left out: it runs no page).
std::vector<pid_t> web_processes(pid_t helper) {
    std::vector<pid_t> out;
    for (const pid_t child : descendants(helper)) {
        if (command_line(child).find("WebKitWebProcess") != std::string::npos) out.push_back(child);
    }
    return out;
}

// Whether a process exists and is not a zombie.
bool running(pid_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The number of open descriptors of a process, nullopt if unreadable.
std::optional<int> open_descriptors(pid_t pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return std::nullopt;
    int count = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++count;
    }
    ::closedir(d);
    return count;
}

// The resident set size in KiB, from the VmRSS line of /proc/<pid>/status.
std::optional<long> resident_kib(pid_t pid) {
    for (const auto& line : split_lines(read_text("/proc/" + std::to_string(pid) + "/status"))) {
        std::string_view l = line;
        if (!l.starts_with("VmRSS:")) continue;
        l.remove_prefix(6);
        while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
        long value = 0;
        const auto [ptr, ec] = std::from_chars(l.data(), l.data() + l.size(), value);
        if (ec != std::errc{} || std::string_view(ptr, l.data() + l.size() - ptr) != " kB") return std::nullopt;
        return value;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- text

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

// -------------------------------------------------------------- client

// A started helper that has answered `ready`, with shorthands for the
// requests these tests make.
class Client {
public:
    explicit Client(DisplayKind display = DisplayKind::X11) : helper_(options(display)) {}

    Helper& helper() { return helper_; }
    bool ok() { return helper_.started() && helper_.ready(); }

    std::optional<std::string> ask(const std::string& line, Duration timeout = answer_timeout) {
        helper_.send(line);
        return helper_.read_answer(timeout);
    }

    // The text of a `text` answer; anything else fails the test.
    std::string text(const std::vector<std::string>& scripts, std::string_view result) {
        const auto answer = ask(evaluate_line(scripts, result));
        if (!answer) {
            ADD_FAILURE() << "no answer to the result " << result;
            return {};
        }
        const auto json = parse_json(*answer);
        if (!json || json->text_at({"type"}) != "text" || !json->text_at({"text"})) {
            ADD_FAILURE() << "not a text answer to the result " << result << ": " << answer->substr(0, 500);
            return {};
        }
        return *json->text_at({"text"});
    }

    // The kind and message of a `failed` answer; anything else fails the test.
    std::pair<std::string, std::string> failure(const std::vector<std::string>& scripts, std::string_view result) {
        const auto answer = ask(evaluate_line(scripts, result));
        if (!answer) {
            ADD_FAILURE() << "no answer to the result " << result;
            return {};
        }
        const auto json = parse_json(*answer);
        if (!json || json->text_at({"type"}) != "failed") {
            ADD_FAILURE() << "not a failed answer to the result " << result << ": " << answer->substr(0, 500);
            return {};
        }
        return {json->text_at({"error", "kind"}).value_or(""), json->text_at({"error", "message"}).value_or("")};
    }

    // Ends the input and checks for an orderly end; returns the helper's own
    // log lines.
    std::vector<std::string> finish() {
        helper_.close_stdin();
        EXPECT_TRUE(helper_.answers_end());
        EXPECT_EQ(helper_.wait_exit(), 0);
        return log_lines(helper_.stderr_text());
    }

private:
    static HelperOptions options(DisplayKind display) {
        HelperOptions o;
        o.display = display;
        return o;
    }
    Helper helper_;
};

#define QOR_START(client, display) \
    QOR_E2E_NEED_DISPLAY(display);  \
    Client client(display);         \
    ASSERT_TRUE(client.ok())

// ================================================================ values

TEST(EvaluateValues, OnePlusOneIsTwo) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.ask(R"({"type":"evaluate","scripts":[],"result":"1+1"})"), R"({"type":"text","text":"2"})");
    EXPECT_EQ(s.finish(), std::vector<std::string>{std::string(info_window)});
}

TEST(EvaluateValues, StringComesBackUnchangedWithWireEscapes) {
    QOR_START(s, DisplayKind::X11);
    // The script is a string literal holding a quote, a backslash, a slash,
    // the five control characters with short escapes, three without, an
    // accented letter, a line separator and an emoji.
    const std::string request =
        R"req({"type":"evaluate","scripts":[],"result":"'a\"b\\\\c/d\\ne\\tf\\rg\\bh\\fi\\u0001j\\u001fk\\u007fl é\\u2028😀'"})req";
    const std::string expected = std::string(R"({"type":"text","text":"a\"b\\c/d\ne\tf\rg\bh\fi\u0001j\u001fk)") +
                                 "\x7f" + "l \xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80\"}";
    EXPECT_EQ(s.ask(request), expected);
    // The same text reached through the request's own escapes, not the script's.
    EXPECT_EQ(s.text({}, "'\x01\t\"\\\\'"), "\x01\t\"\\");
    s.finish();
}

TEST(EvaluateValues, ValuesComeBackInTheirScriptStringForm) {
    QOR_START(s, DisplayKind::X11);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"42", "42"},
        {"0.1 + 0.2", "0.30000000000000004"},
        {"1e21", "1e+21"},
        {"-0", "0"},
        {"0 / 0", "NaN"},
        {"1 / 3", "0.3333333333333333"},
        {"true", "true"},
        {"undefined", "undefined"},
        {"null", "null"},
        {"[1, [2, 3]]", "1,2,3"},
        {"({a: 1})", "[object Object]"},
        {"''", ""},
        {"", "undefined"},
        {"var z = 5; z", "5"},
        {"'x'.repeat(1000000).length", "1000000"},
    };
    for (const auto& [script, text] : cases) EXPECT_EQ(s.text({}, script), text) << script;

    // A megabyte of text goes out whole in one line.
    const std::string big = s.text({}, "'ab'.repeat(500000) + '!'");
    EXPECT_EQ(big.size(), 1000001u);
    EXPECT_EQ(big.find_first_not_of("ab"), 1000000u);
    s.finish();
}

TEST(EvaluateValues, TextsACStringCannotCarryStillMakeAValidAnswer) {
    QOR_START(s, DisplayKind::X11);
    // WebKit hands the value over as a NUL-terminated UTF-8 string: a NUL
    // inside cuts it, and a lone surrogate has no UTF-8 form. Whatever comes
    // back must still be one valid answer, and serving goes on.
    for (const std::string script : {"'x\\u0000y'", "'\\uD800z'", "'z\\uDC00'"}) {
        const auto answer = s.ask(evaluate_line({}, script));
        ASSERT_TRUE(answer.has_value()) << script;
        EXPECT_TRUE(valid_utf8(*answer)) << script << ": " << *answer;
        const auto json = parse_json(*answer);
        ASSERT_TRUE(json.has_value()) << script << ": " << *answer;
        EXPECT_EQ(json->text_at({"type"}), "text") << *answer;
        std::cout << "[ observed ] " << script << " gives " << *answer << "\n";
    }
    EXPECT_EQ(s.text({}, "'after'"), "after");
    s.finish();
}

// ============================================================ the scripts

TEST(EvaluateScripts, EmptyScriptListEvaluatesOnlyTheResult) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.ask(R"({"type":"evaluate","scripts":[],"result":"'only'"})"), R"({"type":"text","text":"only"})");
    // An empty script is no script at all.
    EXPECT_EQ(s.text({"", ""}, "typeof undefinedName"), "undefined");
    s.finish();
}

TEST(EvaluateScripts, ScriptEndingInACommentLineStillRuns) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"var a = 1 // note"}, "a"), "1");
    EXPECT_EQ(s.text({"var b = a + 1 // note", "var c = b * 10\n// last line"}, "c"), "20");
    // The result is evaluated as it is, comment and all.
    EXPECT_EQ(s.text({}, "a + c // note"), "21");
    s.finish();
}

TEST(EvaluateScripts, GlobalsAndTheDocumentPersistBetweenRequests) {
    QOR_START(s, DisplayKind::X11);
    const std::string origin = s.text({"var counter = 1", "window.other = 'x'"}, "String(performance.timeOrigin)");
    EXPECT_EQ(s.text({"counter += 1", "document.body.appendChild(document.createElement('p'))"}, "counter + other"),
              "2x");
    EXPECT_EQ(s.text({"counter += 1"}, "counter"), "3");
    // One document throughout: nothing was loaded in between.
    EXPECT_EQ(s.text({}, "document.querySelectorAll('p').length + ' ' + String(performance.timeOrigin)"),
              "1 " + origin);
    s.finish();
}

TEST(EvaluateScripts, PageScriptGlobalsAndScriptWorldGlobalsDoNotMix) {
    QOR_START(s, DisplayKind::X11);
    // A script element added through the shared document runs in the page's
    // own world: it sees the document but not the globals of "qor", and its
    // globals are not seen there either.
    const std::string add_page_script =
        "var e = document.createElement('script');"
        "e.textContent = \"window.fromPage = 'page'; document.title = 'page sees ' + typeof window.fromQor\";"
        "document.head.appendChild(e)";
    EXPECT_EQ(s.text({"window.fromQor = 'qor'", add_page_script},
                     "document.title + ', qor sees ' + typeof window.fromPage + ', ' + fromQor"),
              "page sees undefined, qor sees undefined, qor");
    s.finish();
}

TEST(EvaluateScripts, FailingSecondScriptKeepsTheFirstsEffectsAndStops) {
    QOR_START(s, DisplayKind::X11);
    {
        const auto [kind, message] = s.failure(
            {"window.first = 1", "throw new Error('second')", "window.third = 1"}, "window.result = 1");
        EXPECT_EQ(kind, "script");
        EXPECT_TRUE(message.ends_with("Error: second")) << message;
        EXPECT_EQ(s.text({}, "[typeof first, typeof third, typeof result].join()"), "number,undefined,undefined");
    }
    {
        // A script that does not parse stops the request the same way.
        const auto [kind, message] = s.failure({"window.fourth = 4", "(", "window.fifth = 5"}, "window.result = 1");
        EXPECT_EQ(kind, "script");
        EXPECT_NE(message.find("SyntaxError"), std::string::npos) << message;
        EXPECT_EQ(s.text({}, "[typeof fourth, typeof fifth, typeof result].join()"), "number,undefined,undefined");
    }
    s.finish();
}

TEST(EvaluateScripts, FirstDocumentIsTheBlankQorPage) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({}, "document.title"), "Qor");
    EXPECT_EQ(s.text({}, "location.href + ' ' + document.compatMode + ' ' + document.documentElement.outerHTML"),
              "about:blank CSS1Compat <html><head><title>Qor</title></head><body></body></html>");
    s.finish();
}

// ============================================================ failures

TEST(EvaluateFailures, ThrownErrorIsAScriptFailureWithItsMessageAndThePageStays) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"window.kept = 'yes'"}, "kept"), "yes");
    const auto [kind, message] = s.failure({}, "throw new Error('boom')");
    EXPECT_EQ(kind, "script");
    // WebKit's own message, which names where the script was; nothing of
    // the helper's put before it.
    EXPECT_TRUE(message.starts_with("about:blank:")) << message;
    EXPECT_TRUE(message.ends_with(": Error: boom")) << message;
    const auto [kind2, message2] = s.failure({}, "null.property");
    EXPECT_EQ(kind2, "script");
    EXPECT_NE(message2.find("TypeError"), std::string::npos) << message2;
    // A failed script does not replace the page.
    EXPECT_EQ(s.text({}, "kept + ' ' + document.title"), "yes Qor");
    const auto lines = s.finish();
    EXPECT_EQ(lines, std::vector<std::string>{std::string(info_window)});
}

TEST(EvaluateFailures, PromiseResultIsNotAValueWebKitCanReturn) {
    QOR_START(s, DisplayKind::X11);
    // Evaluation does not wait for promises: WebKit refuses a promise as a
    // result, rejected, resolved or pending alike.
    for (const std::string script :
         {"Promise.reject(new Error('nope'))", "Promise.resolve(3)", "new Promise(() => {})"}) {
        const auto answer = s.ask(evaluate_line({}, script), 8s);
        EXPECT_EQ(answer, R"({"type":"failed","error":{"kind":"script","message":"Unsupported result type"}})")
            << script;
    }
    // As a script its value is thrown away, so a rejection fails nothing.
    EXPECT_EQ(s.text({"Promise.reject(new Error('later'))"}, "'after'"), "after");
    // Values with functions in them cannot be carried over either.
    EXPECT_EQ(s.failure({}, "({f() {}})"), std::make_pair(std::string("script"), std::string("Unsupported result type")));
    EXPECT_EQ(s.text({}, "document.title"), "Qor");
    s.finish();
}

// ============================================================ lock-down

TEST(LockDown, DialogsDoNotBlock) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({}, "document.title"), "Qor");  // the page exists
    const auto start = Clock::now();
    // A dialog that waited for an answer would hold the script until the
    // 10-second limit; these come back at once.
    EXPECT_EQ(s.text({}, "alert('x'); 5"), "5");
    EXPECT_EQ(s.text({}, "String(confirm('sure?'))"), "false");
    EXPECT_EQ(s.text({}, "String(prompt('name?', 'default'))"), "null");
    EXPECT_EQ(s.text({"alert('a')", "alert('b')"}, "'after alerts'"), "after alerts");
    const auto took = Clock::now() - start;
    EXPECT_LT(took, 6s) << std::chrono::duration_cast<Duration>(took).count() << " ms";
    s.finish();
}

TEST(LockDown, GeolocationIsRefused) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"window.geo = 'pending';"
                      "navigator.geolocation.getCurrentPosition("
                      "  function () { window.geo = 'granted' },"
                      "  function (e) { window.geo = 'refused ' + e.code })"},
                     "'asked'"),
              "asked");
    // The answer arrives later, as a callback; look for it now and then.
    std::string geo;
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        geo = s.text({}, "geo");
        if (geo != "pending" || ::testing::Test::HasFailure()) break;
        std::this_thread::sleep_for(50ms);
    }
    // Code 1 is PERMISSION_DENIED.
    EXPECT_EQ(geo, "refused 1");
    s.finish();
}

TEST(LockDown, NotificationsAreRefused) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"window.asked = 'pending';"
                      "Notification.requestPermission().then(p => window.asked = p, e => window.asked = 'error')"},
                     "'asked'"),
              "asked");
    std::string asked;
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        asked = s.text({}, "asked");
        if (asked != "pending" || ::testing::Test::HasFailure()) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(asked, "denied");
    s.finish();
}

TEST(LockDown, WindowOpenOpensNothing) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({}, "document.title"), "Qor");
    const auto before = web_processes(s.helper().pid());
    EXPECT_EQ(s.text({}, "String(window.open('about:blank'))"), "null");
    EXPECT_EQ(s.text({}, "String(window.open('data:text/html,<title>Other</title>', '_blank'))"), "null");
    EXPECT_EQ(s.text({}, "String(window.open())"), "null");
    std::this_thread::sleep_for(500ms);
    // No page for a new window, so no web process for one either.
    EXPECT_EQ(web_processes(s.helper().pid()), before);
    EXPECT_EQ(s.text({}, "document.title + ' ' + location.href"), "Qor about:blank");
    s.finish();
}

// Where a navigation leads: the server's red document, 77 pixels high and
// titled "Other", instead of the page's own.
constexpr std::string_view other_document =
    "<!DOCTYPE html><title>Other</title><body style=\"margin:0;background:red\"><div style=\"height:77px\"></div>";

// Puts the server's address where a text says "{server}".
std::string with_server(std::string text, const LocalServer& server) {
    for (auto at = text.find("{server}"); at != std::string::npos; at = text.find("{server}")) {
        text.replace(at, 8, server.url());
    }
    return text;
}

struct Navigation {
    const char* name;
    std::string script;
    friend void PrintTo(const Navigation& n, std::ostream* os) { *os << n.name; }
};

class ScriptNavigation : public ::testing::TestWithParam<Navigation> {};

TEST_P(ScriptNavigation, LeavesTheDocumentInPlace) {
    QOR_START(s, DisplayKind::X11);
    LocalServer server{std::string(other_document)};
    ASSERT_TRUE(server.running());
    // The marker lives on this document's window: were the document replaced
    // by another one, even by a reload of the same HTML, it would be gone.
    EXPECT_EQ(s.text({"window.marker = 'still here'", with_server(GetParam().script, server)}, "'asked'"), "asked");
    // Give a navigation time to happen before concluding that none did.
    const auto until = Clock::now() + 2s;
    while (Clock::now() < until && !::testing::Test::HasFailure()) {
        EXPECT_EQ(s.text({}, "String(window.marker) + ' ' + document.title + ' ' + location.href"),
                  "still here Qor about:blank");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(s.text({}, "1+1"), "2");
    s.finish();
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ScriptNavigation,
    ::testing::Values(
        Navigation{"UnreachableAddress", "location.href = 'https://example.invalid/'"},
        Navigation{"DataUrl", "location.href = 'data:text/html,<title>Other</title>'"},
        Navigation{"LocalServer", "location.href = '{server}'"},
        Navigation{"LocalServerLater", "setTimeout(() => location.replace('{server}'), 0)"},
        Navigation{"FormSubmission",
                   "document.body.innerHTML = '<form method=get action=\"{server}\"></form>';"
                   "document.forms[0].submit()"},
        Navigation{"Refresh",
                   "var m = document.createElement('meta'); m.httpEquiv = 'refresh';"
                   "m.content = '0;url={server}'; document.head.appendChild(m)"},
        Navigation{"Reload", "location.reload()"},
        Navigation{"AboutBlank", "location.href = 'about:blank'"}),
    [](const auto& info) { return std::string(info.param.name); });

// A document of known size and colour, with whatever may take it elsewhere.
std::string navigating_document(std::string_view head, std::string_view script) {
    std::string html = "<!DOCTYPE html><html><head>" + std::string(head) +
                       "</head><body style=\"margin:0;background:rgb(0,0,255)\">"
                       "<div style=\"height:1234px\"></div>";
    if (!script.empty()) html += "<script>" + std::string(script) + "</script>";
    return html + "</body></html>";
}

struct SelfNavigation {
    const char* name;
    std::string head;
    std::string script;
    friend void PrintTo(const SelfNavigation& n, std::ostream* os) { *os << n.name; }
};

class ImageSelfNavigation : public ::testing::TestWithParam<SelfNavigation> {};

TEST_P(ImageSelfNavigation, KeepsTheGivenDocument) {
    QOR_START(s, DisplayKind::X11);
    LocalServer server{std::string(other_document)};
    ASSERT_TRUE(server.running());
    const auto& p = GetParam();
    const auto html = navigating_document(with_server(p.head, server), with_server(p.script, server));
    const auto answer = s.ask(render_image_line(html, "1"));
    ASSERT_TRUE(answer.has_value());
    const auto json = parse_json(*answer);
    ASSERT_TRUE(json.has_value()) << answer->substr(0, 300);
    ASSERT_EQ(json->text_at({"type"}), "image") << answer->substr(0, 300);
    const auto picture = decode_png_base64(json->text_at({"png"}).value_or(""));
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width(), 800);
    EXPECT_EQ(picture->height(), 1234);
    for (const auto& [x, y] : {std::pair{400, 20}, std::pair{400, 617}, std::pair{5, 1230}}) {
        const auto px = picture->pixel(std::min(x, picture->width() - 1), std::min(y, picture->height() - 1));
        EXPECT_EQ(Picture::red(px), 0) << x << "," << y;
        EXPECT_EQ(Picture::green(px), 0) << x << "," << y;
        EXPECT_EQ(Picture::blue(px), 255) << x << "," << y;
    }
    // The page is not stuck on the navigation: the next document comes in.
    const auto next = s.ask(render_image_line(
        "<!DOCTYPE html><body style=\"margin:0\"><div style=\"height:700px\"></div></body>", "1"));
    ASSERT_TRUE(next.has_value());
    const auto next_json = parse_json(*next);
    ASSERT_TRUE(next_json.has_value());
    const auto next_picture = decode_png_base64(next_json->text_at({"png"}).value_or(""));
    ASSERT_TRUE(next_picture.has_value()) << next->substr(0, 300);
    EXPECT_EQ(next_picture->height(), 700);
    s.finish();
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ImageSelfNavigation,
    ::testing::Values(
        SelfNavigation{"UnreachableAddress", "", "location = 'https://example.invalid/'"},
        SelfNavigation{"DataUrl", "", "location = 'data:text/html,<title>Other</title>'"},
        SelfNavigation{"LocalServer", "", "location = '{server}'"},
        SelfNavigation{"LocalServerLater", "", "setTimeout(function () { location.replace('{server}') }, 0)"},
        SelfNavigation{"Refresh", "<meta http-equiv=\"refresh\" content=\"0;url={server}\">", ""},
        SelfNavigation{"Reload", "", "location.reload()"},
        SelfNavigation{"AboutBlank", "", "location = 'about:blank'"},
        // The load fails as cancelled, which never ends the wait as a failure.
        SelfNavigation{"Stop", "", "window.stop()"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LogSelfNavigation, RefreshKeepsTheGivenDocument) {
    QOR_START(s, DisplayKind::X11);
    LocalServer server{std::string(other_document)};
    ASSERT_TRUE(server.running());
    // Log pages run no scripts, but a refresh needs none.
    const auto refreshing = s.ask(render_log_line(
        navigating_document("<meta http-equiv=\"refresh\" content=\"0;url=" + server.url() + "\">", ""), "300",
        "1"));
    ASSERT_TRUE(refreshing.has_value());
    const auto json = parse_json(*refreshing);
    ASSERT_TRUE(json.has_value());
    ASSERT_EQ(json->text_at({"type"}), "log") << refreshing->substr(0, 300);
    ASSERT_TRUE(json->get("height") && json->get("height")->number());
    EXPECT_EQ(json->get("height")->number()->text, "1234.0");
    s.finish();
}

// ================================================================ frames

// The picture of an `image` answer, or of the first band of a `log` answer.
std::optional<Picture> picture_of(const std::optional<std::string>& answer) {
    if (!answer) {
        ADD_FAILURE() << "no answer";
        return std::nullopt;
    }
    const auto json = parse_json(*answer);
    const Json* png = nullptr;
    if (json && json->text_at({"type"}) == "image") {
        png = json->get("png");
    } else if (json && json->text_at({"type"}) == "log" && json->get("tiles") && json->get("tiles")->array() &&
               !json->get("tiles")->array()->empty()) {
        png = json->get("tiles")->array()->front().get("png");
    }
    auto picture = png && png->string() ? decode_png_base64(*png->string()) : std::nullopt;
    if (!picture) ADD_FAILURE() << "no picture in " << answer->substr(0, 300);
    return picture;
}

// The colour of a pixel as "r,g,b,a", for readable failures.
std::string colour(const Picture& p, int x, int y) {
    const auto px = p.pixel(x, y);
    return std::to_string(Picture::red(px)) + "," + std::to_string(Picture::green(px)) + "," +
           std::to_string(Picture::blue(px)) + "," + std::to_string(Picture::alpha(px));
}

constexpr std::string_view frame_style = "display:block;border:0;width:200px;height:100px";

std::string coloured(std::string_view rgb) {
    return "<body style='margin:0;background:rgb(" + std::string(rgb) + ")'>";
}

TEST(Frames, FramesDrawTheirDocumentsInThePictures) {
    QOR_START(s, DisplayKind::X11);
    // Log pages run no scripts, and WebKit then leaves srcdoc frames empty;
    // a frame with an address of its own draws.
    const auto log = picture_of(s.ask(render_log_line(
        "<body style=\"margin:0\"><iframe style=\"" + std::string(frame_style) + "\" src=\"data:text/html," +
            coloured("255,0,0") + "\"></iframe>",
        "300", "1")));
    ASSERT_TRUE(log.has_value());
    EXPECT_EQ(colour(*log, 100, 50), "255,0,0,255");
    EXPECT_EQ(colour(*log, 250, 50), "0,0,0,0");

    // An image page: a frame of the document, and one that its script adds
    // once the document has loaded.
    const std::string image_html =
        "<!DOCTYPE html><body style=\"margin:0\"><iframe style=\"" + std::string(frame_style) + "\" srcdoc=\"" +
        coloured("255,0,0") + "\"></iframe><div id=slot style=\"height:100px\"></div><script>"
        "onload = () => setTimeout(() => { const f = document.createElement('iframe');"
        "f.style.cssText = '" + std::string(frame_style) + "'; f.srcdoc = \"" + coloured("0,255,0") + "\";"
        "document.getElementById('slot').appendChild(f); }, 0);</script>";
    // The added frame loads on its own time, and the snapshot may come
    // first on a busy machine: a few tries, of which one must show it (a
    // refused frame never does).
    std::optional<Picture> image;
    for (int attempt = 0; attempt < 5; ++attempt) {
        image = picture_of(s.ask(render_image_line(image_html, "1")));
        ASSERT_TRUE(image.has_value());
        if (colour(*image, 100, 150) == "0,255,0,255") break;
    }
    ASSERT_EQ(image->height(), 600);  // the viewport's height at least
    EXPECT_EQ(colour(*image, 100, 50), "255,0,0,255");
    EXPECT_EQ(colour(*image, 100, 150), "0,255,0,255");
    EXPECT_EQ(colour(*image, 300, 150), "255,255,255,255");
    s.finish();
}

TEST(Frames, AFrameAddedToTheEvaluationPageHoldsItsDocumentWhileThePageKeepsItsOwn) {
    QOR_START(s, DisplayKind::X11);
    const std::string frame_body = "document.querySelector('iframe').contentDocument.body.innerHTML";
    const auto wait_for = [&](std::string_view want) {
        std::string got;
        for (int i = 0; i < 40 && got != want; ++i) {
            got = s.text({}, "(function () { try { return " + frame_body + "; } catch (e) { return 'none'; } })()");
            if (got != want) std::this_thread::sleep_for(50ms);
        }
        return got;
    };
    EXPECT_EQ(s.text({"window.marker = 'mine'", "var f = document.createElement('iframe');"
                      "f.srcdoc = '<b>hi</b>'; document.body.appendChild(f)"},
                     "'added'"),
              "added");
    EXPECT_EQ(wait_for("<b>hi</b>"), "<b>hi</b>");
    // The frame may reload its own document; the page may not.
    EXPECT_EQ(s.text({frame_body + " = 'changed'", "document.querySelector('iframe').contentWindow.location.reload()"},
                     "'reloading'"),
              "reloading");
    EXPECT_EQ(wait_for("<b>hi</b>"), "<b>hi</b>");
    EXPECT_EQ(s.text({"location.reload()"}, "'asked'"), "asked");
    std::this_thread::sleep_for(500ms);  // time for a reload to happen, were it let through
    EXPECT_EQ(s.text({}, "window.marker + ' ' + document.title"), "mine Qor");
    s.finish();
}

// ================================================================ loads

TEST(Loads, ASubresourceThatNeverArrivesCountsAsLoadedAfterTheLimit) {
    QOR_START(s, DisplayKind::X11);
    const auto server = LocalServer::silent();
    ASSERT_TRUE(server->running());
    const auto picture = picture_of(s.ask(render_image_line(
        "<!DOCTYPE html><body style=\"margin:0;background:rgb(0,0,255)\"><div style=\"height:300px\"></div>"
        "<img src=\"" + server->url() + "never.png\" width=10 height=10>",
        "1")));
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(server->requests(), 1);
    EXPECT_EQ(colour(*picture, 400, 100), "0,0,255,255");
    s.finish();
}

TEST(Loads, AResponseWebKitCannotDisplayIsIgnoredAndThePictureComesBack) {
    QOR_START(s, DisplayKind::X11);
    LocalServer server{std::string(4096, 'z'), "application/octet-stream\r\nContent-Disposition: attachment"};
    ASSERT_TRUE(server.running());
    const auto picture = picture_of(s.ask(render_image_line(
        "<!DOCTYPE html><body style=\"margin:0;background:rgb(0,0,255)\"><iframe style=\"" +
            std::string(frame_style) + "\" src=\"" + server.url() + "file.bin\"></iframe>"
            "<div style=\"height:300px\"></div>",
        "1")));
    ASSERT_TRUE(picture.has_value());
    EXPECT_GE(server.requests(), 1);
    EXPECT_EQ(picture->height(), 600);
    EXPECT_EQ(colour(*picture, 400, 350), "0,0,255,255");
    // The page is not left on the download: the next document comes in.
    const auto next = picture_of(s.ask(render_image_line("<!DOCTYPE html><body style=\"margin:0\"><div style=\"height:700px\">", "1")));
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->height(), 700);
    s.finish();
}

// ================================================================ resize

// GTK carries out every size asked of an offscreen window, up to the
// largest pixel count, so the warning about a size not reached has no
// request that can bring it about; this is what the widest window gives.
TEST(Resize, TheWidestWindowIsReachedWithoutAWarning) {
    QOR_START(s, DisplayKind::X11);
    const auto answer = s.ask(render_log_line("<p>x</p>", "3e9", "1"));
    ASSERT_TRUE(answer.has_value());
    const auto json = parse_json(*answer);
    ASSERT_TRUE(json.has_value()) << answer->substr(0, 300);
    ASSERT_EQ(json->text_at({"type"}), "log") << answer->substr(0, 300);
    ASSERT_TRUE(json->get("width") && json->get("width")->number());
    EXPECT_EQ(json->get("width")->number()->text, "3000000000.0");
    const auto band = picture_of(answer);
    ASSERT_TRUE(band.has_value());
    EXPECT_EQ(band->height(), 100);
    EXPECT_EQ(s.finish(), std::vector<std::string>{std::string(info_window)});
}

// ====================================================== the page's end

TEST(WebProcess, NeverEndingScriptTimesOutAndTheNextRequestGetsAFreshPage) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"window.before = 'set'"}, "before + ' ' + document.title"), "set Qor");
    const auto old_processes = web_processes(s.helper().pid());

    // The follow-up waits in the queue behind the hanging request.
    const auto start = Clock::now();
    s.helper().send(evaluate_line({"window.first = 1", "while (true) {}", "window.third = 1"}, "'never'"));
    s.helper().send(evaluate_line({}, "typeof before + ' ' + typeof first + ' ' + document.title"));
    const auto answer = s.helper().read_answer(60s);
    const auto took = Clock::now() - start;
    EXPECT_EQ(answer, timed_out);
    EXPECT_GE(took, 8s) << std::chrono::duration_cast<Duration>(took).count() << " ms";
    EXPECT_LE(took, 30s) << std::chrono::duration_cast<Duration>(took).count() << " ms";
    EXPECT_TRUE(s.helper().wait_for_stderr(std::string(ended_prefix) + "TerminatedByApi")) << s.helper().stderr_text();

    EXPECT_EQ(s.helper().read_answer(), R"({"type":"text","text":"undefined undefined Qor"})");
    EXPECT_EQ(s.text({}, "1+1"), "2");
    for (const pid_t old : old_processes) {
        const auto now = web_processes(s.helper().pid());
        EXPECT_EQ(std::find(now.begin(), now.end(), old), now.end()) << "web process " << old << " still runs";
    }
    EXPECT_EQ(s.finish(), (std::vector<std::string>{std::string(info_window),
                                                    std::string(ended_prefix) + "TerminatedByApi"}));
}

TEST(WebProcess, KilledWhileIdleIsReplacedOnTheNextRequest) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"window.before = 'set'"}, "before"), "set");
    const auto victims = web_processes(s.helper().pid());
    ASSERT_FALSE(victims.empty()) << "no web process among the helper's descendants";
    for (const pid_t victim : victims) ::kill(victim, SIGKILL);

    ASSERT_TRUE(s.helper().wait_for_stderr(ended_prefix)) << s.helper().stderr_text();
    // Nothing was being served: no answer comes of it.
    const auto lines = log_lines(s.helper().stderr_text());
    ASSERT_EQ(lines.size(), 2u) << s.helper().stderr_text();
    std::cout << "[ observed ] " << lines[1] << "\n";
    EXPECT_EQ(lines[1], std::string(ended_prefix) + "Crashed");

    EXPECT_EQ(s.text({}, "typeof before + ' ' + document.title"), "undefined Qor");
    EXPECT_EQ(s.text({"window.after = 'set'"}, "after"), "set");
    EXPECT_EQ(s.text({}, "after"), "set");
    EXPECT_EQ(s.finish(), (std::vector<std::string>{std::string(info_window), std::string(ended_prefix) + "Crashed"}));
}

TEST(WebProcess, KilledDuringAScriptFailsThatRequestOnly) {
    QOR_START(s, DisplayKind::X11);
    EXPECT_EQ(s.text({"window.before = 'set'"}, "before"), "set");
    const auto victims = web_processes(s.helper().pid());
    ASSERT_FALSE(victims.empty());

    s.helper().send(evaluate_line({}, "while (true) {}"));
    std::this_thread::sleep_for(1s);  // the script is running by now (it would not matter if not)
    const auto killed = Clock::now();
    for (const pid_t victim : victims) ::kill(victim, SIGKILL);
    const auto answer = s.helper().read_answer();
    const auto took = Clock::now() - killed;
    ASSERT_TRUE(answer.has_value());
    std::cout << "[ observed ] " << *answer << "\n";
    const auto json = parse_json(*answer);
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ(json->text_at({"type"}), "failed");
    EXPECT_EQ(json->text_at({"error", "kind"}), "script");
    // The end of the web process ends the call; the limit is not waited for.
    EXPECT_NE(*answer, timed_out);
    EXPECT_LT(took, 8s) << std::chrono::duration_cast<Duration>(took).count() << " ms";

    EXPECT_EQ(s.text({}, "typeof before + ' ' + document.title"), "undefined Qor");
    EXPECT_EQ(s.finish(), (std::vector<std::string>{std::string(info_window), std::string(ended_prefix) + "Crashed"}));
}

TEST(WebProcess, NoneHoldsTheAnswersPipe) {
    QOR_START(s, DisplayKind::X11);
    const pid_t pid = s.helper().pid();
    // Every page kind at two scales, then a replaced evaluation page.
    EXPECT_EQ(s.text({}, "1+1"), "2");
    const auto evaluation = web_processes(pid);
    ASSERT_FALSE(evaluation.empty());
    for (const char* scale : {"1", "2"}) {
        const auto log = s.ask(render_log_line("<p>log</p>", "300", scale));
        ASSERT_TRUE(log.has_value());
        EXPECT_EQ(answer_type(*log), "log") << log->substr(0, 300);
        const auto image = s.ask(render_image_line("<p>image</p><script>document.title = 'x'</script>", scale));
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(answer_type(*image), "image") << image->substr(0, 300);
    }
    for (const pid_t victim : evaluation) ::kill(victim, SIGKILL);
    ASSERT_TRUE(s.helper().wait_for_stderr(ended_prefix)) << s.helper().stderr_text();
    EXPECT_EQ(s.text({}, "1+1"), "2");

    const auto children = descendants(pid);
    int web = 0;
    for (const pid_t child : children) {
        const auto count = open_descriptors(child);
        if (!count && !running(child)) continue;  // ended meanwhile: holds nothing
        // A process whose descriptors cannot be read would pass unseen.
        ASSERT_TRUE(count.has_value()) << "cannot read the descriptors of " << child << " " << command_line(child);
        EXPECT_GT(*count, 0);
        EXPECT_EQ(descriptors_on(child, s.helper().answers_fd()), std::vector<int>{})
            << "process " << child << " (" << command_line(child) << ") holds the answers pipe";
        if (command_line(child).find("WebKitWebProcess") != std::string::npos) ++web;
    }
    // Five pages were made: the check saw real web processes, not none.
    EXPECT_GE(web, 2) << "web processes inspected: " << web;
    // The helper itself holds it once, as before.
    EXPECT_EQ(descriptors_on(pid, s.helper().answers_fd()).size(), 1u);
    s.finish();
}

// ======================================================= the page pool

class EvaluationPage : public ::testing::TestWithParam<DisplayKind> {};

TEST_P(EvaluationPage, RenderRequestsNeverTouchIt) {
    QOR_START(s, GetParam());
    const std::string origin =
        s.text({"window.kept = 'yes'", "document.title = 'Changed'"}, "String(performance.timeOrigin)");
    const std::string check = "kept + ' ' + document.title + ' ' + String(performance.timeOrigin)";
    const std::string expected = "yes Changed " + origin;
    for (const char* scale : {"1", "2", "1.5", "1"}) {
        const auto log = s.ask(render_log_line("<title>Log</title><p>log</p>", "300", scale));
        ASSERT_TRUE(log.has_value());
        EXPECT_EQ(answer_type(*log), "log") << log->substr(0, 300);
        EXPECT_EQ(s.text({}, check), expected) << "after render_log at scale " << scale;
        const auto image = s.ask(render_image_line(
            "<title>Image</title><p>image</p><script>window.kept = 'no'; document.title = 'Script'</script>", scale));
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(answer_type(*image), "image") << image->substr(0, 300);
        EXPECT_EQ(s.text({}, check), expected) << "after render_image at scale " << scale;
    }
    s.finish();
}

INSTANTIATE_TEST_SUITE_P(Displays, EvaluationPage, ::testing::Values(DisplayKind::X11, DisplayKind::Wayland),
                         [](const auto& info) { return info.param == DisplayKind::X11 ? "X11" : "Wayland"; });

// =============================================================== leaks

// Descriptors and resident memory of the helper across a run of requests.
// Some seconds after its first web process starts, WebKit's memory-pressure
// monitor opens a handful of /proc and cgroup files that it then keeps; the
// warm-up waits that long so that they are not taken for a leak.
constexpr auto settle_time = 12s;

struct Usage {
    int descriptors = 0;
    long rss_kib = 0;
};

std::optional<Usage> usage(pid_t pid) {
    const auto fds = open_descriptors(pid);
    const auto rss = resident_kib(pid);
    if (!fds || !rss) return std::nullopt;
    return Usage{*fds, *rss};
}

// Runs `count` requests made by `make`, each answered with `expect` (a
// prefix of the answer), stopping at the first failure.
template <typename Make>
void run_requests(Client& s, int first, int count, Make make, std::string_view expect) {
    for (int i = first; i < first + count; ++i) {
        const auto answer = s.ask(make(i));
        ASSERT_TRUE(answer.has_value()) << "request " << i;
        ASSERT_TRUE(answer->starts_with(expect)) << "request " << i << ": " << answer->substr(0, 300);
    }
}

void warm_up(Client& s, const std::function<std::string(int)>& make, std::string_view expect) {
    const auto start = Clock::now();
    run_requests(s, 0, 50, make, expect);
    if (::testing::Test::HasFatalFailure()) return;
    std::this_thread::sleep_until(start + settle_time);
    run_requests(s, 50, 50, make, expect);
}

TEST(Leaks, EvaluateRequestsWithLargeValues) {
    QOR_START(s, DisplayKind::X11);
    // Each request carries a 16 KiB script and brings back a 64 KiB text, so
    // that anything kept per request (the value, its text, the call's result
    // object, the request) costs at least 16 KiB: 1000 of them would add
    // 16 MiB or more.
    const std::string filler(16 * 1024, 'y');
    const auto make = [&](int i) {
        if (i % 10 == 9) return evaluate_line({"var filler = '" + filler + "'"}, "throw new Error(filler)");
        return evaluate_line({"var filler = '" + filler + "'"}, "'x'.repeat(65536) + " + std::to_string(i));
    };
    const auto start = Clock::now();
    warm_up(s, make, R"({"type":)");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const auto before = usage(s.helper().pid());
    ASSERT_TRUE(before.has_value());
    run_requests(s, 100, 1000, make, R"({"type":)");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const auto after = usage(s.helper().pid());
    ASSERT_TRUE(after.has_value());
    std::cout << "[ measured ] descriptors " << before->descriptors << " -> " << after->descriptors << ", VmRSS "
              << before->rss_kib << " -> " << after->rss_kib << " KiB in "
              << std::chrono::duration_cast<Duration>(Clock::now() - start).count() << " ms\n";
    EXPECT_LE(std::abs(after->descriptors - before->descriptors), 2);
    EXPECT_LE(after->rss_kib - before->rss_kib, 12 * 1024);
    EXPECT_EQ(s.text({}, "1+1"), "2");
    s.finish();
}

TEST(Leaks, ManySmallEvaluateRequests) {
    QOR_START(s, DisplayKind::X11);
    // Small requests show what each one costs in objects of its own (a call,
    // its cancellable, its result, the wrapped script): 20000 requests that
    // each kept 200 bytes would add 4 MB.
    const auto make = [](int i) {
        const std::string n = std::to_string(i);
        if (i % 10 == 9) return evaluate_line({"var n = " + n}, "throw new Error('no ' + n)");
        return evaluate_line({"var n = " + n}, "n + 1");
    };
    const auto start = Clock::now();
    warm_up(s, make, R"({"type":)");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    run_requests(s, 100, 1900, make, R"({"type":)");
    const auto before = usage(s.helper().pid());
    ASSERT_TRUE(before.has_value());
    run_requests(s, 2000, 20000, make, R"({"type":)");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const auto after = usage(s.helper().pid());
    ASSERT_TRUE(after.has_value());
    std::cout << "[ measured ] descriptors " << before->descriptors << " -> " << after->descriptors << ", VmRSS "
              << before->rss_kib << " -> " << after->rss_kib << " KiB in "
              << std::chrono::duration_cast<Duration>(Clock::now() - start).count() << " ms\n";
    EXPECT_LE(std::abs(after->descriptors - before->descriptors), 2);
    EXPECT_LE(after->rss_kib - before->rss_kib, 3 * 1024);
    s.finish();
}

}  // namespace
}  // namespace qor_webview::e2e
