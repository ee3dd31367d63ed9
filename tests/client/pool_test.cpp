// The pool against real helpers on a private Xvfb: cancelling, priorities,
// a helper killed in a burst, the idle stop, warming up (with the
// application's own entry), and completions
// on a GLib main context.
#include <glib.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "fixture.hpp"
#include "real_helper.hpp"
#include "qor_webview/glib.hpp"
#include "qor_webview/pool.hpp"

namespace qor_webview::e2e {
namespace {

using Clock = std::chrono::steady_clock;

PoolOptions pool_options(std::size_t helpers) {
    PoolOptions options;
    options.client = real_helper();
    options.max_helpers = helpers;
    options.min_helpers = helpers;
    return options;
}

Pool start(PoolOptions options) {
    auto pool = Pool::start(std::move(options));
    if (!pool) throw std::runtime_error("the pool did not start: " + pool.error().text());
    return std::move(*pool);
}

// Runs completions until `done` holds or the time is up.
bool dispatch_until(Pool& pool, const std::function<bool()>& done, Duration limit = answer_timeout) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        pollfd p{pool.fd(), POLLIN, 0};
        ::poll(&p, 1, 50);
        pool.dispatch();
    }
    return true;
}

bool wait_until(const std::function<bool()>& done, Duration limit = answer_timeout) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// An entry of a known height, to tell answers apart.
std::string entry(int height) {
    return "<body style=\"margin:0\"><div style=\"height:" + std::to_string(height) + "px\"></div></body>";
}
// An entry that keeps a helper busy for a while.
const std::string slow_entry =
    "<body style=\"margin:0\"><div style=\"height:9000px;background:linear-gradient(red,blue)\"></div></body>";

std::string command_name(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

std::size_t web_processes(pid_t helper) {
    std::size_t n = 0;
    for (pid_t pid : descendants(helper)) n += command_name(pid) == "WebKitWebProces";
    return n;
}

TEST(Pool, CancelledCallsNeverComplete) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto options = pool_options(1);
    options.in_flight = 1;
    Pool pool = start(options);
    std::vector<int> heights;
    const auto record = [&heights](Expected<LogPicture, Error> log) {
        heights.push_back(log ? static_cast<int>(log->height) : -1);
    };
    // The first is written at once; the second waits behind it.
    auto written = pool.render_log_async(slow_entry, 300, 1, record);
    auto waiting = pool.render_log_async(entry(150), 300, 1, record);
    auto last = pool.render_log_async(entry(250), 300, 1, record);
    ASSERT_TRUE(wait_until([&] { return written.written(); }));
    EXPECT_FALSE(waiting.written());
    EXPECT_TRUE(waiting.cancel());
    EXPECT_TRUE(written.cancel());  // answered by the helper, then dropped
    EXPECT_FALSE(written.pending());
    ASSERT_TRUE(dispatch_until(pool, [&] { return !heights.empty(); }));
    // Only the last one completes, with its own answer.
    EXPECT_EQ(heights, std::vector<int>{250});
    EXPECT_FALSE(last.cancel());  // too late: it has run
    const auto after = pool.render_log(entry(120), 300, 1);
    ASSERT_TRUE(after.has_value()) << after.error().text();
    EXPECT_EQ(after->height, 120.0f);
    EXPECT_EQ(pool.dispatch(), 0u);
}

TEST(Pool, HigherPrioritiesFirstThenInOrder) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto options = pool_options(1);
    options.in_flight = 1;
    Pool pool = start(options);
    std::vector<int> order;
    const auto call = [&](int height, int priority) {
        return pool.render_log_async(
            entry(height), 200, 1,
            [&order, height](Expected<LogPicture, Error> log) { order.push_back(log ? height : -height); },
            CallOptions{priority, std::nullopt, std::nullopt});
    };
    call(500, 9);  // taken first whenever the helper is ready
    call(100, 0);
    call(201, 5);
    call(300, 1);
    call(202, 5);
    call(101, 0);
    auto raised = call(102, 0);
    EXPECT_TRUE(raised.set_priority(5));  // now the last of priority 5
    ASSERT_TRUE(dispatch_until(pool, [&] { return order.size() == 7; }));
    EXPECT_EQ(order, (std::vector<int>{500, 201, 202, 102, 300, 100, 101}));
    EXPECT_FALSE(raised.set_priority(9));  // too late
}

TEST(Pool, AKilledHelperLosesNoRenderRequestButItsEvaluation) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Pool pool = start(pool_options(2));
    ASSERT_TRUE(wait_until([&] { return pool.status().pids.size() == 2; }));
    std::optional<Expected<std::string, Error>> evaluation;
    // Keeps the evaluation helper busy while it is killed.
    auto busy = pool.evaluate_async({"var t = Date.now(); while (Date.now() - t < 4000) {}"}, "'done'",
                                    [&evaluation](Expected<std::string, Error> text) { evaluation.emplace(std::move(text)); });
    std::vector<int> heights(100, 0);
    for (int i = 0; i < 100; ++i) {
        pool.render_log_async(entry(100 + i), 300, 1, [&heights, i](Expected<LogPicture, Error> log) {
            heights[i] = log ? static_cast<int>(log->height) : -1;
            if (log && log->bands.empty()) heights[i] = -2;
        });
    }
    std::size_t done = 0;
    const auto count_done = [&] {
        done = static_cast<std::size_t>(std::count_if(heights.begin(), heights.end(), [](int h) { return h != 0; }));
        return done;
    };
    ASSERT_TRUE(dispatch_until(pool, [&] { return busy.written() && count_done() >= 10; }));
    const int victim = pool.status().pids.at(0);  // the evaluation helper
    ASSERT_EQ(::kill(victim, SIGKILL), 0);
    ASSERT_TRUE(dispatch_until(pool, [&] { return count_done() == 100 && evaluation.has_value(); },
                               std::chrono::seconds(120)));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(heights[i], 100 + i) << "entry " << i;
    ASSERT_FALSE(evaluation->has_value());
    EXPECT_TRUE(evaluation->error().is<Error::Stopped>()) << evaluation->error().text();
    // A new evaluation helper took its place.
    ASSERT_TRUE(wait_until([&] { return pool.status().pids.size() == 2; }));
    EXPECT_NE(pool.status().pids.at(0), victim);
    const auto text = pool.evaluate({"var n = 40"}, "n + 2");
    ASSERT_TRUE(text.has_value()) << text.error().text();
    EXPECT_EQ(*text, "42");
}

TEST(Pool, WithNoneKeptItStopsEverythingWhenIdleAndStartsAgain) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto options = pool_options(2);
    options.min_helpers = 0;
    options.idle_stop = std::chrono::milliseconds(300);
    Pool pool = start(options);
    auto first = pool.render_log(entry(130), 300, 2);
    ASSERT_TRUE(first.has_value()) << first.error().text();
    std::vector<pid_t> tree;
    for (int pid : pool.status().pids) {
        tree.push_back(pid);
        for (pid_t child : descendants(pid)) tree.push_back(child);
    }
    ASSERT_FALSE(tree.empty());
    ASSERT_TRUE(wait_until([&] { return pool.status().helpers == 0; }));
    // The helpers and their web and network processes are all gone.
    EXPECT_TRUE(wait_until([&] {
        return std::all_of(tree.begin(), tree.end(), [](pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; });
    }));
    auto again = pool.render_log(entry(140), 300, 2);
    ASSERT_TRUE(again.has_value()) << again.error().text();
    EXPECT_EQ(again->height, 140.0f);
}

TEST(Pool, WarmsUpEachScaleBeforeTakingWork) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto options = pool_options(1);
    options.warm_scales = {1};
    Pool pool = start(options);
    ASSERT_TRUE(wait_until([&] { return pool.status().pids.size() == 1; }));
    const pid_t helper = pool.status().pids[0];
    pool.warm_up(2);  // a scale known only later, for the helper already running
    // One page, and so one web process, for each scale, before any call.
    ASSERT_TRUE(wait_until([&] { return web_processes(helper) == 2 && pool.status().in_flight == 0; }));
    for (float scale : {2.0f, 1.0f}) {
        auto log = pool.render_log(entry(110), 300, scale);
        ASSERT_TRUE(log.has_value()) << log.error().text();
    }
    EXPECT_EQ(web_processes(helper), 2u);  // their pages served the calls
}

TEST(Pool, WarmsUpWithTheApplicationsEntryUnderItsNetworkChoice) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    LocalServer server;
    ASSERT_TRUE(server.running());
    for (const bool allowed : {false, true}) {
        SCOPED_TRACE(allowed);
        auto options = pool_options(1);
        options.warm_scales = {1};
        options.client.allow_network = allowed;
        const std::string name = allowed ? "warm-online.png" : "warm-offline.png";
        options.warm_entry = "<img src=\"" + server.url() + name + "\">";
        Pool pool = start(options);
        ASSERT_TRUE(wait_until([&] { return pool.status().pids.size() == 1 && pool.status().in_flight == 0; }));
        if (allowed) {
            EXPECT_TRUE(server.wait_for({"/" + name}, std::chrono::seconds(10)));
        }
    }
    // The offline pool went first: had its entry been fetched, the first
    // connection would have been its own.
    const auto paths = server.paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), "/warm-online.png");
}

TEST(Pool, TheGlibAdapterRunsCompletionsOnItsContext) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Pool pool = start(pool_options(1));
    GMainContext* context = g_main_context_new();
    std::optional<glib::Attachment> attached(std::in_place, pool, context);
    std::optional<std::thread::id> ran_on;
    float height = 0;
    pool.render_log_async(entry(160), 300, 1, [&](Expected<LogPicture, Error> log) {
        ran_on = std::this_thread::get_id();
        height = log ? log->height : -1;
    });
    const auto deadline = Clock::now() + answer_timeout;
    while (!ran_on && Clock::now() < deadline) g_main_context_iteration(context, TRUE);
    ASSERT_TRUE(ran_on.has_value());
    EXPECT_EQ(*ran_on, std::this_thread::get_id());
    EXPECT_EQ(height, 160.0f);
    // Once detached, completions wait for whoever dispatches.
    attached.reset();
    bool later = false;
    pool.render_log_async(entry(170), 300, 1, [&later](Expected<LogPicture, Error>) { later = true; });
    ASSERT_TRUE(wait_until([&] {
        pollfd p{pool.fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    while (g_main_context_iteration(context, FALSE)) {
    }
    EXPECT_FALSE(later);
    EXPECT_EQ(pool.dispatch(), 1u);
    EXPECT_TRUE(later);
    g_main_context_unref(context);
}

}  // namespace
}  // namespace qor_webview::e2e
