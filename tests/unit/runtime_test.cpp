#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "queue.hpp"
#include "runtime.hpp"

namespace qor_webview_helper::rt {
namespace {

// Runs a root task on the default main context until it completes; a task
// still running after ten seconds fails the test instead of hanging it.
void run(Async<void> task) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    bool timed_out = false;
    struct Guard {
        GMainLoop* loop;
        bool* timed_out;
    } guard{loop, &timed_out};
    guint limit = g_timeout_add_seconds(
        10,
        [](gpointer p) -> gboolean {
            auto* g = static_cast<Guard*>(p);
            *g->timed_out = true;
            g_main_loop_quit(g->loop);
            return G_SOURCE_REMOVE;
        },
        &guard);
    {
        Driver driver(std::move(task), [](void* l) { g_main_loop_quit(static_cast<GMainLoop*>(l)); }, loop);
        g_main_loop_run(loop);
        EXPECT_TRUE(driver.done());
    }
    if (!timed_out) g_source_remove(limit);
    g_main_loop_unref(loop);
    EXPECT_FALSE(timed_out) << "the task never completed";
}

// The coroutine resumes from the driver's own dispatch, never from inside
// the callback that delivered what it waited for.
std::string resumed_from() {
    GSource* s = g_main_current_source();
    const char* name = s ? g_source_get_name(s) : nullptr;
    return name ? name : "(none)";
}

gint64 now_us() { return g_get_monotonic_time(); }

Async<int> add(int a, int b) { co_return a + b; }

Async<int> add_later(int a, int b) {
    co_await sleep_ms(1);
    co_return co_await add(a, b);
}

TEST(Runtime, NestedTasksReturnTheirValues) {
    int out = 0;
    run([](int& result) -> Async<void> {
        result = co_await add(2, 3) + co_await add_later(4, 5);
    }(out));
    EXPECT_EQ(out, 14);
}

// An allocation failure after a suspension reaches the task that awaits it,
// through every level between, and that task goes on.
Async<int> fail_after_sleep() {
    co_await sleep_ms(1);
    throw std::bad_alloc();
}

Async<int> pass_through() { co_return 1 + co_await fail_after_sleep(); }

TEST(Runtime, AnAllocationFailureReachesTheAwaiterWhichGoesOn) {
    std::vector<std::string> seen;
    run([](std::vector<std::string>& out) -> Async<void> {
        for (int round = 0; round < 2; ++round) {
            try {
                out.push_back("value " + std::to_string(co_await pass_through()));
            } catch (const std::bad_alloc&) {
                out.push_back("out of memory");
            }
        }
        out.push_back("after " + std::to_string(co_await add_later(1, 1)));
    }(seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"out of memory", "out of memory", "after 2"}));
}

TEST(Runtime, SleepWaitsOnTheMainLoop) {
    gint64 elapsed = 0;
    std::string where;
    run([](gint64& us, std::string& from) -> Async<void> {
        gint64 start = now_us();
        co_await sleep_ms(20);
        us = now_us() - start;
        from = resumed_from();
    }(elapsed, where));
    EXPECT_GE(elapsed, 20000);
    EXPECT_EQ(where, "serve");
}

struct Delivery {
    std::shared_ptr<Completion<int>> completion = std::make_shared<Completion<int>>();
    int value = 0;
    bool inside_callback = false;
};

gboolean deliver(gpointer p) {
    auto* d = static_cast<Delivery*>(p);
    d->inside_callback = true;
    d->completion->set(d->value);
    d->inside_callback = false;
    return G_SOURCE_REMOVE;
}

TEST(Runtime, CompletionBeforeTheLimit) {
    Delivery d;
    d.value = 42;
    bool came = false, was_inside = true;
    std::string where;
    gint64 elapsed = 0;
    run([](Delivery& d, bool& came, bool& inside, std::string& from, gint64& us) -> Async<void> {
        g_timeout_add(5, deliver, &d);
        gint64 start = now_us();
        came = co_await FirstOf<int>(d.completion, 5000);
        us = now_us() - start;
        inside = d.inside_callback;
        from = resumed_from();
    }(d, came, was_inside, where, elapsed));
    EXPECT_TRUE(came);
    EXPECT_EQ(d.completion->take(), 42);
    EXPECT_FALSE(was_inside);
    EXPECT_EQ(where, "serve");
    EXPECT_LT(elapsed, 4000000);
}

TEST(Runtime, TimeLimitWhenNothingComes) {
    auto completion = std::make_shared<Completion<int>>();
    bool came = true;
    gint64 elapsed = 0;
    run([](std::shared_ptr<Completion<int>> s, bool& came, gint64& us) -> Async<void> {
        gint64 start = now_us();
        came = co_await FirstOf<int>(s, 30);
        us = now_us() - start;
    }(completion, came, elapsed));
    EXPECT_FALSE(came);
    EXPECT_GE(elapsed, 30000);
    // A result that arrives after the waiter gave up lands harmlessly.
    completion->set(7);
    EXPECT_TRUE(completion->has_value());
}

TEST(Runtime, CompletionIsLookedAtBeforeTheLimit) {
    // The loop is held busy past both deadlines; then, in one iteration, the
    // value arrives and the limit expires. The task resumes with both ready,
    // and the completion counts.
    Delivery d;
    d.value = 9;
    bool came = false;
    run([](Delivery& d, bool& came) -> Async<void> {
        g_idle_add([](gpointer) -> gboolean { g_usleep(80000); return G_SOURCE_REMOVE; }, nullptr);
        g_timeout_add(20, deliver, &d);
        came = co_await FirstOf<int>(d.completion, 20);
    }(d, came));
    EXPECT_TRUE(came);
}

TEST(Runtime, ValueAlreadyThereDoesNotSuspend) {
    auto completion = std::make_shared<Completion<int>>();
    completion->set(1);
    bool came = false;
    run([](std::shared_ptr<Completion<int>> s, bool& came) -> Async<void> {
        came = co_await FirstOf<int>(s, 0);
    }(completion, came));
    EXPECT_TRUE(came);
}

TEST(Runtime, QueueWakesTheTaskFromAnotherThread) {
    constexpr int kLines = 200;
    auto [tx, rx] = make_queue();
    std::vector<std::string> got;
    std::thread::id main_id = std::this_thread::get_id();
    bool always_main = true;
    std::thread producer([sender = std::move(tx)]() mutable {
        for (int i = 0; i < kLines; ++i) {
            sender.push(std::to_string(i));
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    run([](QueueReceiver rx, std::vector<std::string>& got, std::thread::id main_id,
           bool& main_only) -> Async<void> {
        std::string line;
        while (true) {
            auto status = rx.take(line, Driver::current()->waker());
            if (status == QueueReceiver::Status::End) break;
            if (status == QueueReceiver::Status::Empty) {
                co_await WakeUp{};
                continue;
            }
            if (std::this_thread::get_id() != main_id) main_only = false;
            got.push_back(line);
        }
    }(std::move(rx), got, main_id, always_main));
    producer.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(got[i], std::to_string(i));
    EXPECT_TRUE(always_main);
}

}  // namespace
}  // namespace qor_webview_helper::rt
