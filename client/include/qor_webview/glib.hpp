// Runs a pool's completions on a GLib main context. Header-only: only
// programs that include it need GLib; the library itself does not.
//
//     auto pool = qor_webview::Pool::start();
//     qor_webview::glib::Attachment attached(*pool);  // the default main context
//     pool->render_log_async(html, 600, 2, [](auto log) { /* on the main loop */ });
//
// The attachment must not outlive the pool, and the pool object must stay
// where it is while attached (keep it in a std::optional or on the heap,
// and do not move it).
#pragma once

#include <glib-unix.h>
#include <glib.h>

#include <utility>

#include "qor_webview/pool.hpp"

namespace qor_webview::glib {

class Attachment {
public:
    Attachment() = default;
    // Attaches a source to `context` (nullptr: the global default context)
    // that runs `pool.dispatch()` whenever completions wait.
    explicit Attachment(Pool& pool, GMainContext* context = nullptr, int priority = G_PRIORITY_DEFAULT)
        : source_(g_unix_fd_source_new(pool.fd(), G_IO_IN)) {
        g_source_set_callback(source_, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&on_ready)), &pool,
                              nullptr);
        g_source_set_priority(source_, priority);
        g_source_set_name(source_, "qor_webview pool");
        g_source_attach(source_, context);
    }

    Attachment(Attachment&& other) noexcept : source_(std::exchange(other.source_, nullptr)) {}
    Attachment& operator=(Attachment&& other) noexcept {
        if (this != &other) {
            reset();
            source_ = std::exchange(other.source_, nullptr);
        }
        return *this;
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    ~Attachment() { reset(); }

    // Detaches: no callback runs through this context any more.
    void reset() {
        if (source_ == nullptr) return;
        g_source_destroy(source_);
        g_source_unref(source_);
        source_ = nullptr;
    }

    GSource* source() const { return source_; }

private:
    static gboolean on_ready(gint, GIOCondition, gpointer pool) {
        static_cast<Pool*>(pool)->dispatch();
        return G_SOURCE_CONTINUE;
    }

    GSource* source_ = nullptr;
};

}  // namespace qor_webview::glib
