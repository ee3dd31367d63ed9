#include "runtime.hpp"

#include <atomic>

namespace qor_webview_helper::rt {

namespace {
Driver* running = nullptr;
}

struct Driver::Source {
    GSource base;
    Driver* driver;
};

// The queue's wake-up: a counted reference to the driver's source. Making a
// destroyed source ready is a no-op, so a late push after the end is harmless.
class Driver::SourceWaker final : public Waker {
public:
    explicit SourceWaker(GSource* s) : source_(GRef<GSource>::ref(s)) {}
    void fire() override { g_source_set_ready_time(source_.get(), 0); }
    void retain() override { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() override {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    ~SourceWaker() = default;
    std::atomic<int> refs_{1};
    GRef<GSource> source_;
};

namespace {
GSourceFuncs driver_funcs = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};
}  // namespace

Driver::Driver(Async<void> task, void (*on_done)(void*), void* data)
    : root_(task.release()), on_done_(on_done), on_done_data_(data) {
    driver_funcs.dispatch = &Driver::dispatch;
    source_.reset(g_source_new(&driver_funcs, sizeof(Source)));
    GSource* s = source_.get();
    reinterpret_cast<Source*>(s)->driver = this;
    g_source_set_priority(s, G_PRIORITY_DEFAULT);
    g_source_set_name(s, "serve");
    g_source_set_ready_time(s, 0);
    g_source_attach(s, nullptr);
}

Driver::~Driver() {
    if (waker_) waker_->release();
    source_.reset();
    if (root_) root_.destroy();
}

Driver* Driver::current() noexcept { return running; }

Waker* Driver::waker() noexcept {
    if (!waker_) waker_ = new SourceWaker(source_.get());
    return waker_;
}

void Driver::park(std::coroutine_handle<> h, const Waiter* waiter) noexcept {
    parked_ = h;
    waiter_ = waiter;
}

void Driver::wake() noexcept { g_source_set_ready_time(source_.get(), 0); }

gboolean Driver::dispatch(GSource* source, GSourceFunc, gpointer) {
    auto* self = reinterpret_cast<Source*>(source)->driver;
    g_source_set_ready_time(source, -1);
    self->run();
    return self->done_ ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void Driver::run() {
    if (done_) return;
    std::coroutine_handle<> next;
    if (!started_) {
        started_ = true;
        next = root_;
    } else {
        if (waiter_ && !waiter_->ready()) return;  // woken early: keep waiting
        next = std::exchange(parked_, {});
        waiter_ = nullptr;
    }
    if (!next) return;
    GMainContext* context = g_main_context_default();
    g_main_context_acquire(context);
    g_main_context_push_thread_default(context);
    Driver* outer = std::exchange(running, this);
    next.resume();
    running = outer;
    g_main_context_pop_thread_default(context);
    g_main_context_release(context);
    if (root_.done()) {
        if (root_.promise().exception) std::terminate();
        done_ = true;
        root_.destroy();
        root_ = {};
        if (on_done_) on_done_(on_done_data_);
    }
}

void Sleep::await_suspend(std::coroutine_handle<> h) {
    driver_ = Driver::current();
    timer_.reset(g_timeout_source_new(ms_));
    g_source_set_callback(timer_.get(), &Sleep::on_timeout, this, nullptr);
    g_source_attach(timer_.get(), g_main_context_get_thread_default());
    driver_->park(h, this);
}

gboolean Sleep::on_timeout(gpointer p) {
    auto* self = static_cast<Sleep*>(p);
    self->fired_ = true;
    self->driver_->wake();
    return G_SOURCE_REMOVE;
}

}  // namespace qor_webview_helper::rt
