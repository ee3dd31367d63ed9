// The helper as a process: start-up, the answers pipe, the request reader,
// the diagnostics log and the serve loop's handling of lines it cannot
// decode, all seen from the parent's side of the three pipes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview::e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view info_window =
    " INFO qor_webview_helper::render: drawing with webkitgtk, scaling by Window";
constexpr std::string_view info_zoom = " INFO qor_webview_helper::render: drawing with webkitgtk, scaling by Zoom";
constexpr std::string_view broken_pipe =
    "ERROR qor_webview_helper::render: failed to answer: Broken pipe (os error 32)";

// A request line that cannot be decoded and whose answer names `n`, so that
// the order of the answers shows.
std::string bogus(int n) { return R"({"type":"bogus)" + std::to_string(n) + R"("})"; }

// What a descriptor of a process refers to ("pipe:[123]", a path), empty if unreadable.
std::string link_of(pid_t pid, int fd) {
    char target[256];
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Descriptors 1 and 2 are one pipe of the helper's own, whose lines it
// relays; the parent's standard error is held only on close-on-exec
// descriptors above 2, so that WebKit's processes never write to it directly.
void expect_standard_error_relayed(const Helper& helper) {
    const std::string one = link_of(helper.pid(), 1);
    EXPECT_TRUE(one.starts_with("pipe:")) << one;
    EXPECT_EQ(link_of(helper.pid(), 2), one);
    const auto on_stderr = descriptors_on(helper.pid(), helper.stderr_fd());
    EXPECT_FALSE(on_stderr.empty());
    for (const int fd : on_stderr) {
        EXPECT_GE(fd, 3);
        const auto flags = descriptor_flags(helper.pid(), fd);
        ASSERT_TRUE(flags.has_value());
        EXPECT_NE(*flags & O_CLOEXEC, 0) << "descriptor " << fd << ": " << std::oct << *flags;
    }
}

// The decoder's message for a line it must reject.
std::string decode_message(std::string_view line) {
    const auto decoded = protocol::parse_request(line);
    EXPECT_FALSE(decoded.has_value()) << "the line decodes: " << line;
    return decoded.has_value() ? std::string() : decoded.error().message;
}

// The exact answer to an undecodable line.
std::string unreadable_answer(std::string_view line) {
    std::string out = R"({"type":"failed","error":{"kind":"script","message":)";
    protocol::append_json_string(out, "unreadable request: " + decode_message(line));
    out += "}}";
    return out;
}

// Checks one answer against the line it answers, both as a whole and field by
// field, so that a fault in either shows which part is wrong.
void expect_unreadable(const std::optional<std::string>& answer, std::string_view line) {
    ASSERT_TRUE(answer.has_value()) << "no answer to: " << line.substr(0, 200);
    const auto json = parse_json(*answer);
    ASSERT_TRUE(json.has_value()) << *answer;
    EXPECT_EQ(json->text_at({"type"}), "failed");
    EXPECT_EQ(json->text_at({"error", "kind"}), "script");
    EXPECT_EQ(json->text_at({"error", "message"}), "unreadable request: " + decode_message(line));
    EXPECT_EQ(*answer, unreadable_answer(line));
}

// --------------------------------------------------------------- start-up

TEST(Startup, ReadyComesFirstAndEarlyLinesWaitForIt) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    // Sent before the helper can have started: they wait in the pipe.
    helper.send(bogus(1));
    helper.send(bogus(2));
    ASSERT_TRUE(helper.ready());
    expect_unreadable(helper.read_answer(), bogus(1));
    expect_unreadable(helper.read_answer(), bogus(2));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Startup, WithoutDisplayTheOnlyAnswerIsTheStartFailure) {
    HelperOptions options;
    options.display = DisplayKind::None;
    Helper helper(options);
    const auto answer = helper.read_answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer,
              R"({"type":"failed","error":{"kind":"start","message":"failed to start gtk: Failed to initialize GTK"}})");
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 1);
    EXPECT_EQ(log_lines(helper.stderr_text()), std::vector<std::string>{}) << helper.stderr_text();
}

TEST(Startup, InputAtEndFromTheStart) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    helper.close_stdin();
    ASSERT_TRUE(helper.ready());
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Startup, ExtraArgumentsAreIgnoredAndNotSeenByGtk) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    // Had GTK seen the display option it would fail to open that display.
    HelperOptions options;
    options.args = {"--display=:9999", "--foo", "bar"};
    Helper helper(options);
    ASSERT_TRUE(helper.ready());
    helper.send(bogus(7));
    expect_unreadable(helper.read_answer(), bogus(7));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Startup, DescriptorOneClosedAtStartBecomesNullDevice) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    HelperOptions options;
    options.stdout_closed = true;
    Helper helper(options);
    ASSERT_TRUE(helper.wait_for_stderr(info_window)) << helper.stderr_text();

    // The answers pipe duplicates /dev/null; descriptor 1 goes where standard error goes.
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null_fd, 0);
    const auto on_null = descriptors_on(helper.pid(), null_fd);
    ::close(null_fd);
    const auto answers = std::find_if(on_null.begin(), on_null.end(), [&](int fd) {
        const auto flags = descriptor_flags(helper.pid(), fd);
        return fd >= 3 && flags && (*flags & O_CLOEXEC) != 0;
    });
    EXPECT_NE(answers, on_null.end()) << "no close-on-exec descriptor on /dev/null";
    expect_standard_error_relayed(helper);

    helper.send(bogus(1));
    helper.send("");
    helper.close_stdin();
    EXPECT_EQ(helper.wait_exit(), 0);
    const auto err = helper.stderr_text();
    EXPECT_EQ(err.find(R"({"type":)"), std::string::npos) << "an answer reached standard error:\n" << err;
    EXPECT_EQ(log_lines(err), std::vector<std::string>{std::string(info_window)}) << err;
}

TEST(Startup, AnswersPipeIsOneCloseOnExecDescriptorAndStdoutGoesToStderr) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    ASSERT_TRUE(helper.wait_for_stderr(info_window)) << helper.stderr_text();

    const auto on_answers = descriptors_on(helper.pid(), helper.answers_fd());
    ASSERT_EQ(on_answers.size(), 1u) << "descriptors on the answers pipe: " << on_answers.size();
    EXPECT_GE(on_answers.front(), 3);
    const auto flags = descriptor_flags(helper.pid(), on_answers.front());
    ASSERT_TRUE(flags.has_value());
    EXPECT_NE(*flags & O_CLOEXEC, 0) << std::oct << *flags;
    expect_standard_error_relayed(helper);
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Startup, NoProcessStartedByTheHelperHoldsTheAnswersPipe) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    // Requests that make WebKit start its processes once the pipelines exist.
    helper.send(R"({"type":"evaluate","scripts":[],"result":"1+1"})");
    helper.send(R"({"type":"render_image","html":"<p>x</p>","scale":1})");
    ASSERT_TRUE(helper.read_answer().has_value());
    ASSERT_TRUE(helper.read_answer().has_value());

    const auto children = descendants(helper.pid());
    for (const pid_t child : children) {
        EXPECT_EQ(descriptors_on(child, helper.answers_fd()), std::vector<int>{})
            << "process " << child << " holds the answers pipe";
    }
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
    if (children.empty()) GTEST_SKIP() << "the helper started no process to inspect";
}

TEST(Startup, WhatLibrariesPrintOnStandardOutputGoesToStandardError) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    // GLib writes debug messages to standard output.
    HelperOptions options;
    options.env = {{"G_MESSAGES_DEBUG", "all"}};
    Helper helper(options);
    ASSERT_TRUE(helper.ready());
    for (int i = 0; i < 5; ++i) helper.send(bogus(i));
    for (int i = 0; i < 5; ++i) expect_unreadable(helper.read_answer(), bogus(i));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
    const auto err = helper.stderr_text();
    const std::string own = "(qor_webview_helper:" + std::to_string(helper.pid()) + "): ";
    EXPECT_NE(err.find(own), std::string::npos) << "no GLib message of the helper's own:\n" << err;
    EXPECT_NE(err.find("-DEBUG: "), std::string::npos) << err;
}

// ------------------------------------------------------------------ reader

TEST(Reader, CarriageReturnLineFeedEndsALine) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    struct Case {
        std::string sent;       // with its terminator
        std::string delivered;  // the line the helper must decode
    };
    // Each delivered line decodes differently from the sent text without its
    // line feed, so a carriage return left in place would show.
    const std::vector<Case> cases = {
        {"\r\n", ""},
        {"{\"type\":\"bogus\r\n", "{\"type\":\"bogus"},
        {" \r\r\n", " \r"},  // only one carriage return goes
        {"{\"type\":\"a\rb\"}\n", "{\"type\":\"a\rb\"}"},
    };
    for (const auto& c : cases) {
        const auto without_lf = c.sent.substr(0, c.sent.size() - 1);
        if (without_lf != c.delivered) {
            ASSERT_NE(decode_message(without_lf), decode_message(c.delivered)) << "case cannot tell: " << c.sent;
        }
    }
    Helper helper;
    ASSERT_TRUE(helper.ready());
    std::string all;
    for (const auto& c : cases) all += c.sent;
    ASSERT_EQ(helper.send_raw(all), 0);
    for (const auto& c : cases) expect_unreadable(helper.read_answer(), c.delivered);
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Reader, LastLineWithoutLineFeedIsServedWhole) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    // A carriage return without a line feed after it is part of the line.
    const std::string last = "{\"type\":\"bogus\r";
    ASSERT_NE(decode_message(last), decode_message("{\"type\":\"bogus"));
    ASSERT_EQ(helper.send_raw(bogus(1) + "\n" + last), 0);
    helper.close_stdin();
    expect_unreadable(helper.read_answer(), bogus(1));
    expect_unreadable(helper.read_answer(), last);
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Reader, InputEndingInLineFeedAddsNoEmptyLine) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    ASSERT_EQ(helper.send_raw(bogus(1) + "\n" + bogus(2) + "\n"), 0);
    helper.close_stdin();
    expect_unreadable(helper.read_answer(), bogus(1));
    expect_unreadable(helper.read_answer(), bogus(2));
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

class InvalidUtf8 : public ::testing::TestWithParam<std::string> {};

TEST_P(InvalidUtf8, EndsTheReadingAfterEarlierLinesAreAnswered) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    const std::string bad = R"({"type":"bad)" + GetParam() + R"("})";
    // Standard input stays open: the bad line alone must end the reading.
    ASSERT_EQ(helper.send_raw(bogus(1) + "\n" + bogus(2) + "\n" + bad + "\n" + bogus(3) + "\n"), 0);
    expect_unreadable(helper.read_answer(), bogus(1));
    expect_unreadable(helper.read_answer(), bogus(2));
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8,
                         ::testing::Values(std::string("\xff"), std::string("\x80"), std::string("\xc0\xaf"),
                                           std::string("\xe0\x80\xaf"), std::string("\xed\xa0\x80"),
                                           std::string("\xf4\x90\x80\x80"), std::string("\xe2\x82"),
                                           std::string("\xf8\x88\x80\x80\x80")));

TEST(Reader, InvalidUtf8InALastLineWithoutLineFeedIsNotAnswered) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    ASSERT_EQ(helper.send_raw(bogus(1) + "\n{\"type\":\"bad\xff\"}"), 0);
    helper.close_stdin();
    expect_unreadable(helper.read_answer(), bogus(1));
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Reader, ValidMultibyteUtf8KeepsReading) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    // Two, three and four byte characters, the highest code points of each
    // length, and a byte order mark, which is not removed.
    const std::vector<std::string> lines = {
        "{\"type\":\"caf\xc3\xa9\"}",         "{\"type\":\"\xe2\x82\xac\"}",
        "{\"type\":\"\xf0\x9d\x84\x9e\"}",    "{\"type\":\"\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf\"}",
        "\xef\xbb\xbf{\"type\":\"bom\"}",
    };
    for (const auto& line : lines) helper.send(line);
    helper.send(bogus(9));
    for (const auto& line : lines) expect_unreadable(helper.read_answer(), line);
    expect_unreadable(helper.read_answer(), bogus(9));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Reader, AThousandLinesInOneBurstAreAnsweredInOrder) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    std::vector<std::string> lines;
    std::string burst;
    for (int i = 0; i < 1000; ++i) {
        // Mostly lines whose answers name their number, with other faults between.
        switch (i % 7) {
            case 3: lines.push_back(""); break;
            case 5: lines.push_back("[" + std::to_string(i) + "]"); break;
            default: lines.push_back(bogus(i)); break;
        }
        burst += lines.back() + "\n";
    }
    ASSERT_EQ(helper.send_raw(burst), 0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto answer = helper.read_answer();
        ASSERT_TRUE(answer.has_value()) << "answer " << i;
        ASSERT_EQ(*answer, unreadable_answer(lines[i])) << "answer " << i;
    }
    // Still alive and serving.
    helper.send(bogus(1000));
    expect_unreadable(helper.read_answer(), bogus(1000));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Reader, LinesQueuedWhenInputClosesAreAllAnswered) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    std::string burst;
    for (int i = 0; i < 300; ++i) burst += bogus(i) + "\n";
    ASSERT_EQ(helper.send_raw(burst), 0);
    helper.close_stdin();
    ASSERT_TRUE(helper.ready());
    for (int i = 0; i < 300; ++i) {
        const auto answer = helper.read_answer();
        ASSERT_TRUE(answer.has_value()) << "answer " << i;
        ASSERT_EQ(*answer, unreadable_answer(bogus(i))) << "answer " << i;
    }
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

TEST(Reader, ATwentyMegabyteLineIsReadWholeAndAnswered) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    // The tag comes last, so the error's column tells how much of the line
    // the decoder saw.
    const std::string line = R"({"pad":")" + std::string(20'000'000, 'a') + R"(","type":"bogus20mb"})";
    const auto message = decode_message(line);
    ASSERT_NE(message.find("column 200000"), std::string::npos) << message;
    helper.send(line);
    helper.send(bogus(1));
    expect_unreadable(helper.read_answer(), line);
    expect_unreadable(helper.read_answer(), bogus(1));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

// ---------------------------------------------------------- unreadable lines

TEST(Unreadable, EachUndecodableLineGetsItsFailureAndServingGoesOn) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    struct Case {
        std::string line;
        std::string start;     // what the message begins with
        std::string contains;  // and what else it holds
    };
    const std::string valid = R"({"type":"evaluate","scripts":[],"result":"1"})";
    const std::string whole = ", expected internally tagged enum Request";
    const std::vector<Case> cases = {
        {"", "unreadable request: EOF while parsing a value", ""},
        {"   ", "unreadable request: EOF while parsing a value", ""},
        {" \r\t ", "unreadable request: EOF while parsing a value", ""},
        {"5", "unreadable request: invalid type: ", "`5`" + whole},
        {"-1.5", "unreadable request: invalid type: ", "`-1.5`" + whole},
        {"null", "unreadable request: invalid type: null" + whole, ""},
        {R"("render_log")", "unreadable request: invalid type: ", "\"render_log\"" + whole},
        {"{}", "unreadable request: missing field `type`", ""},
        {"[]", "unreadable request: missing field `type`", ""},
        {valid + " x", "unreadable request: trailing characters at line 1 column ", ""},
        {valid + valid, "unreadable request: trailing characters at line 1 column ", ""},
        {R"({"type":"evaluate"} x)", "unreadable request: trailing characters at line 1 column 21", ""},
        {R"({"type":"render-log"})", "unreadable request: unknown variant `render-log`, expected one of ", ""},
        {R"({"type":"render_image","html":"x"})", "unreadable request: missing field `scale`", ""},
        {"{\"type\":\"evaluate\",", "unreadable request: EOF while parsing ", ""},
        // Quote mark, line feed and a control byte travel escaped in the answer.
        {"{\"type\":\"say \\\"hi\\\"\\n\\u0001\"}", "unreadable request: unknown variant `say \"hi\"\n\x01`", ""},
    };
    Helper helper;
    ASSERT_TRUE(helper.ready());
    for (const auto& c : cases) helper.send(c.line);
    // Blanks after a valid request are allowed: not an unreadable request.
    helper.send(valid + " \t ");
    helper.send(bogus(1));
    for (const auto& c : cases) {
        const auto answer = helper.read_answer();
        expect_unreadable(answer, c.line);
        const auto json = answer ? parse_json(*answer) : std::nullopt;
        const auto message = json ? json->text_at({"error", "message"}) : std::nullopt;
        EXPECT_TRUE(message && message->starts_with(c.start) &&
                    message->find(c.contains) != std::string::npos)
            << "line: " << c.line << "\nmessage: " << message.value_or("(none)");
    }
    const auto served = helper.read_answer();
    ASSERT_TRUE(served.has_value());
    const auto json = parse_json(*served);
    ASSERT_TRUE(json.has_value());
    EXPECT_FALSE(json->text_at({"error", "message"}).value_or("").starts_with("unreadable request: ")) << *served;
    expect_unreadable(helper.read_answer(), bogus(1));
    helper.close_stdin();
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(helper.wait_exit(), 0);
}

// ------------------------------------------------------------ answers pipe

TEST(AnswersPipe, ClosedByTheParentEndsServingWithTheErrorLine) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Helper helper;
    ASSERT_TRUE(helper.ready());
    helper.close_answers();
    // One write: once the first answer fails the helper may be gone.
    ASSERT_EQ(helper.send_raw(bogus(1) + "\n" + bogus(2) + "\n"), 0);
    EXPECT_EQ(helper.wait_exit(), 0);
    const auto err = helper.stderr_text();
    EXPECT_EQ(log_lines(err), (std::vector<std::string>{std::string(info_window), std::string(broken_pipe)}))
        << err;
}

TEST(AnswersPipe, ClosedBeforeStartUpEndsFailsTheStartSilently) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    HelperOptions options;
    options.answers_closed = true;
    Helper helper(options);
    EXPECT_EQ(helper.wait_exit(), 1);
    EXPECT_EQ(log_lines(helper.stderr_text()), std::vector<std::string>{}) << helper.stderr_text();
}

TEST(AnswersPipe, OneThatCannotBeMadeIsLoggedAndEndsTheStart) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    // No descriptor 3 may be opened. Standard input starts closed so that
    // the loader has a descriptor to open the libraries with; it is /dev/null
    // again by the time the answers pipe is made.
    HelperOptions options;
    options.stdin_closed = true;
    options.descriptor_limit = 3;
    Helper helper(options);
    EXPECT_EQ(helper.wait_exit(), 1);
    EXPECT_TRUE(helper.answers_end());
    EXPECT_EQ(log_lines(helper.stderr_text()),
              std::vector<std::string>{
                  "ERROR qor_webview_helper: failed to set up the answers pipe: Invalid argument (os error 22)"})
        << helper.stderr_text();
}

// -------------------------------------------------------------------- log

TEST(Log, AFullStandardErrorDoesNotStopServingAndTheLossIsCounted) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    HelperOptions options;
    options.stderr_full = true;
    Helper helper(options);
    ASSERT_TRUE(helper.ready());
    // The renderer's INFO line meets the full pipe before the first request;
    // a log that waited for the reader would serve nothing.
    for (int i = 0; i < 20; ++i) helper.send(bogus(i));
    helper.send(R"({"type":"evaluate","scripts":[],"result":"1+1"})");
    for (int i = 0; i < 20; ++i) {
        const auto answer = helper.read_answer();
        ASSERT_TRUE(answer.has_value());
        expect_unreadable(answer, bogus(i));
    }
    EXPECT_EQ(helper.read_answer(), R"({"type":"text","text":"2"})");
    // Read again, the pipe takes the next line, the count of what was lost first.
    helper.read_stderr();
    // Once most of the filler is read there is room for both lines.
    std::string drained;
    for (int i = 0; i < 500; ++i) drained += "filler\n";
    ASSERT_TRUE(helper.wait_for_stderr(drained, 10s));
    helper.close_answers();
    ASSERT_EQ(helper.send_raw(bogus(99) + "\n"), 0);
    EXPECT_EQ(helper.wait_exit(), 0);
    const auto err = helper.stderr_text();
    EXPECT_EQ(log_lines(err),
              (std::vector<std::string>{" WARN qor_webview_helper: log lines dropped while standard error was full: 1",
                                        std::string(broken_pipe)}))
        << err;
}

TEST(Log, WhatTheLibrariesPrintDoesNotStopServingEither) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    HelperOptions options;
    options.stderr_full = true;
    // GLib's debug messages: the helper's and each new web process's own,
    // written with blocking writes to what they take for standard error.
    options.env.emplace_back("G_MESSAGES_DEBUG", "all");
    Helper helper(options);
    ASSERT_TRUE(helper.ready());
    // Each scale is a page, and a web process, of its own.
    for (const int scale : {1, 2, 3}) {
        helper.send(R"({"type":"render_log","html":"<p>x</p>","width":300,"scale":)" + std::to_string(scale) + "}");
        const auto answer = helper.read_answer();
        ASSERT_TRUE(answer.has_value());
        EXPECT_TRUE(answer->starts_with(R"({"type":"log",)")) << answer->substr(0, 200);
    }
    helper.read_stderr();
    // Once there is room, what comes next gets through, the count of what
    // was lost first.
    helper.send(R"({"type":"render_log","html":"<p>x</p>","width":300,"scale":4})");
    ASSERT_TRUE(helper.read_answer().has_value());
    ASSERT_TRUE(helper.wait_for_stderr("log lines dropped while standard error was full: ")) << helper.stderr_text();
    const auto err = helper.stderr_text();
    const auto count = err.find("log lines dropped while standard error was full: ");
    EXPECT_NE(err.find("GLib", count), std::string::npos) << "nothing of the libraries after the count:\n" << err;
    helper.close_stdin();
    EXPECT_EQ(helper.wait_exit(), 0);
}

struct LogCase {
    std::string name;
    std::optional<std::string> rust_log;  // nullopt: unset
    DisplayKind display;
    bool broken_pipe;                     // make the helper fail to answer
    std::vector<std::string_view> lines;  // the helper's log lines, in order
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class LogFilter : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogFilter, WritesExactlyTheAdmittedLines) {
    const LogCase& c = GetParam();
    QOR_E2E_NEED_DISPLAY(c.display);
    HelperOptions options;
    options.display = c.display;
    if (c.rust_log) options.env.emplace_back("RUST_LOG", *c.rust_log);
    Helper helper(options);
    ASSERT_TRUE(helper.ready());
    if (c.broken_pipe) {
        helper.close_answers();
        helper.send(bogus(1));
    } else {
        helper.send(bogus(1));
        expect_unreadable(helper.read_answer(), bogus(1));
        helper.close_stdin();
        EXPECT_TRUE(helper.answers_end());
    }
    EXPECT_EQ(helper.wait_exit(), 0);
    const auto err = helper.stderr_text();
    const std::vector<std::string> expected(c.lines.begin(), c.lines.end());
    EXPECT_EQ(log_lines(err), expected) << "standard error:\n" << err;
}

std::vector<LogCase> log_cases() {
    const auto x11 = DisplayKind::X11;
    const std::vector<std::string_view> info = {info_window};
    const std::vector<std::string_view> none;
    return {
        {"Unset", std::nullopt, x11, false, info},
        {"UnsetOnWayland", std::nullopt, DisplayKind::Wayland, false, {info_zoom}},
        {"Info", "info", x11, false, info},
        {"Warn", "warn", x11, false, none},
        {"Empty", "", x11, false, none},
        {"OnlyCommas", ",,", x11, false, none},
        {"Off", "off", x11, false, none},
        {"DigitForWarn", "2", x11, false, none},
        {"DigitForInfo", "3", x11, false, info},
        {"MixedCase", "InFo", x11, false, info},
        {"Debug", "debug", x11, false, info},
        {"Trace", "trace", x11, false, info},
        {"PageOff", "qor_webview_helper::page=off", x11, false, none},
        {"InfoButPageOff", "info,qor_webview_helper::page=off", x11, false, info},
        {"NotALevelVoidsAll", "qor_webview_helper=loud", x11, false, info},
        {"NotUnicodeVoidsAll", "warn\xff", x11, false, info},
        {"LaterEqualDirectiveWins", "qor_webview_helper=error,qor_webview_helper=warn", x11, false, none},
        {"LaterEqualDirectiveWinsUp", "qor_webview_helper=warn,qor_webview_helper=info", x11, false, info},
        {"LaterEqualDirectiveWinsDown", "qor_webview_helper=info,qor_webview_helper=warn", x11, false, none},
        {"LongerTargetFirst", "qor_webview_helper=warn,qor_webview_helper::render=info", x11, false, info},
        {"TargetBeforeNone", "qor_webview_helper::render=warn,info", x11, false, none},
        {"TargetWithoutLevelIsTrace", "qor_webview_helper::render", x11, false, info},
        {"TargetPrefixAsText", "qor", x11, false, info},
        {"PieceTrimmed", "  warn  ", x11, false, none},
        {"BrokenPipeUnset", std::nullopt, x11, true, {info_window, broken_pipe}},
        {"BrokenPipeWarn", "warn", x11, true, {broken_pipe}},
        {"BrokenPipeEmpty", "", x11, true, none},
        {"BrokenPipeLaterOff", "qor_webview_helper=error,qor_webview_helper=off", x11, true, none},
        {"BrokenPipeLaterError", "qor_webview_helper=off,qor_webview_helper=error", x11, true, {broken_pipe}},
        {"BrokenPipeOtherTarget", "qor_webview_helper::page=trace", x11, true, none},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, LogFilter, ::testing::ValuesIn(log_cases()),
                         [](const ::testing::TestParamInfo<LogCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qor_webview::e2e
