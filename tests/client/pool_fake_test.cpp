// The pool against the stand-in helper, under the sanitizers: calls from
// several threads at once, helpers that cannot start, that die on every
// request or while warming up, and a pool destroyed with calls still
// waiting.
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qor_webview/pool.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview {
namespace {

using namespace std::chrono_literals;

PoolOptions fake_pool(std::string_view mode, std::size_t helpers) {
    PoolOptions options;
    options.client.helper = QOR_FAKE_HELPER;
    options.client.environment = {{"QOR_FAKE_MODE", std::string(mode)}};
    options.client.start_timeout = 10s;
    options.client.call_timeout = 10s;
    options.client.stop_timeout = 500ms;
    options.client.on_stderr = [](std::string_view) {};
    options.max_helpers = helpers;
    return options;
}

TEST(PoolFake, CallsFromSeveralThreadsAllCompleteOnTheDispatchingOne) {
    auto pool = Pool::start(fake_pool("serve", 2));
    ASSERT_TRUE(pool.has_value()) << pool.error().text();
    std::atomic<int> good{0}, bad{0};
    const auto dispatcher = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};
    const auto count = [&](bool ok) {
        (ok ? good : bad)++;
        if (std::this_thread::get_id() != dispatcher) elsewhere = true;
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                CallOptions options;
                options.priority = i % 3;
                if (i % 3 == 0)
                    pool->render_image_async("<p>x</p>", 1, [&](auto png) { count(png && !png->empty()); }, options);
                else if (i % 3 == 1)
                    pool->evaluate_async({}, "'t" + std::to_string(t) + "'",
                                         [&, t](auto text) { count(text && *text == "'t" + std::to_string(t) + "'"); },
                                         options);
                else
                    pool->render_log_async("<p>x</p>", 300, 1, [&](auto log) { count(log && log->bands.size() == 1); },
                                           options);
            }
        });
    }
    for (auto& c : callers) c.join();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (good + bad < 200 && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{pool->fd(), POLLIN, 0};
        ::poll(&ready, 1, 100);
        pool->dispatch();
    }
    EXPECT_EQ(good, 200);
    EXPECT_EQ(bad, 0);
    EXPECT_FALSE(elsewhere);
    // Destroyed with calls still waiting: their callbacks never run.
    for (int i = 0; i < 100; ++i) pool->render_log_async("<p>x</p>", 300, 1, [&](auto) { count(false); });
}

TEST(PoolFake, AHelperThatCannotStartFailsTheCallsWithItsReason) {
    auto pool = Pool::start(fake_pool("exit", 2));
    ASSERT_TRUE(pool.has_value()) << pool.error().text();
    for (int attempt = 0; attempt < 2; ++attempt) {  // and once more after the pause between tries
        const auto log = pool->render_log("<p>x</p>", 300, 1);
        ASSERT_FALSE(log.has_value());
        EXPECT_TRUE(log.error().is<Error::Start>()) << log.error().text();
        EXPECT_NE(log.error().text().find("exited with status 3"), std::string::npos) << log.error().text();
    }
    auto nowhere = fake_pool("serve", 1);
    nowhere.client.helper = "/nonexistent/qor_webview_helper";
    const auto none = Pool::start(nowhere);  // said at once, not by every call
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().text(), Error(Error::Start{"cannot run /nonexistent/qor_webview_helper: " +
                                                      protocol::os_error_text(ENOENT)})
                                       .text());
}

TEST(PoolFake, OnAHelperThatDiesOnEveryRequestCallsEndStopped) {
    auto pool = Pool::start(fake_pool("crash", 1));
    ASSERT_TRUE(pool.has_value()) << pool.error().text();
    // A render request is given to a second helper, then gives up.
    const auto log = pool->render_log("<p>x</p>", 300, 1);
    ASSERT_FALSE(log.has_value());
    EXPECT_TRUE(log.error().is<Error::Stopped>()) << log.error().text();
    const auto text = pool->evaluate({}, "1");
    ASSERT_FALSE(text.has_value());
    EXPECT_TRUE(text.error().is<Error::Stopped>()) << text.error().text();
}

TEST(PoolFake, AHelperThatDiesWhileWarmingUpIsStartedAgainAndCallsEndInTheirTime) {
    auto options = fake_pool("exit-when-ready", 1);
    options.warm_scales = {1, 2, 3};
    auto pool = Pool::start(std::move(options));
    ASSERT_TRUE(pool.has_value()) << pool.error().text();
    CallOptions call;
    call.timeout = 1500ms;
    const auto log = pool->render_log("<p>x</p>", 300, 1, call);
    ASSERT_FALSE(log.has_value());
    EXPECT_TRUE(log.error().is<Error::Call>()) << log.error().text();
}

}  // namespace
}  // namespace qor_webview
