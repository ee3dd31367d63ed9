// The serve loop, the renderer with its page pool, and the three pipelines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "display.hpp"
#include "geometry.hpp"
#include "owners.hpp"
#include "page.hpp"
#include "picture.hpp"
#include "qor_webview/protocol.hpp"
#include "queue.hpp"
#include "runtime.hpp"

namespace qor_webview_helper {

class Renderer {
public:
    Renderer();
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    rt::Async<qor_webview::protocol::Response> answer(qor_webview::protocol::Request request);

    // The pipelines. Like every coroutine here they take their inputs by
    // value: a task may outlive the expression that made it.
    rt::Async<qor_webview::Expected<qor_webview::protocol::Log, qor_webview::Error>> render_log(std::string html,
                                                                                             float width, float scale);
    rt::Async<qor_webview::Expected<std::string, qor_webview::Error>> render_image(std::string html, float scale);
    rt::Async<qor_webview::Expected<std::string, qor_webview::Error>> evaluate(std::vector<std::string> scripts,
                                                                               std::string result);

    // Gives back what the last request's page holds beyond a small window;
    // run once its answer is out.
    rt::Async<void> settle();
    // Stops a pending return of freed memory: a request is starting.
    void busy() noexcept { trim_.reset(); }

    // The pool's page for (kind, window scale), built or replaced as needed,
    // with its zoom level set.
    rt::Async<qor_webview::Expected<Page*, qor_webview::Error>> page(PageKind kind, std::int32_t window_scale,
                                                                     double zoom);

private:
    // Returns what the allocators hold freed; the trim source owns a call.
    void give_back();

    struct Key {
        PageKind kind;
        std::int32_t scale;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept {
            return std::hash<std::int64_t>()((static_cast<std::int64_t>(k.kind) << 32) ^
                                             static_cast<std::uint32_t>(k.scale));
        }
    };

    GRef<WebKitWebContext> context_;
    std::unordered_map<Key, std::unique_ptr<Page>, KeyHash> pages_;
    Display display_;
    std::optional<Key> last_;  // the page the current request uses
    AttachedSource trim_;      // gives freed memory back once the helper is idle
    bool release_due_ = false; // a window was shrunk and nothing was given back since
};

// Serves request lines until the queue ends or an answer cannot be written.
rt::Async<void> serve(int answers, QueueReceiver requests);

}  // namespace qor_webview_helper
