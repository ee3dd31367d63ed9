#include "render.hpp"

#include <dlfcn.h>
#include <malloc.h>

#include <charconv>
#include <new>
#include <utility>

#include "cairo_names.hpp"
#include "log.hpp"
#include "profile.hpp"
#include "qor_webview/internal/overloaded.hpp"
#include "qor_webview/measured.hpp"
#include "scripts.hpp"

namespace qor_webview_helper {

namespace {

namespace protocol = qor_webview::protocol;
using qor_webview::Error;
using qor_webview::Expected;

constexpr const char* kRenderTarget = "qor_webview_helper::render";
constexpr const char* kOutOfMemory = "out of memory while answering the request";

void append_int(std::string& out, std::int64_t value) {
    char buffer[24];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

Expected<std::string, Error> base64(const std::vector<std::uint8_t>& bytes) {
    QOR_PROFILE_SCOPE("base64");
    try {
        return protocol::encode_png(bytes);
    } catch (const std::bad_alloc&) {
        return qor_webview::unexpected(Error::snapshot("failed to encode the snapshot as base64: out of memory"));
    }
}

// The device pixels of a page's window above which it is shrunk once its
// answer is out: WebKit keeps a copy of the window's contents in the helper
// as long as the window has that size.
constexpr std::int64_t kSettledPixels = std::int64_t{1} << 20;

// How long the helper is idle before it gives freed memory back. After a
// window was shrunk it is sooner: WebKit lets go of the large picture's
// buffers some tens of milliseconds after the shrink, and they are the bulk.
constexpr unsigned kTrimDelayMs = 1000;
constexpr unsigned kShrunkTrimDelayMs = 100;

// WebKit's own allocator keeps freed pages (a shrunk window's backing store
// among them) until its scavenger gets to them; it offers no public call to
// hurry that, so its release function is looked up and used when present.
void give_back_memory() {
    QOR_PROFILE_SCOPE("release");
    using Release = void (*)();
    static const Release webkit_release =
        reinterpret_cast<Release>(dlsym(RTLD_DEFAULT, "_ZN3WTF27releaseFastMallocFreeMemoryEv"));
    if (webkit_release) webkit_release();
    malloc_trim(0);
}

// A window of `size` device pixels would be more than the helper can take.
Error over_budget(const DeviceSize& size) {
    std::string message = "the picture would be ";
    append_int(message, size.width);
    message += "x";
    append_int(message, size.height);
    message += " device pixels, over the limit of ";
    append_int(message, static_cast<std::int64_t>(kDeviceLimit));
    message += " a side and ";
    append_int(message, kPixelBudget);
    message += " in all";
    return Error::snapshot(std::move(message));
}

// The answer to a request that ran out of memory: most of what a request
// allocates is its picture.
protocol::Response out_of_memory() noexcept {
    protocol::Response failed;
    try {
        failed = protocol::Failed{protocol::Failure{protocol::FailureKind::Snapshot, kOutOfMemory}};
    } catch (const std::bad_alloc&) {
        // Not even the message fits: the kind alone still tells the caller.
        failed = protocol::Failed{protocol::Failure{protocol::FailureKind::Snapshot, {}}};
    }
    return failed;
}

// Awaits a pipeline and makes its value, or its error, the answer.
template <class T, class Make>
rt::Async<protocol::Response> respond(rt::Async<Expected<T, Error>> pipeline, Make make) {
    auto result = co_await std::move(pipeline);
    if (!result) co_return protocol::Failed{std::move(result).error().into_failure()};
    co_return make(std::move(*result));
}

}  // namespace

Renderer::Renderer() {
    context_ = GRef<WebKitWebContext>::adopt(webkit_web_context_new_ephemeral());
    webkit_web_context_set_cache_model(context_.get(), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    display_ = Display::default_display();
    QOR_LOG(log::Level::Info, kRenderTarget, "drawing with webkitgtk, scaling by ",
            display_.scaling() == Scaling::Window ? "Window" : "Zoom");
}

// The web context reference first, then the display reference, then the
// pages. Spelled out because plain member destruction would not release
// them in this order, and the order of releases here is behaviour.
Renderer::~Renderer() {
    context_.reset();
    display_.reset();
    pages_.clear();
}

rt::Async<Expected<Page*, Error>> Renderer::page(PageKind kind, std::int32_t window_scale, double zoom) {
    Key key{kind, window_scale};
    std::unique_ptr<Page> old;
    if (auto it = pages_.find(key); it != pages_.end()) {
        old = std::move(it->second);
        pages_.erase(it);
    }
    std::unique_ptr<Page> result;
    if (old && !old->terminated()) {
        result = std::move(old);
    } else {
        PageSetup setup{context_.get(), display_};
        auto built = co_await new_page(setup, kind, window_scale);
        // The old page goes only once its successor exists (or cannot).
        old.reset();
        if (!built) co_return qor_webview::unexpected(std::move(built).error());
        result = std::move(*built);
    }
    // The display's window scale applies to every surface GDK makes from now
    // on, also for older pages: a page used at another scale than the one
    // last set would get buffers of the wrong size (and the X server may
    // refuse them, which ends the process). So it follows the page in use.
    display_.use_window_scale(window_scale);
    webkit_web_view_set_zoom_level(result->web_view(), zoom);
    last_ = key;
    auto& entry = pages_[key];
    entry = std::move(result);
    co_return entry.get();
}

void Renderer::give_back() {
    release_due_ = false;
    give_back_memory();
}

rt::Async<void> Renderer::settle() {
    QOR_PROFILE_SCOPE("settle");
    auto it = last_ ? pages_.find(*last_) : pages_.end();
    last_.reset();
    // WebKit has let go of the buffers of a window shrunk after the request
    // before, while this one ran: they go back now, not while a caller waits.
    if (release_due_) give_back();
    bool shrink = false;
    if (it != pages_.end() && !it->second->terminated()) {
        auto [width, height] = it->second->allocation();
        shrink = window_device_pixels(width, height, it->first.scale) > kSettledPixels;
        // The width stays, so the document keeps its layout; the next request
        // sizes the window anew before it looks at it.
        if (shrink) co_await it->second->resize(width, 1);
    }
    release_due_ = shrink;
    trim_.reset(g_timeout_source_new(shrink ? kShrunkTrimDelayMs : kTrimDelayMs));
    g_source_set_callback(
        trim_.get(),
        [](gpointer self) -> gboolean {
            static_cast<Renderer*>(self)->give_back();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(trim_.get(), g_main_context_get_thread_default());
}

rt::Async<protocol::Response> Renderer::answer(protocol::Request request) {
    // Each pipeline gets the request's fields as its own: the large texts
    // move into its frame.
    co_return co_await std::visit(
        qor_webview::detail::overloaded{
            [this](protocol::RenderLog& r) {
                return respond(render_log(std::move(r.html), r.width, r.scale),
                               [](protocol::Log log) -> protocol::Response { return protocol::Response(std::move(log)); });
            },
            [this](protocol::RenderImage& r) {
                return respond(render_image(std::move(r.html), r.scale),
                               [](std::string png) -> protocol::Response { return protocol::Image{std::move(png)}; });
            },
            [this](protocol::Evaluate& r) {
                return respond(evaluate(std::move(r.scripts), std::move(r.result)),
                               [](std::string text) -> protocol::Response { return protocol::Text{std::move(text)}; });
            },
        },
        request);
}

rt::Async<Expected<protocol::Log, Error>> Renderer::render_log(std::string html, float width, float scale) {
    using qor_webview::unexpected;
    ScaleChoice sc = scale_rule(scale, display_.scaling());
    // Checked before a page is taken: a request that cannot succeed must not
    // start a web process for its scale.
    std::int32_t w = log_window_width(width, sc);
    if (DeviceSize d = device_size(w, 1, sc); !within_budget(d)) co_return unexpected(over_budget(d));
    auto got = co_await page(PageKind::Log, sc.window_scale, sc.zoom);
    if (!got) co_return unexpected(std::move(got).error());
    Page& p = **got;

    co_await p.resize(w, 0);
    if (auto loaded = co_await p.load(std::move(html)); !loaded) co_return unexpected(std::move(loaded).error());

    float body;
    {
        auto text = co_await p.run_script(std::string(scripts::kMeasure));
        if (!text) co_return unexpected(std::move(text).error());
        auto measured = qor_webview::parse_measured(*text);
        if (!measured) co_return unexpected(std::move(measured).error());
        body = measured->body;
    }
    float h = log_height(body, sc);
    std::int32_t window_height = log_window_height(h, sc);
    // Checked before the window grows: WebKit paints as soon as it has.
    if (DeviceSize d = device_size(w, window_height, sc); !within_budget(d)) co_return unexpected(over_budget(d));
    co_await p.resize(w, window_height);

    auto links = co_await p.run_script(std::string(scripts::kLinks));
    if (!links) co_return unexpected(std::move(links).error());

    auto snap = co_await p.snapshot(Background::Transparent);
    if (!snap) co_return unexpected(std::move(snap).error());
    cairo_surface_t* snapshot = snap->get();

    protocol::Log out;
    out.width = width;
    out.height = h;
    out.links = std::move(*links);

    double ratio = snapshot_ratio(cairo_image_surface_get_height(snapshot), h);
    std::vector<BandSpan> bands = band_list(h, ratio);
    out.tiles.reserve(bands.size());
    for (const BandSpan& band : bands) {
        std::int32_t snapshot_height = cairo_image_surface_get_height(snapshot);
        BandRows rows = band_rows(band, ratio, snapshot_height);
        auto cut = cut_band(snapshot, rows);
        if (!cut) co_return unexpected(std::move(cut).error());
        Surface strip = std::move(*cut);
        auto bytes = png(strip.get());
        if (!bytes) co_return unexpected(std::move(bytes).error());
        auto text = base64(*bytes);
        if (!text) co_return unexpected(std::move(text).error());
        bytes->clear();
        bytes->shrink_to_fit();
        strip.reset();
        out.tiles.push_back(protocol::Band{band.top, band.height, std::move(*text)});
    }
    co_return std::move(out);
}

rt::Async<Expected<std::string, Error>> Renderer::render_image(std::string html, float scale) {
    using qor_webview::unexpected;
    ScaleChoice sc = scale_rule(scale, display_.scaling());
    WindowSize viewport = image_viewport(sc);
    if (DeviceSize d = device_size(viewport.width, viewport.height, sc); !within_budget(d))
        co_return unexpected(over_budget(d));
    auto got = co_await page(PageKind::Image, sc.window_scale, sc.zoom);
    if (!got) co_return unexpected(std::move(got).error());
    Page& p = **got;

    co_await p.resize(viewport.width, viewport.height);
    if (auto loaded = co_await p.load(std::move(html)); !loaded) co_return unexpected(std::move(loaded).error());

    ImageSize size;
    {
        auto text = co_await p.run_script(std::string(scripts::kMeasure));
        if (!text) co_return unexpected(std::move(text).error());
        auto measured = qor_webview::parse_measured(*text);
        if (!measured) co_return unexpected(std::move(measured).error());
        size = image_size(measured->width, measured->height, sc);
    }
    WindowSize window = image_window(size, sc);
    if (DeviceSize d = device_size(window.width, window.height, sc); !within_budget(d))
        co_return unexpected(over_budget(d));
    co_await p.resize(window.width, window.height);

    auto snap = co_await p.snapshot(Background::Painted);
    if (!snap) co_return unexpected(std::move(snap).error());
    auto bytes = png(snap->get());
    if (!bytes) co_return unexpected(std::move(bytes).error());
    snap->reset();
    co_return base64(*bytes);
}

rt::Async<Expected<std::string, Error>> Renderer::evaluate(std::vector<std::string> scripts, std::string result) {
    using qor_webview::unexpected;
    auto got = co_await page(PageKind::Evaluate, 1, 1.0);
    if (!got) co_return unexpected(std::move(got).error());
    Page& p = **got;
    for (std::string& script : scripts) {
        // The suffix starts on a new line, so a script ending in a comment still runs.
        std::string wrapped = std::exchange(script, {});
        wrapped.append("\n;0");
        auto value = co_await p.evaluate(std::move(wrapped));
        if (!value) co_return unexpected(std::move(value).error());
    }
    co_return co_await p.evaluate(std::move(result));
}

rt::Async<void> serve(int answers, QueueReceiver requests) {
    Renderer renderer;
    std::string line;
    while (true) {
        auto status = requests.take(line, rt::Driver::current()->waker());
        if (status == QueueReceiver::Status::End) break;
        if (status == QueueReceiver::Status::Empty) {
            co_await rt::WakeUp{};
            continue;
        }
        Expected<void, protocol::IoError> written;
        {
            QOR_PROFILE_SCOPE("total");
            renderer.busy();
            protocol::Response response;
            try {
                if (auto request = protocol::parse_request(line)) {
                    response = co_await renderer.answer(std::move(*request));
                } else {
                    response = protocol::Failed{protocol::Failure{protocol::FailureKind::Script,
                                                                  "unreadable request: " + request.error().message}};
                }
            } catch (const std::bad_alloc&) {
                // Whatever the request held is gone with its frames; the
                // helper goes on with the next one.
                response = out_of_memory();
            }
            QOR_PROFILE_SCOPE("write");
            written = protocol::write_answer(answers, response);
        }
        line = std::string();
        if (!written) {
            QOR_LOG(log::Level::Error, kRenderTarget, "failed to answer: ", written.error().text());
            break;
        }
        co_await renderer.settle();
        QOR_PROFILE_FLUSH("request");
    }
}

}  // namespace qor_webview_helper
