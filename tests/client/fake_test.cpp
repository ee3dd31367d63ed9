// The client against a stand-in helper that misbehaves on purpose: start-up
// faults, answers that do not fit, processes that crash, hang, close their
// answers or flood their standard error. No display is needed.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qor_webview/client.hpp"
#include "qor_webview/wire.hpp"

namespace qor_webview {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ClientOptions fake(std::string_view mode) {
    ClientOptions options;
    options.helper = QOR_FAKE_HELPER;
    options.environment = {{"QOR_FAKE_MODE", std::string(mode)}};
    options.start_timeout = 10s;
    options.call_timeout = 10s;
    // Only the misbehaving modes ever wait for it.
    options.stop_timeout = 500ms;
    options.on_stderr = [](std::string_view) {};
    return options;
}

Milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<Milliseconds>(Clock::now() - start);
}

// Our open descriptors.
std::size_t open_descriptors() {
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n - 1;  // the listing's own
}

// The processes whose parent is this one, zombies included.
std::vector<int> children() {
    std::vector<int> found;
    const std::string self = std::to_string(::getpid());
    DIR* dir = ::opendir("/proc");
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        std::getline(stat, text);
        // pid (comm) state ppid ...; comm may hold spaces and parentheses.
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid != self) continue;
        const std::string_view name = entry->d_name;
        int pid = 0;
        std::from_chars(name.data(), name.data() + name.size(), pid);
        found.push_back(pid);
    }
    ::closedir(dir);
    return found;
}

// Whether `pid` is gone and reaped (a zombie still takes signals).
bool gone(int pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

template <class C, class T>
const C* error_case(const Expected<T, Error>& result) {
    return result ? nullptr : std::get_if<C>(&result.error().get());
}

// A file in a fresh temporary folder, removed with the folder.
class TempFile {
public:
    TempFile(std::string_view name, std::string_view content, mode_t mode) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qor-client-XXXXXX";
        dir_ = ::mkdtemp(templ.data());
        path_ = dir_ + "/" + std::string(name);
        std::ofstream(path_, std::ios::binary) << content;
        ::chmod(path_.c_str(), mode);
    }
    ~TempFile() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string dir_, path_;
};

// ---------------------------------------------------------------- start-up

TEST(ClientStart, AMissingExecutableIsAStartErrorNamingIt) {
    ClientOptions options = fake("serve");
    options.helper = "/nonexistent/qor_webview_helper";
    const auto client = Client::start(options);
    const auto* start = error_case<Error::Start>(client);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->message, "cannot run /nonexistent/qor_webview_helper: No such file or directory (os error 2)");
    EXPECT_TRUE(children().empty());
}

TEST(ClientStart, AFileThatCannotBeRunIsAStartError) {
    const TempFile file("qor_webview_helper", "#!/bin/sh\necho '{\"type\":\"ready\"}'\n", 0644);
    ClientOptions options = fake("serve");
    options.helper = file.path();
    const auto client = Client::start(options);
    const auto* start = error_case<Error::Start>(client);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->message, "cannot run " + file.path() + ": Permission denied (os error 13)");
}

TEST(ClientStart, AnExecutableForAnotherPlatformIsUnsupported) {
    const TempFile file("qor_webview_helper", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(200, '\x5a'), 0755);
    ClientOptions options = fake("serve");
    options.helper = file.path();
    const auto client = Client::start(options);
    ASSERT_NE(error_case<Error::Unsupported>(client), nullptr) << client.error().text();
    EXPECT_EQ(client.error().text(), "rendering html is not supported on this platform");
}

TEST(ClientStart, TheLoaderMissingWebKitIsMissingWebKitAndItsLineIsForwarded) {
    std::vector<std::string> lines;
    ClientOptions options = fake("missing-webkit");
    options.on_stderr = [&lines](std::string_view line) { lines.emplace_back(line); };
    const auto client = Client::start(options);
    ASSERT_NE(error_case<Error::MissingWebKit>(client), nullptr) << client.error().text();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].find("libwebkit2gtk-4.1.so.0: cannot open shared object file") != std::string::npos);
    EXPECT_TRUE(children().empty());
}

TEST(ClientStart, AnExitBeforeReadyGivesTheStatusAndTheLastWords) {
    const auto client = Client::start(fake("exit"));
    const auto* start = error_case<Error::Start>(client);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->message, "the helper exited with status 3 before it was ready: last words");
    EXPECT_TRUE(children().empty());
}

TEST(ClientStart, ASilentHelperIsKilledAtTheTimeLimit) {
    ClientOptions options = fake("silent");
    options.start_timeout = 300ms;
    const auto begun = Clock::now();
    const auto client = Client::start(options);
    const auto took = since(begun);
    const auto* start = error_case<Error::Start>(client);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->message, "no start-up answer within 300 ms");
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2000ms);
    EXPECT_TRUE(children().empty());
}

TEST(ClientStart, AFirstAnswerOtherThanReadyIsAStartError) {
    const auto client = Client::start(fake("not-ready"));
    const auto* start = error_case<Error::Start>(client);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->message, R"(the start-up answer was not `ready`: {"type":"text","text":"hello"})");
    EXPECT_TRUE(children().empty());
}

TEST(ClientStart, TheEnvironmentVariableNamesTheHelperWhenNoPathIsGiven) {
    ClientOptions options = fake("serve");
    options.helper.clear();
    ::setenv("QOR_WEBVIEW_HELPER", QOR_FAKE_HELPER, 1);
    auto client = Client::start(options);
    ::unsetenv("QOR_WEBVIEW_HELPER");
    ASSERT_TRUE(client.has_value()) << client.error().text();
    EXPECT_EQ(client->helper_path(), QOR_FAKE_HELPER);
    EXPECT_EQ(client->evaluate({}, "yes").value(), "yes");
}

// ------------------------------------------------------------------ answers

TEST(ClientAnswers, EachRequestGetsItsTypedResult) {
    auto client = Client::start(fake("serve"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const auto log = client->render_log("<p>x</p>", 600, 2);
    ASSERT_TRUE(log.has_value()) << log.error().text();
    EXPECT_EQ(log->width, 1.0f);
    ASSERT_EQ(log->bands.size(), 1u);
    EXPECT_EQ(log->bands[0].png.size(), 70u);
    EXPECT_EQ(std::string(log->bands[0].png.begin() + 1, log->bands[0].png.begin() + 4), "PNG");
    EXPECT_EQ(log->links, "[]");
    const auto image = client->render_image("<p>x</p>", 1);
    ASSERT_TRUE(image.has_value()) << image.error().text();
    EXPECT_EQ(*image, log->bands[0].png);
    EXPECT_EQ(client->evaluate({"a", "b"}, "the result").value(), "the result");
}

TEST(ClientAnswers, AnAnswerOfTheWrongKindIsACallErrorNamingTheRequest) {
    auto client = Client::start(fake("wrong-kind"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const auto text = client->evaluate({}, "1");
    const auto* call = error_case<Error::Call>(text);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->call, "evaluate");
    EXPECT_EQ(call->message, "the helper answered `image`");
    for (int i = 0; i < 2; ++i) {
        const auto log = client->render_log("x", 100, 1);
        call = error_case<Error::Call>(log);
        ASSERT_NE(call, nullptr);
        EXPECT_EQ(log.error().text(), "the web view call render_log failed: the helper answered `text`");
    }
    // Each answer went to its own request: the helper still serves.
    EXPECT_TRUE(client->running());
}

TEST(ClientAnswers, AnUnreadableAnswerIsACallErrorAndTheNextOneStillFits) {
    auto client = Client::start(fake("garbage"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const auto text = client->evaluate({}, "1");
    const auto* call = error_case<Error::Call>(text);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->call, "evaluate");
    EXPECT_TRUE(call->message.starts_with("unreadable answer: EOF while parsing a value at line 1 column "))
        << call->message;
    const auto image = client->render_image("bad-base64", 1);
    call = error_case<Error::Call>(image);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->message, "the picture is not valid base64");
}

TEST(ClientAnswers, FailedAnswersBecomeTheErrorOfTheirKind) {
    auto client = Client::start(fake("fail-each"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const std::string message = "it \"broke\"";
    const auto load = client->evaluate({}, "load");
    ASSERT_NE(error_case<Error::Load>(load), nullptr);
    EXPECT_EQ(load.error().text(), "failed to load the html: " + message);
    const auto script = client->evaluate({}, "script");
    ASSERT_NE(error_case<Error::Script>(script), nullptr);
    EXPECT_EQ(script.error().text(), "failed to measure the html: " + message);
    const auto snapshot = client->evaluate({}, "snapshot");
    ASSERT_NE(error_case<Error::Snapshot>(snapshot), nullptr);
    EXPECT_EQ(snapshot.error().text(), "failed to take a snapshot of the html: " + message);
    const auto start = client->evaluate({}, "start");
    ASSERT_NE(error_case<Error::Start>(start), nullptr);
    EXPECT_EQ(std::get<Error::Start>(start.error().get()).message, message);
}

TEST(ClientAnswers, WhatCannotBeSentIsACallErrorAndNothingIsSent) {
    auto client = Client::start(fake("serve"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const auto nan_width = client->render_log("x", std::nanf(""), 1);
    ASSERT_NE(error_case<Error::Call>(nan_width), nullptr);
    EXPECT_EQ(nan_width.error().text(), "the web view call render_log failed: the width is not a finite number");
    const auto infinite = client->render_log("x", -std::numeric_limits<float>::infinity(), 1);
    ASSERT_NE(error_case<Error::Call>(infinite), nullptr);
    const auto bad_html = client->render_image("caf\xe9", 1);
    ASSERT_NE(error_case<Error::Call>(bad_html), nullptr);
    EXPECT_EQ(std::get<Error::Call>(bad_html.error().get()).message, "the html is not valid UTF-8");
    const auto bad_script = client->evaluate({"ok", "\xc0\xaf"}, "x");
    ASSERT_NE(error_case<Error::Call>(bad_script), nullptr);
    EXPECT_EQ(std::get<Error::Call>(bad_script.error().get()).message, "script 1 is not valid UTF-8");
    // Had anything reached the helper, this answer would be another's.
    EXPECT_EQ(client->evaluate({}, "after").value(), "after");
    EXPECT_TRUE(client->render_log("x", 10, std::nanf("")).has_value());
}

TEST(ClientAnswers, SubmittedRequestsAreCollectedInOrder) {
    auto client = Client::start(fake("serve"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const auto nothing = client->collect(100ms);
    ASSERT_NE(error_case<Error::Call>(nothing), nullptr);
    EXPECT_EQ(std::get<Error::Call>(nothing.error().get()).call, "collect");
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(client->submit(protocol::Evaluate{{}, "n" + std::to_string(i)}).has_value());
    ASSERT_TRUE(client->submit(protocol::RenderImage{"x", 1}).has_value());
    // A blocking call in between takes its own answer, not one of those.
    EXPECT_EQ(client->evaluate({}, "between").value(), "between");
    EXPECT_EQ(client->pending(), 6u);
    for (int i = 0; i < 5; ++i) {
        auto reply = client->collect();
        ASSERT_TRUE(reply.has_value()) << reply.error().text();
        EXPECT_EQ(std::get<ScriptText>(*reply).text, "n" + std::to_string(i));
    }
    auto image = client->collect();
    ASSERT_TRUE(image.has_value());
    EXPECT_TRUE(std::holds_alternative<ImagePicture>(*image));
    EXPECT_EQ(client->pending(), 0u);
}

TEST(ClientAnswers, ACollectThatTimesOutLeavesTheRequestPending) {
    auto client = Client::start(fake("ignore-eof"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    ASSERT_TRUE(client->submit(protocol::Evaluate{{}, "1"}).has_value());
    const auto begun = Clock::now();
    const auto reply = client->collect(150ms);
    EXPECT_GE(since(begun), 150ms);
    const auto* call = error_case<Error::Call>(reply);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->call, "collect");
    EXPECT_EQ(call->message, "no answer within 150 ms");
    EXPECT_EQ(client->pending(), 1u);
    EXPECT_TRUE(client->running());
}

TEST(ClientAnswers, ACallThatTimesOutNamesTheRequestAndTheHelperStaysUp) {
    ClientOptions options = fake("ignore-eof");
    options.stop_timeout = 100ms;
    auto client = Client::start(options);
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const auto text = client->evaluate({}, "1", 200ms);
    ASSERT_NE(error_case<Error::Call>(text), nullptr);
    EXPECT_EQ(text.error().text(), "the web view call evaluate failed: no answer within 200 ms");
    EXPECT_TRUE(client->running());
}

// ---------------------------------------------------------------- processes

TEST(ClientProcess, ACrashGivesStoppedUntilRestart) {
    auto client = Client::start(fake("crash"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const int first = client->pid();
    ASSERT_GT(first, 0);
    const auto begun = Clock::now();
    EXPECT_NE(error_case<Error::Stopped>(client->evaluate({}, "1")), nullptr);
    EXPECT_LT(since(begun), 1000ms);
    EXPECT_FALSE(client->running());
    EXPECT_NE(error_case<Error::Stopped>(client->render_image("x", 1)), nullptr);
    EXPECT_NE(error_case<Error::Stopped>(client->submit(protocol::Evaluate{{}, "1"})), nullptr);
    ASSERT_TRUE(client->restart().has_value());
    EXPECT_TRUE(client->running());
    EXPECT_NE(client->pid(), first);
    EXPECT_TRUE(gone(first));
}

TEST(ClientProcess, ClosedAnswersGiveStoppedAndTheLiveProcessIsKilled) {
    ClientOptions options = fake("close-answers");
    options.stop_timeout = 200ms;
    std::optional<Client> client;
    {
        auto started = Client::start(options);
        ASSERT_TRUE(started.has_value()) << started.error().text();
        client.emplace(std::move(*started));
    }
    const int pid = client->pid();
    const auto begun = Clock::now();
    EXPECT_NE(error_case<Error::Stopped>(client->evaluate({}, "1")), nullptr);
    EXPECT_LT(since(begun), 1000ms);
    EXPECT_FALSE(gone(pid));  // alive, answers closed
    const auto stopping = Clock::now();
    client.reset();
    EXPECT_GE(since(stopping), 200ms);
    EXPECT_LT(since(stopping), 2000ms);
    EXPECT_TRUE(gone(pid));
}

TEST(ClientProcess, AHelperThatOutlivesItsInputIsKilledAfterTheStopLimit) {
    ClientOptions options = fake("ignore-eof");
    options.stop_timeout = 300ms;
    std::optional<Client> client;
    {
        auto started = Client::start(options);
        ASSERT_TRUE(started.has_value()) << started.error().text();
        client.emplace(std::move(*started));
    }
    const int pid = client->pid();
    const auto stopping = Clock::now();
    client.reset();
    EXPECT_GE(since(stopping), 300ms);
    EXPECT_LT(since(stopping), 2000ms);
    EXPECT_TRUE(gone(pid));
    EXPECT_TRUE(children().empty());
}

TEST(ClientProcess, WhilePollFailsAnswersStillComeAndStoppingReapsTheHelper) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' own checks need descriptors that the test takes away";
#endif
    std::optional<Client> client;
    {
        auto started = Client::start(fake("serve"));
        ASSERT_TRUE(started.has_value()) << started.error().text();
        client.emplace(std::move(*started));
    }
    const int pid = client->pid();
    // poll refuses more descriptors than the descriptor limit allows: with a
    // limit of 1, every poll of the reader (answers, standard error and the
    // process) fails with EINVAL from its next turn on.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    for (const char* result : {"first", "second", "third"}) {
        const auto text = client->evaluate({}, result);
        ASSERT_TRUE(text.has_value()) << text.error().text();
        EXPECT_EQ(*text, result);
    }
    client.reset();  // must return, with the helper reaped
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(gone(pid));
    EXPECT_TRUE(children().empty());
}

TEST(ClientProcess, AHelperThatStopsReadingFailsTheWriteAndIsKilled) {
    auto client = Client::start(fake("no-read"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    const int pid = client->pid();
    const std::string big(4 << 20, 'x');  // far more than a pipe holds
    const auto begun = Clock::now();
    const auto log = client->render_log(big, 100, 1, 300ms);
    EXPECT_LT(since(begun), 2000ms);
    ASSERT_NE(error_case<Error::Call>(log), nullptr);
    EXPECT_EQ(log.error().text(), "the web view call render_log failed: the helper did not take the request within 300 ms");
    // Half a line went out: the helper cannot be trusted with another.
    EXPECT_FALSE(client->running());
    EXPECT_NE(error_case<Error::Stopped>(client->evaluate({}, "1")), nullptr);
    ASSERT_TRUE(client->restart().has_value());
    EXPECT_TRUE(gone(pid));
}

TEST(ClientProcess, AMovedFromClientIsStopped) {
    auto started = Client::start(fake("serve"));
    ASSERT_TRUE(started.has_value()) << started.error().text();
    Client client = std::move(*started);
    EXPECT_NE(error_case<Error::Stopped>(started->evaluate({}, "1")), nullptr);
    EXPECT_FALSE(started->running());
    EXPECT_EQ(client.evaluate({}, "moved").value(), "moved");
}

TEST(ClientProcess, AThousandStartStopCyclesLeaveNoDescriptorOrProcess) {
    const std::size_t descriptors = open_descriptors();
    const auto begun = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        auto client = Client::start(fake("serve"));
        ASSERT_TRUE(client.has_value()) << i << ": " << client.error().text();
        if (i % 10 == 0) {
            ASSERT_EQ(client->evaluate({}, "c" + std::to_string(i)).value(), "c" + std::to_string(i));
        }
    }
    RecordProperty("cycles_ms", static_cast<int>(since(begun).count()));
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_TRUE(children().empty());
}

// ------------------------------------------------------------ standard error

TEST(ClientStderr, EveryLineArrivesInOrderAndTheHelperNeverWaitsForThem) {
    // The sink is held up until the test lets it go; meanwhile 1.4 MB of
    // standard error must not keep the helper from starting or answering.
    std::mutex mutex;
    std::condition_variable released_cv;
    bool released = false;
    std::vector<std::string> lines;
    ClientOptions options = fake("chatty");
    options.on_stderr = [&](std::string_view line) {
        std::unique_lock lock(mutex);
        released_cv.wait(lock, [&] { return released; });
        lines.emplace_back(line);
    };
    {
        auto client = Client::start(options);
        ASSERT_TRUE(client.has_value()) << client.error().text();
        EXPECT_EQ(client->evaluate({}, "answered", 5s).value(), "answered");
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        released_cv.notify_all();
    }
    ASSERT_EQ(lines.size(), 40001u);
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(lines[i], "before " + std::to_string(i) + " " + std::string(60, 'x'));
        ASSERT_EQ(lines[20000 + i], "after " + std::to_string(i));
    }
    EXPECT_EQ(lines.back(), "the end");
}

// ------------------------------------------------------------------ threads

TEST(ClientThreads, CallsFromManyThreadsEachGetTheirOwnAnswer) {
    auto client = Client::start(fake("serve"));
    ASSERT_TRUE(client.has_value()) << client.error().text();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                const std::string expected = "t" + std::to_string(t) + "i" + std::to_string(i);
                if (i % 2 == 0) {
                    const auto text = client->evaluate({}, expected);
                    if (!text || *text != expected) ++wrong;
                } else {
                    if (!client->submit(protocol::Evaluate{{}, expected})) ++wrong;
                    // Another thread may collect this one: only the kind is known.
                    const auto reply = client->collect();
                    if (!reply || !std::holds_alternative<ScriptText>(*reply)) ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(client->pending(), 0u);
}

}  // namespace
}  // namespace qor_webview
