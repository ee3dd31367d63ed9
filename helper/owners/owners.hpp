// Owners for GLib, cairo and descriptor resources: each reference taken is
// released exactly once, by the owners of this folder and nowhere else
// (WebKit's own types are in webkit_owners.hpp, for the code that has WebKit).
//
// `GRef<T>` holds one counted reference (GObjects, sources, main loops and
// contexts); `Owned<T>` is the only owner of a value freed with its type's
// own function (surfaces, drawing contexts, GErrors, GLib strings);
// `AttachedSource` is a source attached to a main context, removed from it
// when the owner goes; `SharedBox<T>` carries a shared reference through a
// C callback's data pointer. Descriptors are `Fd`s.
#pragma once

#include <cairo.h>
#include <glib-object.h>

#include <memory>
#include <utility>

#include "qor_webview/internal/fd.hpp"

namespace qor_webview_helper {

// How references to a type are taken and released; GObject types unless
// specialised below.
template <class T>
struct RefTraits {
    static T* ref(T* p) noexcept { return static_cast<T*>(g_object_ref(p)); }
    static T* ref_sink(T* p) noexcept { return static_cast<T*>(g_object_ref_sink(p)); }
    static void unref(T* p) noexcept { g_object_unref(p); }
};

template <>
struct RefTraits<GSource> {
    static GSource* ref(GSource* p) noexcept { return g_source_ref(p); }
    static void unref(GSource* p) noexcept { g_source_unref(p); }
};

template <>
struct RefTraits<GMainLoop> {
    static GMainLoop* ref(GMainLoop* p) noexcept { return g_main_loop_ref(p); }
    static void unref(GMainLoop* p) noexcept { g_main_loop_unref(p); }
};

template <>
struct RefTraits<GMainContext> {
    static GMainContext* ref(GMainContext* p) noexcept { return g_main_context_ref(p); }
    static void unref(GMainContext* p) noexcept { g_main_context_unref(p); }
};

// One owned reference.
template <class T>
class GRef {
public:
    GRef() = default;
    // Adopts a reference the caller already owns.
    static GRef adopt(T* p) noexcept { return GRef(p); }
    // Takes a new reference.
    static GRef ref(T* p) noexcept { return GRef(p ? RefTraits<T>::ref(p) : nullptr); }
    // Takes a new reference, sinking a floating one.
    static GRef ref_sink(T* p) noexcept { return GRef(p ? RefTraits<T>::ref_sink(p) : nullptr); }

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
        if (p_) RefTraits<T>::unref(std::exchange(p_, nullptr));
    }
    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit GRef(T* p) noexcept : p_(p) {}
    T* p_ = nullptr;
};

// How a uniquely owned value is freed.
template <class T>
struct Free;

template <>
struct Free<cairo_surface_t> {
    void operator()(cairo_surface_t* p) const noexcept { cairo_surface_destroy(p); }
};

template <>
struct Free<cairo_t> {
    void operator()(cairo_t* p) const noexcept { cairo_destroy(p); }
};

template <>
struct Free<GError> {
    void operator()(GError* p) const noexcept { g_error_free(p); }
};

// Text that GLib allocated (gchar is char).
template <>
struct Free<gchar> {
    void operator()(gchar* p) const noexcept { g_free(p); }
};

template <class T>
using Owned = std::unique_ptr<T, Free<T>>;

using Surface = Owned<cairo_surface_t>;
using Context = Owned<cairo_t>;

// An owner that receives a `T**` out-parameter, such as the `GError**` of
// most GLib calls.
template <class T>
class OwnedOut {
public:
    OwnedOut() = default;
    OwnedOut(const OwnedOut&) = delete;
    OwnedOut& operator=(const OwnedOut&) = delete;
    ~OwnedOut() { reset(); }

    T** out() noexcept {
        reset();
        return &p_;
    }
    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_) Free<T>{}(std::exchange(p_, nullptr));
    }

private:
    T* p_ = nullptr;
};

using GErrorPtr = OwnedOut<GError>;

// Removes a source from its context, then drops the reference kept to it.
struct DetachSource {
    void operator()(GSource* p) const noexcept {
        g_source_destroy(p);
        g_source_unref(p);
    }
};

// A source attached to a main context: it stops firing once its owner goes,
// even if a callback still refers to the owner's object.
using AttachedSource = std::unique_ptr<GSource, DetachSource>;

// A shared reference handed to C code as a callback's `gpointer`: `into`
// gives one up, and it is taken back exactly once, by `take` in a callback
// that runs once or by `drop`, the destroy notification of a signal
// handler's data. `get` reads it in between.
template <class T>
struct SharedBox {
    static gpointer into(std::shared_ptr<T> p) { return new std::shared_ptr<T>(std::move(p)); }
    static T& get(gpointer data) noexcept { return **static_cast<std::shared_ptr<T>*>(data); }
    static std::shared_ptr<T> take(gpointer data) noexcept {
        std::unique_ptr<std::shared_ptr<T>> box(static_cast<std::shared_ptr<T>*>(data));
        return std::move(*box);
    }
    static void drop(gpointer data, GClosure*) noexcept { delete static_cast<std::shared_ptr<T>*>(data); }
};

// Connects a signal handler whose data is a shared reference, released when
// the handler is disconnected (at the latest when the instance goes).
template <class T>
gulong connect_shared(gpointer instance, const char* signal, GCallback handler, std::shared_ptr<T> data) {
    return g_signal_connect_data(instance, signal, handler, SharedBox<T>::into(std::move(data)), &SharedBox<T>::drop,
                                 GConnectFlags(0));
}

}  // namespace qor_webview_helper
