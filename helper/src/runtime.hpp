// A small coroutine runtime on the GLib main context.
//
// The root task (serve) is driven by one GSource at default priority. Every
// wake-up (a queued line, a timeout, a WebKit completion) only makes that
// source ready; the suspended coroutine is resumed from the source's dispatch
// on a clean stack, never inside a GTK or WebKit callback, so resuming never
// re-enters WebKit.
#pragma once

#include <glib.h>

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "owners.hpp"
#include "queue.hpp"

namespace qor_webview_helper::rt {

// Something a parked coroutine waits for; looked at before it is resumed.
class Waiter {
public:
    virtual bool ready() const = 0;

protected:
    ~Waiter() = default;
};

template <class T = void>
class Async;

namespace detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            if (auto c = h.promise().continuation) return c;
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    // Kept for the awaiter, which rethrows it: an allocation failure deep in
    // a request reaches the serve loop, which answers it; anything escaping
    // the root task is a bug and ends the process (Driver::run).
    void unhandled_exception() noexcept { exception = std::current_exception(); }
    void rethrow_if_failed() const {
        if (exception) std::rethrow_exception(exception);
    }
    std::exception_ptr exception;
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Async<T> get_return_object() noexcept;
    template <class U>
    void return_value(U&& v) {
        value.emplace(std::forward<U>(v));
    }
};

template <>
struct Promise<void> : PromiseBase {
    Async<void> get_return_object() noexcept;
    void return_void() noexcept {}
};

}  // namespace detail

// A lazily started coroutine; `co_await` runs it and resumes the awaiter when
// it completes.
template <class T>
class [[nodiscard]] Async {
public:
    using promise_type = detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    explicit Async(Handle h) noexcept : h_(h) {}
    Async(Async&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Async& operator=(Async&& other) noexcept {
        if (this != &other) {
            if (h_) h_.destroy();
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    ~Async() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept {
        h_.promise().continuation = awaiter;
        return h_;
    }
    T await_resume() {
        h_.promise().rethrow_if_failed();
        if constexpr (!std::is_void_v<T>) return std::move(*h_.promise().value);
    }

    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    Handle h_;
};

namespace detail {
template <class T>
Async<T> Promise<T>::get_return_object() noexcept {
    return Async<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Async<void> Promise<void>::get_return_object() noexcept {
    return Async<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
}  // namespace detail

// Runs a root task as a GSource of the default main context.
class Driver {
public:
    // Attaches the source, made ready at once so the first iteration starts
    // the task. `on_done` runs (from dispatch) when the task has completed.
    Driver(Async<void> task, void (*on_done)(void*), void* data);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // The driver whose task is running right now (main thread only).
    static Driver* current() noexcept;

    // Parks the running coroutine until `waiter` is ready.
    void park(std::coroutine_handle<> h, const Waiter* waiter) noexcept;
    // Makes the source ready; safe from any thread.
    void wake() noexcept;
    // A counted wake-up for the request queue.
    Waker* waker() noexcept;
    bool done() const noexcept { return done_; }

private:
    struct Source;
    class SourceWaker;
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);
    void run();

    AttachedSource source_;
    Async<void>::Handle root_;
    std::coroutine_handle<> parked_;
    const Waiter* waiter_ = nullptr;
    bool done_ = false;
    bool started_ = false;
    SourceWaker* waker_ = nullptr;
    void (*on_done_)(void*);
    void* on_done_data_;
};

// Suspends until the driver is next woken (by the request queue, say); the
// caller looks again for what it waits for.
class WakeUp final : public Waiter {
public:
    bool ready() const override { return true; }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { Driver::current()->park(h, this); }
    void await_resume() noexcept {}
};

// Suspends for `ms` milliseconds (a GLib timeout source at default priority).
class Sleep final : public Waiter {
public:
    explicit Sleep(unsigned ms) : ms_(ms) {}
    Sleep(const Sleep&) = delete;
    bool ready() const override { return fired_; }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h);
    void await_resume() noexcept {}

private:
    static gboolean on_timeout(gpointer self);
    unsigned ms_;
    Driver* driver_ = nullptr;
    AttachedSource timer_;
    bool fired_ = false;
};

inline Sleep sleep_ms(unsigned ms) { return Sleep(ms); }

// The one-shot result of an operation, delivered by a callback on the main
// thread. The callback keeps it alive through its own reference, so a result
// that arrives after the waiter gave up lands harmlessly.
template <class T>
class Completion {
public:
    void set(T value) {
        if (value_) return;
        value_.emplace(std::move(value));
        if (driver_) driver_->wake();
    }
    bool has_value() const noexcept { return value_.has_value(); }
    T take() { return std::move(*std::exchange(value_, std::nullopt)); }
    // The driver to wake when the value arrives; cleared when nobody waits.
    void watch(Driver* d) noexcept { driver_ = d; }

private:
    std::optional<T> value_;
    Driver* driver_ = nullptr;
};

// Waits for whichever comes first: the completion's value or a time limit.
// The completion is looked at first. Result: true when the value came.
template <class T>
class FirstOf final : public Waiter {
public:
    FirstOf(std::shared_ptr<Completion<T>> completion, unsigned ms) : completion_(std::move(completion)), ms_(ms) {}
    ~FirstOf() { completion_->watch(nullptr); }
    FirstOf(const FirstOf&) = delete;

    bool ready() const override { return completion_->has_value() || expired_; }
    bool await_ready() const noexcept { return completion_->has_value(); }
    void await_suspend(std::coroutine_handle<> h) {
        Driver* d = Driver::current();
        driver_ = d;
        completion_->watch(d);
        timer_.reset(g_timeout_source_new(ms_));
        g_source_set_callback(timer_.get(), &FirstOf::on_timeout, this, nullptr);
        g_source_attach(timer_.get(), g_main_context_get_thread_default());
        d->park(h, this);
    }
    bool await_resume() noexcept { return completion_->has_value(); }

private:
    static gboolean on_timeout(gpointer p) {
        auto* self = static_cast<FirstOf*>(p);
        self->expired_ = true;
        self->driver_->wake();
        return G_SOURCE_REMOVE;
    }
    std::shared_ptr<Completion<T>> completion_;
    unsigned ms_;
    Driver* driver_ = nullptr;
    AttachedSource timer_;
    bool expired_ = false;
};

}  // namespace qor_webview_helper::rt
