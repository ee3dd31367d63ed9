#include "page.hpp"

#include <string>

#include "cairo_names.hpp"
#include "emoji.hpp"
#include "lazy.hpp"
#include "log.hpp"
#include "profile.hpp"
#include "webkit_owners.hpp"

namespace qor_webview_helper {

namespace {

using qor_webview::Error;
using qor_webview::Expected;

constexpr const char* kPageTarget = "qor_webview_helper::page";
constexpr unsigned kCallLimitMs = 10000;
constexpr unsigned kLoadLimitMs = 10000;
constexpr std::int64_t kResizeDeadlineUs = 2'000'000;
constexpr unsigned kResizePollMs = 2;
constexpr const char* kWorld = "qor";
constexpr const char* kBlankDocument = "<!DOCTYPE html><title>Qor</title>";

Shared& shared_of(gpointer data) { return SharedBox<Shared>::get(data); }

// ------------------------------------------------------------ lock-down

// Whether a navigation the page asks for would replace its document. Loads
// of about: documents commit inside the web process before any load event or
// response decision reaches us, so they are refused here; every other
// navigation meets the response rule, which does tell the main frame apart.
// Navigation actions do not name their frame, so the address has to: the
// main frame only ever holds "about:blank" (the helper loads without a base
// URI), so reloads and history moves to about: documents are refused, and
// "about:blank" unless it is the helper's own load (a frame refused it keeps
// its initial document, the same empty one). "about:srcdoc" is let through
// for the documents of srcdoc frames; a page that sends its main frame there
// cannot be told from them. Other about: documents are refused once the
// page's document is complete, so that frames loading with it get theirs.
bool replaces_document(WebKitNavigationAction* action, Shared& shared) {
    bool requested, loading;
    {
        auto pending = shared.pending.borrow();
        loading = pending->has_value();
        requested = loading && !(*pending)->started;
    }
    if (requested) return false;  // the helper's own load_html
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    std::string_view uri = request && webkit_uri_request_get_uri(request) ? webkit_uri_request_get_uri(request) : "";
    if (!uri.starts_with("about:")) return false;
    if (uri == "about:srcdoc") return false;
    switch (webkit_navigation_action_get_navigation_type(action)) {
        case WEBKIT_NAVIGATION_TYPE_RELOAD:
        case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
        case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
            return true;
        default:
            break;
    }
    if (uri == "about:blank") return true;
    return !loading;
}

gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                          gpointer data) {
    switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION: {
            auto* action = webkit_navigation_policy_decision_get_navigation_action(
                WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            if (replaces_document(action, shared_of(data))) {
                webkit_policy_decision_ignore(decision);
            } else {
                webkit_policy_decision_use(decision);
            }
            break;
        }
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE: {
            if (!WEBKIT_IS_RESPONSE_POLICY_DECISION(decision)) {
                webkit_policy_decision_ignore(decision);
                break;
            }
            auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
            WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
            const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
            std::string_view u = uri ? uri : "";
            if (!webkit_response_policy_decision_is_mime_type_supported(response)) {
                webkit_policy_decision_ignore(decision);
            } else if (!webkit_response_policy_decision_is_main_frame_main_resource(response) ||
                       u == "about:blank") {
                webkit_policy_decision_use(decision);
            } else {
                webkit_policy_decision_ignore(decision);
            }
            break;
        }
        default:
            webkit_policy_decision_ignore(decision);
            break;
    }
    return TRUE;
}

gboolean on_permission_request(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
    webkit_permission_request_deny(request);
    return TRUE;
}

gboolean on_script_dialog(WebKitWebView*, WebKitScriptDialog*, gpointer) { return TRUE; }

// ------------------------------------------------------------ load tracking

void on_load_changed(WebKitWebView* web_view, WebKitLoadEvent event, gpointer data) {
    Shared& shared = shared_of(data);
    bool stop = false;
    std::optional<PendingLoad> finished;
    {
        auto pending = shared.pending.borrow();
        if (event == WEBKIT_LOAD_STARTED) {
            if (!pending->has_value()) {
                stop = true;  // a navigation nobody asked for
            } else if (!(*pending)->started) {
                (*pending)->started = true;
            } else {
                stop = true;  // a second load while the waited-for one runs
            }
        } else if (event == WEBKIT_LOAD_FINISHED && pending->has_value() && (*pending)->started) {
            finished = std::exchange(*pending, std::nullopt);
        }
    }
    if (finished) finished->done.send(LoadOutcome::success());
    if (stop) webkit_web_view_stop_loading(web_view);
}

gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
    bool cancelled = error && error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED;
    if (uri && std::string_view(uri) == "about:blank" && !cancelled) {
        shared_of(data).finish(LoadOutcome::failure(error && error->message ? error->message : ""));
    }
    return TRUE;
}

void on_web_process_terminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
    std::string name = termination_reason_name(static_cast<int>(reason));
    QOR_LOG(log::Level::Warn, kPageTarget, "the web process of a page ended: ", name);
    Shared& shared = shared_of(data);
    shared.terminated = true;
    shared.finish(LoadOutcome::failure("the web process ended: " + name));
}

// ------------------------------------------------------------ waits

// The result of an asynchronous WebKit call, kept alive by the callback's own
// reference so that a completion after a time-out lands harmlessly.
using CallResult = rt::Completion<GRef<GAsyncResult>>;

void on_call_done(GObject*, GAsyncResult* result, gpointer data) {
    SharedBox<CallResult>::take(data)->set(GRef<GAsyncResult>::ref(result));
}

std::int64_t monotonic_us() { return g_get_monotonic_time(); }

// A script's value as text; a value without a string form is a script error.
Expected<std::string, Error> script_value(JSCValue* raw, const GErrorPtr& error) {
    if (!raw) return qor_webview::unexpected(Error::script(error ? error.get()->message : ""));
    GRef<JSCValue> owned = GRef<JSCValue>::adopt(raw);
    JSCValue* value = owned.get();
    if (Owned<gchar> text{jsc_value_to_string(value)}) return std::string(text.get());
    std::string message = "the script's value has no text";
    JSCContext* context = jsc_value_get_context(value);
    if (JSCException* exception = context ? jsc_context_get_exception(context) : nullptr) {
        if (const char* m = jsc_exception_get_message(exception)) message = m;
        jsc_context_clear_exception(context);
    }
    return qor_webview::unexpected(Error::script(std::move(message)));
}

}  // namespace

std::string termination_reason_name(int reason) {
    switch (reason) {
        case WEBKIT_WEB_PROCESS_CRASHED:
            return "Crashed";
        case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT:
            return "ExceededMemoryLimit";
        case WEBKIT_WEB_PROCESS_TERMINATED_BY_API:
            return "TerminatedByApi";
        default:
            return "__Unknown(" + std::to_string(reason) + ")";
    }
}

void Shared::finish(LoadOutcome result) {
    std::optional<PendingLoad> taken;
    {
        auto p = pending.borrow();
        taken = std::exchange(*p, std::nullopt);
    }
    if (taken) taken->done.send(std::move(result));
}

Page::~Page() {
    webkit_web_view_stop_loading(web_view_.get());
    gtk_window_close(GTK_WINDOW(window_.get()));
    window_.reset();
    web_view_.reset();
    shared_.reset();
}

rt::Async<Expected<void, Error>> Page::load(std::string html) {
    QOR_PROFILE_SCOPE("load");
    auto done = std::make_shared<rt::Completion<LoadOutcome>>();
    {
        // A pending load being replaced hears "cancelled" as its sender drops.
        auto pending = shared_->pending.borrow();
        *pending = PendingLoad{.done = LoadSender(done), .started = false};
    }
    webkit_web_view_load_html(web_view_.get(), html.c_str(), nullptr);
    bool came = co_await rt::FirstOf<LoadOutcome>(done, kLoadLimitMs);
    // A load that runs out of time counts as loaded: what has been parsed is
    // still drawn and measured, and a page that keeps a resource hanging
    // still gets its picture rather than an error.
    if (!came) {
        {
            auto pending = shared_->pending.borrow();
            pending->reset();
        }
        webkit_web_view_stop_loading(web_view_.get());
        co_return Expected<void, Error>{};
    }
    LoadOutcome outcome = done->take();
    switch (outcome.kind) {
        case LoadOutcome::Kind::Failure:
            co_return qor_webview::unexpected(Error::load(std::move(outcome.text)));
        case LoadOutcome::Kind::Cancelled:
            co_return qor_webview::unexpected(Error::load("the load was replaced"));
        case LoadOutcome::Kind::Success:
            break;
    }
    co_return Expected<void, Error>{};
}

std::pair<std::int32_t, std::int32_t> Page::allocation() const noexcept {
    GtkWidget* view = GTK_WIDGET(web_view_.get());
    return {gtk_widget_get_allocated_width(view), gtk_widget_get_allocated_height(view)};
}

rt::Async<void> Page::resize(std::int32_t width, std::int32_t height) {
    QOR_PROFILE_SCOPE("resize");
    std::int32_t w = width >= 1 ? width : 1;
    std::int32_t h = height >= 1 ? height : 1;
    GtkWidget* view = GTK_WIDGET(web_view_.get());
    gtk_widget_set_size_request(view, w, h);
    gtk_window_resize(GTK_WINDOW(window_.get()), w, h);
    // Lay out now instead of on the next frame-clock tick.
    gtk_container_check_resize(GTK_CONTAINER(window_.get()));
    std::int64_t deadline = monotonic_us() + kResizeDeadlineUs;
    while (gtk_widget_get_allocated_width(view) != w || gtk_widget_get_allocated_height(view) != h) {
        if (monotonic_us() >= deadline) break;
        co_await rt::sleep_ms(kResizePollMs);
    }
    int aw = gtk_widget_get_allocated_width(view);
    int ah = gtk_widget_get_allocated_height(view);
    if (aw != w || ah != h) {
        QOR_LOG(log::Level::Warn, kPageTarget, "the web view is (", aw, ", ", ah, "), not ", w, "x", h);
    }
}

rt::Async<std::optional<GRef<GAsyncResult>>> Page::call(CallStart start) {
    auto done = std::make_shared<CallResult>();
    GRef<GCancellable> cancellable = GRef<GCancellable>::adopt(g_cancellable_new());
    start(cancellable.get(), on_call_done, SharedBox<CallResult>::into(done));
    if (co_await rt::FirstOf<GRef<GAsyncResult>>(done, kCallLimitMs)) co_return done->take();
    // Out of time: abandon the call and end the page's web process, so the
    // pool builds a fresh page next time.
    g_cancellable_cancel(cancellable.get());
    shared_->terminated = true;
    webkit_web_view_terminate_web_process(web_view_.get());
    co_return std::nullopt;
}

rt::Async<Expected<std::string, Error>> Page::run_script(std::string body) {
    QOR_PROFILE_SCOPE("script");
    CallStart start = [view = web_view_.get(), text = std::move(body)](GCancellable* c, GAsyncReadyCallback cb,
                                                                        gpointer data) {
        webkit_web_view_call_async_javascript_function(view, text.c_str(), static_cast<gssize>(text.size()),
                                                       nullptr, kWorld, nullptr, c, cb, data);
    };
    auto result = co_await call(std::move(start));
    if (!result) co_return qor_webview::unexpected(Error::script("the script timed out"));
    GErrorPtr error;
    JSCValue* value =
        webkit_web_view_call_async_javascript_function_finish(web_view_.get(), result->get(), error.out());
    co_return script_value(value, error);
}

rt::Async<Expected<std::string, Error>> Page::evaluate(std::string script) {
    QOR_PROFILE_SCOPE("script");
    CallStart start = [view = web_view_.get(), text = std::move(script)](GCancellable* c, GAsyncReadyCallback cb,
                                                                          gpointer data) {
        webkit_web_view_evaluate_javascript(view, text.c_str(), static_cast<gssize>(text.size()), kWorld, nullptr, c,
                                            cb, data);
    };
    auto result = co_await call(std::move(start));
    if (!result) co_return qor_webview::unexpected(Error::script("the script timed out"));
    GErrorPtr error;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(web_view_.get(), result->get(), error.out());
    co_return script_value(value, error);
}

rt::Async<Expected<Surface, Error>> Page::snapshot(Background background) {
    QOR_PROFILE_SCOPE("snapshot");
    auto options = background == Background::Transparent ? WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND
                                                         : WEBKIT_SNAPSHOT_OPTIONS_NONE;
    CallStart start = [view = web_view_.get(), options](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        webkit_web_view_get_snapshot(view, WEBKIT_SNAPSHOT_REGION_VISIBLE, options, c, cb, data);
    };
    auto result = co_await call(std::move(start));
    if (!result) co_return qor_webview::unexpected(Error::snapshot("the snapshot timed out"));
    GErrorPtr error;
    Surface surface(webkit_web_view_get_snapshot_finish(web_view_.get(), result->get(), error.out()));
    if (!surface) co_return qor_webview::unexpected(Error::snapshot(error ? error.get()->message : ""));
    int type = cairo_surface_get_type(surface.get());
    if (type != CAIRO_SURFACE_TYPE_IMAGE)
        co_return qor_webview::unexpected(Error::snapshot("the snapshot is a " + surface_type_name(type) + " surface"));
    if (cairo_status_t status = cairo_surface_status(surface.get()); status != CAIRO_STATUS_SUCCESS)
        co_return qor_webview::unexpected(
            Error::snapshot("the snapshot is in an error state: " + cairo_status_name(status)));
    co_return std::move(surface);
}

rt::Async<Expected<std::unique_ptr<Page>, Error>> new_page(PageSetup setup, PageKind kind, std::int32_t scale) {
    // Before the web view exists, so that its window is made at that scale.
    setup.display.use_window_scale(scale);

    auto owned_settings = GRef<WebKitSettings>::adopt(webkit_settings_new());
    WebKitSettings* settings = owned_settings.get();
    webkit_settings_set_enable_javascript(settings, TRUE);
    webkit_settings_set_enable_javascript_markup(settings, kind == PageKind::Image);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_enable_page_cache(settings, FALSE);
    webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    // Pictures get emoji in colour and every image and frame loaded with
    // the document, in its frames too; the evaluation page's document is
    // left as the scripts find it.
    auto content = GRef<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    if (kind != PageKind::Evaluate) {
        Owned<WebKitUserScript> eager{webkit_user_script_new_for_world(
            std::string(scripts::kEagerLoading).c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
            WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kWorld, nullptr, nullptr)};
        webkit_user_content_manager_add_script(content.get(), eager.get());
        Owned<WebKitUserScript> emoji{webkit_user_script_new_for_world(
            std::string(scripts::kEmojiPresentation).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
            WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, kWorld, nullptr, nullptr)};
        webkit_user_content_manager_add_script(content.get(), emoji.get());
    }

    auto web_view = GRef<WebKitWebView>::ref_sink(WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context",
                                                                               setup.context, "settings", settings,
                                                                               "user-content-manager", content.get(),
                                                                               nullptr)));
    if (kind == PageKind::Log) {
        GdkRGBA clear = {0, 0, 0, 0};
        webkit_web_view_set_background_color(web_view.get(), &clear);
    }
    auto window = GRef<GtkWidget>::ref_sink(gtk_offscreen_window_new());
    auto shared = std::make_shared<Shared>();

    connect_shared(web_view.get(), "decide-policy", G_CALLBACK(on_decide_policy), shared);
    g_signal_connect(web_view.get(), "permission-request", G_CALLBACK(on_permission_request), nullptr);
    g_signal_connect(web_view.get(), "script-dialog", G_CALLBACK(on_script_dialog), nullptr);

    connect_shared(web_view.get(), "load-changed", G_CALLBACK(on_load_changed), shared);
    connect_shared(web_view.get(), "load-failed", G_CALLBACK(on_load_failed), shared);
    connect_shared(web_view.get(), "web-process-terminated", G_CALLBACK(on_web_process_terminated), shared);

    gtk_container_add(GTK_CONTAINER(window.get()), GTK_WIDGET(web_view.get()));
    gtk_widget_show_all(window.get());
    // Pictures come from WebKit's snapshots, never from the window's own
    // drawing, which would only keep another copy of the largest picture
    // (and draw it again after every resize). The window stays mapped, so
    // the page stays visible to WebKit and its document runs as on screen.
    gdk_window_freeze_updates(gtk_widget_get_window(window.get()));
    owned_settings.reset();  // the web view keeps it alive

    auto page = std::make_unique<Page>(std::move(window), std::move(web_view), std::move(shared));
    if (kind == PageKind::Evaluate) {
        auto loaded = co_await page->load(kBlankDocument);
        if (!loaded) co_return qor_webview::unexpected(std::move(loaded).error());
    }
    co_return std::move(page);
}

}  // namespace qor_webview_helper
