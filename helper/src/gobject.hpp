// Owners for GLib objects, cairo surfaces and GErrors: each reference taken is
// released exactly once.
#pragma once

#include <cairo.h>
#include <glib-object.h>

#include <utility>

namespace qor_webview_helper {

// One owned reference to a GObject.
template <class T>
class GRef {
public:
    GRef() = default;
    // Adopts a reference the caller already owns.
    static GRef adopt(T* p) noexcept { return GRef(p); }
    // Takes a new reference (sinking a floating one).
    static GRef ref_sink(T* p) noexcept { return GRef(p ? static_cast<T*>(g_object_ref_sink(p)) : nullptr); }

    GRef(GRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    GRef& operator=(GRef&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    ~GRef() { reset(); }

    void reset() noexcept {
        if (p_) g_object_unref(std::exchange(p_, nullptr));
    }
    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit GRef(T* p) noexcept : p_(p) {}
    T* p_ = nullptr;
};

// An owned cairo surface.
class Surface {
public:
    Surface() = default;
    explicit Surface(cairo_surface_t* s) noexcept : s_(s) {}
    Surface(Surface&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    Surface& operator=(Surface&& o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~Surface() { reset(); }
    void reset() noexcept {
        if (s_) cairo_surface_destroy(std::exchange(s_, nullptr));
    }
    cairo_surface_t* get() const noexcept { return s_; }
    explicit operator bool() const noexcept { return s_ != nullptr; }

private:
    cairo_surface_t* s_ = nullptr;
};

// An owned drawing context.
class Context {
public:
    explicit Context(cairo_t* c) noexcept : c_(c) {}
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() { cairo_destroy(c_); }
    cairo_t* get() const noexcept { return c_; }

private:
    cairo_t* c_;
};

// An owned GError, for `&error` out-parameters.
class GErrorPtr {
public:
    GErrorPtr() = default;
    GErrorPtr(const GErrorPtr&) = delete;
    GErrorPtr& operator=(const GErrorPtr&) = delete;
    ~GErrorPtr() {
        if (e_) g_error_free(e_);
    }
    GError** out() noexcept { return &e_; }
    GError* get() const noexcept { return e_; }
    explicit operator bool() const noexcept { return e_ != nullptr; }

private:
    GError* e_ = nullptr;
};

}  // namespace qor_webview_helper
