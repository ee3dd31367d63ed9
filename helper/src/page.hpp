// A page: one web view in one offscreen window, locked down, with its load
// state and the time-limited operations run on it.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "display.hpp"
#include "owners.hpp"
#include "qor_webview/error.hpp"
#include "qor_webview/expected.hpp"
#include "runtime.hpp"

namespace qor_webview_helper {

enum class PageKind : std::uint8_t { Log = 0, Image = 1, Evaluate = 2 };

// Whether a snapshot paints the web view's background colour or leaves the
// background out, transparent.
enum class Background : std::uint8_t { Painted, Transparent };

// How a load ended, as its waiter receives it.
struct LoadOutcome {
    enum class Kind : std::uint8_t { Success, Failure, Cancelled };
    Kind kind = Kind::Success;
    std::string text;  // the failure's text

    static LoadOutcome success() { return {}; }
    static LoadOutcome failure(std::string text) { return {Kind::Failure, std::move(text)}; }
    static LoadOutcome cancelled() { return {Kind::Cancelled, {}}; }
};

// The sending half of a load's one-shot channel; dropped unsent, it delivers
// "cancelled".
class LoadSender {
public:
    explicit LoadSender(std::shared_ptr<rt::Completion<LoadOutcome>> completion)
        : completion_(std::move(completion)) {}
    LoadSender(LoadSender&&) noexcept = default;
    LoadSender& operator=(LoadSender&&) noexcept = default;
    ~LoadSender() {
        if (completion_) completion_->set(LoadOutcome::cancelled());
    }
    void send(LoadOutcome outcome) {
        if (auto completion = std::move(completion_)) completion->set(std::move(outcome));
    }

private:
    std::shared_ptr<rt::Completion<LoadOutcome>> completion_;
};

struct PendingLoad {
    LoadSender done;
    bool started = false;
};

// A value whose users may not overlap: each borrow is short and ends before
// any call into WebKit, which may call back into the handlers.
template <class T>
class Exclusive {
public:
    class Borrow {
    public:
        explicit Borrow(Exclusive& e) : e_(e) {
            if (e_.borrowed_) g_error("overlapping access to a page's load state");
            e_.borrowed_ = true;
        }
        ~Borrow() { e_.borrowed_ = false; }
        Borrow(const Borrow&) = delete;
        T& operator*() { return e_.value_; }
        T* operator->() { return &e_.value_; }

    private:
        Exclusive& e_;
    };
    Borrow borrow() { return Borrow(*this); }

private:
    T value_{};
    bool borrowed_ = false;
};

// The load state a page shares with its three load handlers.
struct Shared {
    Exclusive<std::optional<PendingLoad>> pending;
    bool terminated = false;

    // Completes the waited-for load, if any, with success or a failure text.
    void finish(LoadOutcome result);
};

class Page {
public:
    Page(GRef<GtkWidget> window, GRef<WebKitWebView> web_view, std::shared_ptr<Shared> shared)
        : window_(std::move(window)), web_view_(std::move(web_view)), shared_(std::move(shared)) {}
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page();

    WebKitWebView* web_view() const noexcept { return web_view_.get(); }
    bool terminated() const noexcept { return shared_->terminated; }
    // The web view's size in window pixels.
    std::pair<std::int32_t, std::int32_t> allocation() const noexcept;

    // The operations own what they are given (the texts move into their
    // frames), so a task stays valid however long it is kept.
    rt::Async<qor_webview::Expected<void, qor_webview::Error>> load(std::string html);
    rt::Async<void> resize(std::int32_t width, std::int32_t height);
    rt::Async<qor_webview::Expected<std::string, qor_webview::Error>> run_script(std::string body);
    rt::Async<qor_webview::Expected<std::string, qor_webview::Error>> evaluate(std::string script);
    rt::Async<qor_webview::Expected<Surface, qor_webview::Error>> snapshot(Background background);

private:
    // Starts a WebKit call; it holds copies of all it needs. Made as a named
    // local before `co_await call(...)`: GCC 12 destroys a lambda temporary
    // of an awaited expression twice when it captures by move (a double
    // free of the captured text).
    using CallStart = std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>;
    // Starts an asynchronous WebKit call and waits for it at most 10 seconds;
    // nullopt when the time ran out (the web process is then terminated).
    rt::Async<std::optional<GRef<GAsyncResult>>> call(CallStart start);

    GRef<GtkWidget> window_;
    GRef<WebKitWebView> web_view_;
    std::shared_ptr<Shared> shared_;
};

// What pages are built with; owned by the renderer.
struct PageSetup {
    WebKitWebContext* context;
    Display& display;  // takes a new page's window scale
};

// Builds a locked-down page. Only an Evaluate page can fail (its first
// document did not load).
rt::Async<qor_webview::Expected<std::unique_ptr<Page>, qor_webview::Error>> new_page(PageSetup setup, PageKind kind,
                                                                                     std::int32_t scale);

// The name of a web process termination reason.
std::string termination_reason_name(int reason);

}  // namespace qor_webview_helper
