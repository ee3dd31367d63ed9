// The display the pages are drawn on, and how a request's scale reaches it.
#pragma once

#include <gdk/gdk.h>

#include <cstdint>

#include "geometry.hpp"
#include "owners.hpp"

namespace qor_webview_helper {

// GDK's default display, held by the renderer. On X11 a scale becomes the
// display's window scale, which GDK gives every window (and so every
// surface) it makes from then on; on any other display the pages are zoomed
// instead and the display is left alone.
class Display {
public:
    // No display: Zoom scaling, nothing to set.
    Display() = default;
    // GDK's default display, if it has one.
    static Display default_display();

    // Window on X11, Zoom elsewhere and without a display.
    Scaling scaling() const noexcept { return scaling_; }

    // Makes `scale` the window scale from now on, when this display scales
    // windows and `scale` is not the one it has.
    void use_window_scale(std::int32_t scale);

    // Drops the display reference.
    void reset() noexcept { display_.reset(); }

private:
    GRef<GdkDisplay> display_;
    Scaling scaling_ = Scaling::Zoom;
    std::int32_t window_scale_ = 0;  // the one last set; 0 before the first
};

}  // namespace qor_webview_helper
