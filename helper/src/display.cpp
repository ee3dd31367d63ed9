// Kept apart with the X11 header it needs: that header defines macros such
// as Status and Success that clash with ordinary names.
#include "display.hpp"

#include <gdk/gdkx.h>

namespace qor_webview_helper {

Display Display::default_display() {
    Display out;
    if (GdkDisplay* display = gdk_display_get_default()) {
        out.display_ = GRef<GdkDisplay>::ref_sink(display);
        if (GDK_IS_X11_DISPLAY(display)) out.scaling_ = Scaling::Window;
    }
    return out;
}

void Display::use_window_scale(std::int32_t scale) {
    if (scaling_ != Scaling::Window || !display_ || scale == window_scale_) return;
    gdk_x11_display_set_window_scale(display_.get(), scale);
    window_scale_ = scale;
}

}  // namespace qor_webview_helper
