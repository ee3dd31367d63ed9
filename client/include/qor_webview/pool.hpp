// A pool of helpers with asynchronous calls, for programs with an event
// loop of their own.
//
//     auto pool = qor_webview::Pool::start();
//     auto call = pool->render_log_async("<p>hello</p>", 600, 2,
//                                        [](qor_webview::Expected<qor_webview::LogPicture, qor_webview::Error> log) {
//                                            /* on the thread that called dispatch() */
//                                        });
//     // in the event loop: poll pool->fd() for reading, then pool->dispatch()
//
// Calls wait in the pool, by priority and then in the order they were made,
// until a helper has room for them: each helper has at most
// `PoolOptions::in_flight` requests written to it, enough to keep it busy.
// A waiting call can be cancelled at no cost; a cancelled call already
// written is answered by its helper and the answer dropped.
//
// Completions never run on a thread of the pool's: they wait until
// `dispatch()` runs them, on the thread that calls it, in the order the
// answers came. `fd()` is readable while completions wait, so any event
// loop can watch it; qor_webview/glib.hpp attaches a pool to a GLib main
// context. Everything heavy (writing requests, reading answers, base64
// decoding, starting and stopping helpers) happens on the pool's threads.
//
// Render requests go to any helper. `evaluate` requests always go to the
// first helper, where the evaluation page and its script state live. A
// helper that dies is started again: render requests it had been given are
// given to a helper once more (they have no side effects); an `evaluate` it
// had been given ends with `Stopped`, since its script state is gone.
//
// Thread safety: every member function may be called from any thread at
// once, except that moving, assigning and destroying must not overlap with
// other calls. Destroying the pool drops the calls not yet completed (their
// callbacks never run) and stops every helper.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qor_webview/client.hpp"
#include "qor_webview/error.hpp"
#include "qor_webview/expected.hpp"
#include "qor_webview/export.hpp"

namespace qor_webview {

struct PoolOptions {
    // How each helper is started and its calls timed: the helper's path,
    // its environment, `start_timeout`, `call_timeout`, `stop_timeout`,
    // the standard error callback (called from any of the pool's threads,
    // one line at a time), and `allow_network`, the calls' default.
    ClientOptions client;

    // The most helpers running at once. 0: the number of cores, at most 4.
    std::size_t max_helpers = 0;
    // The fewest kept running, started with the pool. With 0 the pool
    // stops every helper once idle and starts one on the next request (and
    // the evaluation page's script state goes with it).
    std::size_t min_helpers = 1;
    // How long a helper above the fewest may stay without requests before
    // it is stopped.
    Milliseconds idle_stop{30'000};
    // The device scales to warm up: each helper, once started, renders a
    // tiny entry at each of them before it takes work, so that the first
    // real request at that scale finds its page ready.
    std::vector<float> warm_scales;
    // The entry they render to warm up. Best one typical of the
    // application's own (its markup, faces, symbols and `lang`): a first
    // entry still pays for the fonts and fallbacks it is the first to use.
    // Empty: a small built-in entry. It gets `client.allow_network`.
    std::string warm_entry;
    // Requests written to one helper at a time (at least 1).
    std::size_t in_flight = 2;
};

// How one call is made.
struct CallOptions {
    // Higher first; calls of one priority in the order they were made.
    int priority = 0;
    // The time limit of the call from the moment it is written to a
    // helper (a `Call` error when it passes). Unset: the pool's
    // `client.call_timeout`. The blocking calls count their time from the
    // call itself, waiting included.
    std::optional<Milliseconds> timeout;
    // Whether the entry may fetch what it names (see
    // `ClientOptions::allow_network`). Unset: the pool's
    // `client.allow_network`. Ignored by `evaluate`.
    std::optional<bool> allow_network;
};

// A call in the pool, to cancel it. Copyable; a default one refers to no
// call. Dropping it does not cancel the call.
class QOR_WEBVIEW_API CallHandle {
public:
    CallHandle() = default;
    // Cancels the call: its callback will not run. Returns false when it is
    // too late: the callback has run or is running.
    bool cancel() const;
    // Moves a call that still waits to another priority, as the last of
    // it. Returns false when the call has been written already.
    bool set_priority(int priority) const;
    // Whether the call is neither completed nor cancelled.
    bool pending() const;
    // Whether the call's request has been written to a helper.
    bool written() const;

    struct State;
    explicit CallHandle(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

private:
    std::shared_ptr<State> state_;
};

template <class T>
using Completion = std::function<void(Expected<T, Error>)>;

// What a pool is doing, for tests and monitors.
struct PoolStatus {
    std::size_t helpers = 0;   // running or starting
    std::size_t waiting = 0;   // calls not yet written
    std::size_t in_flight = 0; // requests written, answers not yet read
    std::vector<int> pids;     // of the running helpers; the first is the evaluation helper's, if it runs
};

class QOR_WEBVIEW_API Pool {
public:
    // Finds the helper (as `Client::start` does), starts the fewest helpers
    // in the background and returns at once. Errors: `Start` when no helper
    // can be found or the one named cannot be run. A helper that cannot start later fails the calls
    // waiting for it with the error `Client::start` would give.
    static Expected<Pool, Error> start(PoolOptions options = {});

    Pool(Pool&& other) noexcept;
    Pool& operator=(Pool&& other) noexcept;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool();

    // Asynchronous calls: they return at once; `done` receives what the
    // blocking call would return, when `dispatch()` runs it.
    CallHandle render_log_async(std::string html, float width, float scale, Completion<LogPicture> done,
                                CallOptions options = {});
    CallHandle render_image_async(std::string html, float scale, Completion<std::vector<std::uint8_t>> done,
                                  CallOptions options = {});
    CallHandle evaluate_async(std::vector<std::string> scripts, std::string result, Completion<std::string> done,
                              CallOptions options = {});

    // Blocking calls, built on the asynchronous ones; their answers do not
    // go through `dispatch()`. Errors as `Client`'s, but `Stopped` only for
    // an `evaluate` whose helper died, or a render request whose helper
    // died twice.
    Expected<LogPicture, Error> render_log(std::string_view html, float width, float scale, CallOptions options = {});
    Expected<std::vector<std::uint8_t>, Error> render_image(std::string_view html, float scale,
                                                            CallOptions options = {});
    Expected<std::string, Error> evaluate(const std::vector<std::string>& scripts, std::string_view result,
                                          CallOptions options = {});

    // A descriptor that is readable while completions wait for `dispatch()`.
    // Owned by the pool; poll it, never read or close it.
    int fd() const;
    // Runs the callbacks of the completions waiting now (at most `most` of
    // them; the descriptor stays readable while some are left), on this
    // thread, and returns how many ran. Never blocks on the helpers.
    // Callbacks may make and cancel calls; one that throws leaves the
    // others waiting for the next dispatch().
    std::size_t dispatch(std::size_t most = static_cast<std::size_t>(-1));

    // Adds a scale to warm up: the helpers running now render their small
    // entry at it at once, those started later before they take work.
    // For a scale known only once the window is shown.
    void warm_up(float scale);

    PoolStatus status() const;

    struct Impl;

private:
    explicit Pool(std::shared_ptr<Impl> impl) noexcept;
    std::shared_ptr<Impl> impl_;
};

}  // namespace qor_webview
