#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qor_webview/internal/utf8.hpp"
#include "queue.hpp"
#include "reader.hpp"

namespace qor_webview_helper {
namespace {

class CountingWaker final : public Waker {
public:
    void fire() override { fired.fetch_add(1); }
    void retain() override { refs.fetch_add(1); }
    void release() override { refs.fetch_sub(1); }
    std::atomic<int> fired{0};
    std::atomic<int> refs{0};
};

TEST(RequestQueue, DeliversInOrderThenEnds) {
    CountingWaker waker;
    {
        auto [tx, rx] = make_queue();
        std::string line;
        EXPECT_EQ(rx.take(line, &waker), QueueReceiver::Status::Empty);
        EXPECT_EQ(waker.refs.load(), 1);
        EXPECT_TRUE(tx.push("a"));
        EXPECT_EQ(waker.fired.load(), 1);  // the registered wake-up fired once
        EXPECT_EQ(waker.refs.load(), 0);   // and left the queue
        EXPECT_TRUE(tx.push("b"));
        EXPECT_EQ(waker.fired.load(), 1);  // nobody registered meanwhile
        { auto gone = std::move(tx); }     // the sender goes: queue closed
        ASSERT_EQ(rx.take(line, &waker), QueueReceiver::Status::Line);
        EXPECT_EQ(line, "a");
        ASSERT_EQ(rx.take(line, &waker), QueueReceiver::Status::Line);
        EXPECT_EQ(line, "b");
        EXPECT_EQ(rx.take(line, &waker), QueueReceiver::Status::End);
    }
    EXPECT_EQ(waker.refs.load(), 0);
}

TEST(RequestQueue, PushFailsOnceTheReceiverIsGone) {
    auto [tx, rx] = make_queue();
    { auto gone = std::move(rx); }
    EXPECT_FALSE(tx.push("late"));
}

TEST(RequestQueue, CloseWakesTheWaitingReceiver) {
    CountingWaker waker;
    auto [tx, rx] = make_queue();
    std::string line;
    EXPECT_EQ(rx.take(line, &waker), QueueReceiver::Status::Empty);
    { auto gone = std::move(tx); }
    EXPECT_EQ(waker.fired.load(), 1);
    EXPECT_EQ(rx.take(line, nullptr), QueueReceiver::Status::End);
}

// A producer thread racing a consumer that registers and spins: every line
// arrives once, in order, and no wake-up is lost.
TEST(RequestQueue, ConcurrentProducerLosesNothing) {
    constexpr int kLines = 200000;
    CountingWaker waker;
    auto [tx, rx] = make_queue();
    std::thread producer([sender = std::move(tx)]() mutable {
        for (int i = 0; i < kLines; ++i) ASSERT_TRUE(sender.push(std::to_string(i)));
    });
    int expected = 0;
    std::string line;
    while (true) {
        int fired_before = waker.fired.load();
        auto s = rx.take(line, &waker);
        if (s == QueueReceiver::Status::End) break;
        if (s == QueueReceiver::Status::Line) {
            ASSERT_EQ(line, std::to_string(expected));
            ++expected;
            continue;
        }
        // Empty: a push or the close must fire the registered wake-up.
        while (waker.fired.load() == fired_before) std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(expected, kLines);
}

std::vector<std::string> read_all(const std::string& input) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    auto [tx, rx] = make_queue();
    std::thread writer([&] {
        // Small writes, so lines and characters are cut across reads.
        std::size_t piece = input.size() > 1000 ? 65537 : 3;
        for (std::size_t i = 0; i < input.size(); i += piece) {
            std::size_t n = std::min<std::size_t>(piece, input.size() - i);
            EXPECT_EQ(write(fds[1], input.data() + i, n), static_cast<ssize_t>(n));
        }
        close(fds[1]);
    });
    read_requests(std::move(tx), fds[0]);
    writer.join();
    close(fds[0]);
    std::vector<std::string> lines;
    std::string line;
    while (rx.take(line, nullptr) == QueueReceiver::Status::Line) lines.push_back(line);
    return lines;
}

TEST(RequestReader, CutsLines) {
    using V = std::vector<std::string>;
    EXPECT_EQ(read_all(""), V{});
    EXPECT_EQ(read_all("a\nb\n"), (V{"a", "b"}));
    EXPECT_EQ(read_all("a\r\nb\r\n"), (V{"a", "b"}));
    EXPECT_EQ(read_all("a\r\r\n"), (V{"a\r"}));  // one carriage return only
    EXPECT_EQ(read_all("last"), (V{"last"}));     // no line feed at the end
    EXPECT_EQ(read_all("last\r"), (V{"last\r"}));
    EXPECT_EQ(read_all("\n\r\n"), (V{"", ""}));
    EXPECT_EQ(read_all(" \xef\xbb\xbfx \t\n"), (V{" \xef\xbb\xbfx \t"}));
    EXPECT_EQ(read_all("caf\xc3\xa9\n\xf0\x9f\x98\x80\n"), (V{"caf\xc3\xa9", "\xf0\x9f\x98\x80"}));
}

TEST(RequestReader, InvalidUtf8EndsTheReading) {
    using V = std::vector<std::string>;
    EXPECT_EQ(read_all("a\nb\xff\nc\n"), (V{"a"}));
    EXPECT_EQ(read_all("a\n\xc3"), (V{"a"}));          // cut character at the end
    EXPECT_EQ(read_all("a\n\xed\xa0\x80\nb\n"), (V{"a"}));  // a surrogate
    EXPECT_EQ(read_all("a\n\xc0\xaf\n"), (V{"a"}));    // overlong
}

TEST(RequestReader, LongLineArrivesWhole) {
    std::string big(3 * 1024 * 1024 + 7, 'x');
    auto lines = read_all(big + "\nnext\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), big.size());
    EXPECT_EQ(lines[1], "next");
}

TEST(Utf8, Validation) {
    EXPECT_TRUE(qor_webview::utf8::valid(""));
    EXPECT_TRUE(qor_webview::utf8::valid("plain ascii that is longer than eight bytes"));
    EXPECT_TRUE(qor_webview::utf8::valid("\xf4\x8f\xbf\xbf"));
    EXPECT_FALSE(qor_webview::utf8::valid("\xf4\x90\x80\x80"));
    EXPECT_FALSE(qor_webview::utf8::valid("\xe0\x9f\xbf"));
    EXPECT_FALSE(qor_webview::utf8::valid("abcdefgh\x80"));
    EXPECT_FALSE(qor_webview::utf8::valid("\xf8\x88\x80\x80\x80"));
}

}  // namespace
}  // namespace qor_webview_helper
