#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "qor_webview/protocol.hpp"

namespace {

using namespace qor_webview::protocol;
using namespace std::chrono_literals;

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (read_end >= 0) ::close(read_end);
        read_end = -1;
    }
    void close_write() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
};

std::string read_all(int fd, std::size_t piece = 65536) {
    std::string out;
    std::vector<char> buffer(piece);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            out.append(buffer.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return out;
        }
    }
}

// The line `write_answer` puts on a real pipe, drained by another thread.
std::string written(const Response& response) {
    Pipe pipe;
    std::string out;
    std::thread reader([&] { out = read_all(pipe.read_end); });
    const auto result = write_answer(pipe.write_end, response);
    pipe.close_write();
    reader.join();
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text());
    return out;
}

TEST(WriteAnswer, WritesTheExactLineOfEveryAnswer) {
    const std::vector<std::pair<Response, std::string>> cases = {
        {Ready{}, "{\"type\":\"ready\"}\n"},
        {Log{800, 20.5f, {}, "[]"}, "{\"type\":\"log\",\"width\":800.0,\"height\":20.5,\"tiles\":[],\"links\":\"[]\"}\n"},
        {Log{0.5f, 600, {Band{0, 256, "AAAA"}, Band{256, 10.25f, "BB=="}}, "[{\"href\":\"a\"}]"},
         "{\"type\":\"log\",\"width\":0.5,\"height\":600.0,\"tiles\":[{\"top\":0.0,\"height\":256.0,\"png\":\"AAAA\"},"
         "{\"top\":256.0,\"height\":10.25,\"png\":\"BB==\"}],\"links\":\"[{\\\"href\\\":\\\"a\\\"}]\"}\n"},
        {Log{1, 1, {Band{0, 1, ""}}, ""},
         "{\"type\":\"log\",\"width\":1.0,\"height\":1.0,\"tiles\":[{\"top\":0.0,\"height\":1.0,\"png\":\"\"}],\"links\":\"\"}\n"},
        {Image{"iVBORw0KGgo="}, "{\"type\":\"image\",\"png\":\"iVBORw0KGgo=\"}\n"},
        {Image{""}, "{\"type\":\"image\",\"png\":\"\"}\n"},
        {Text{"42"}, "{\"type\":\"text\",\"text\":\"42\"}\n"},
        {Text{""}, "{\"type\":\"text\",\"text\":\"\"}\n"},
        {Failed{{FailureKind::Start, "failed to start gtk: no display"}},
         "{\"type\":\"failed\",\"error\":{\"kind\":\"start\",\"message\":\"failed to start gtk: no display\"}}\n"},
        {Failed{{FailureKind::Load, "the load was replaced"}},
         "{\"type\":\"failed\",\"error\":{\"kind\":\"load\",\"message\":\"the load was replaced\"}}\n"},
        {Failed{{FailureKind::Script, ""}}, "{\"type\":\"failed\",\"error\":{\"kind\":\"script\",\"message\":\"\"}}\n"},
        {Failed{{FailureKind::Snapshot, "the snapshot timed out"}},
         "{\"type\":\"failed\",\"error\":{\"kind\":\"snapshot\",\"message\":\"the snapshot timed out\"}}\n"},
    };
    for (const auto& [response, line] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(written(response), line);
    }
}

TEST(WriteAnswer, PrintsFloatsByTheLayoutRules) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<float, std::string>> cases = {
        {800, "800.0"},
        {0.5f, "0.5"},
        {1e-7f, "1e-7"},
        {2e13f, "2e+13"},
        {1e-6f, "0.000001"},
        {1.5e-7f, "1.5e-7"},
        {0.0000015f, "0.0000015"},
        {1e12f, "1000000000000.0"},
        {1e13f, "1e+13"},
        {1234.5f, "1234.5"},
        {1, "1.0"},
        {0.1f, "0.1"},
        {16777216, "16777216.0"},
        {-2.25f, "-2.25"},
        {std::numeric_limits<float>::max(), "3.4028235e+38"},
        {-std::numeric_limits<float>::max(), "-3.4028235e+38"},
        {std::numeric_limits<float>::min(), "1.1754944e-38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        {0.0f, "0.0"},
        {-0.0f, "-0.0"},
        {nan, "null"},
        {-nan, "null"},
        {inf, "null"},
        {-inf, "null"},
    };
    for (const auto& [value, text] : cases) {
        SCOPED_TRACE(text);
        std::string appended = "x";
        append_f32(appended, value);
        EXPECT_EQ(appended, "x" + text);
        EXPECT_EQ(written(Log{value, 0, {}, ""}),
                  "{\"type\":\"log\",\"width\":" + text + ",\"height\":0.0,\"tiles\":[],\"links\":\"\"}\n");
    }
}

// Escaping as the answers define it, spelled out byte by byte.
std::string escaped(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\f') {
            out += "\\f";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

TEST(WriteAnswer, EscapesOnlyQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(written(Text{"a\"b\\c\td\x01"}), "{\"type\":\"text\",\"text\":\"a\\\"b\\\\c\\td\\u0001\"}\n");
    EXPECT_EQ(written(Text{"café / naïve \x7f €😀 </script>"}),
              "{\"type\":\"text\",\"text\":\"café / naïve \x7f €😀 </script>\"}\n");

    std::string every_byte;
    for (int c = 0; c < 256; ++c) every_byte.push_back(static_cast<char>(c));
    const std::string expected_every = escaped(every_byte);
    EXPECT_EQ(expected_every.substr(0, 48), "\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007");
    EXPECT_NE(expected_every.find("\\u001b"), std::string::npos);
    EXPECT_EQ(written(Failed{{FailureKind::Script, every_byte}}),
              "{\"type\":\"failed\",\"error\":{\"kind\":\"script\",\"message\":\"" + expected_every + "\"}}\n");

    std::string appended;
    append_json_string(appended, every_byte);
    EXPECT_EQ(appended, "\"" + expected_every + "\"");

    // Escapes at every offset of a long text, next to long plain runs.
    std::string mixed;
    for (int i = 0; i < 5000; ++i) mixed += std::string(static_cast<std::size_t>(i % 2000), 'x') + "\"\n\x1f";
    EXPECT_EQ(written(Text{mixed}), "{\"type\":\"text\",\"text\":\"" + escaped(mixed) + "\"}\n");
}

TEST(WriteAnswer, ReturnsEpipeWhenTheReaderIsGone) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    pipe.close_read();
    const auto result = write_answer(pipe.write_end, Image{std::string(100'000, 'A')});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code, EPIPE);
    EXPECT_EQ(result.error().text(), "Broken pipe (os error 32)");
}

TEST(WriteAnswer, ReturnsTheOperatingSystemError) {
    const auto result = write_answer(-1, Ready{});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code, EBADF);
    EXPECT_EQ(result.error().text(), "Bad file descriptor (os error 9)");
    EXPECT_EQ(IoError{0}.text(), "failed to write whole buffer");
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(99999), "Unknown error 99999 (os error 99999)");
}

Log big_log() {
    Log log{800, 5000, {}, ""};
    for (int i = 0; i < 20; ++i) log.tiles.push_back(Band{i * 256.0f, 256, std::string(50'000 + i, 'Q')});
    for (int i = 0; i < 20'000; ++i) log.links += "{\"href\":\"https://example.org/\\" + std::to_string(i) + "\"},";
    return log;
}

std::string expected_line(const Log& log) {
    std::string line = "{\"type\":\"log\",\"width\":800.0,\"height\":5000.0,\"tiles\":[";
    for (std::size_t i = 0; i < log.tiles.size(); ++i) {
        if (i > 0) line += ",";
        line += "{\"top\":" + std::to_string(i * 256) + ".0,\"height\":256.0,\"png\":\"" + log.tiles[i].png + "\"}";
    }
    return line + "],\"links\":\"" + escaped(log.links) + "\"}\n";
}

TEST(WriteAnswer, KeepsTheLineWholeForAReaderTakingSmallPieces) {
    Pipe pipe;
    ASSERT_GE(::fcntl(pipe.write_end, F_SETPIPE_SZ, 4096), 0);
    const Log log = big_log();
    std::string out;
    std::thread reader([&] {
        char buffer[97];
        std::size_t reads = 0;
        for (;;) {
            const std::size_t want = 1 + reads % sizeof buffer;
            const ssize_t n = ::read(pipe.read_end, buffer, want);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
            if (++reads % 5000 == 0) std::this_thread::sleep_for(1ms);
        }
    });
    const auto first = write_answer(pipe.write_end, log);
    const auto second = write_answer(pipe.write_end, Ready{});
    pipe.close_write();
    reader.join();
    EXPECT_TRUE(first.has_value());
    EXPECT_TRUE(second.has_value());
    EXPECT_EQ(out, expected_line(log) + "{\"type\":\"ready\"}\n");
}

std::atomic<int> signals_seen{0};
void count_signal(int) { signals_seen.fetch_add(1); }

TEST(WriteAnswer, RepeatsWritesInterruptedBySignals) {
    // A handler installed without SA_RESTART makes a write blocked on a full
    // pipe fail with EINTR, or return short once some bytes went through.
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    Pipe pipe;
    ASSERT_GE(::fcntl(pipe.write_end, F_SETPIPE_SZ, 4096), 0);
    // Fill the pipe so that the answer's first write blocks at once.
    const int flags = ::fcntl(pipe.write_end, F_GETFL);
    ::fcntl(pipe.write_end, F_SETFL, flags | O_NONBLOCK);
    std::string filler;
    for (;;) {
        const char block[512] = {};
        const ssize_t n = ::write(pipe.write_end, block, sizeof block);
        if (n <= 0) break;
        filler.append(block, static_cast<std::size_t>(n));
    }
    ::fcntl(pipe.write_end, F_SETFL, flags);

    const Log log = big_log();
    std::atomic<bool> done{false};
    qor_webview::Expected<void, IoError> result = qor_webview::unexpected(IoError{-1});
    std::thread writer([&] {
        result = write_answer(pipe.write_end, log);
        done = true;
    });
    const pthread_t writer_thread = writer.native_handle();
    const auto interrupt = [&](int times) {
        for (int i = 0; i < times && !done; ++i) {
            ::pthread_kill(writer_thread, SIGUSR1);
            std::this_thread::sleep_for(2ms);
        }
    };
    std::this_thread::sleep_for(50ms);
    interrupt(20);  // while nothing is read: the write keeps failing with EINTR

    std::string out;
    std::thread reader([&] {
        char buffer[1000];
        for (;;) {
            const ssize_t n = ::read(pipe.read_end, buffer, sizeof buffer);
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
    });
    while (!done) interrupt(1);  // while draining: short writes
    writer.join();
    pipe.close_write();
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GE(signals_seen.load(), 20);
    ASSERT_TRUE(result.has_value()) << result.error().text();
    EXPECT_EQ(out, filler + expected_line(log));
}

}  // namespace
