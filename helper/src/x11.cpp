#include "x11.hpp"

#include <gdk/gdkx.h>

namespace qor_webview_helper {

void set_x11_window_scale(GdkDisplay* display, int scale) {
    if (GDK_IS_X11_DISPLAY(display)) gdk_x11_display_set_window_scale(display, scale);
}

}  // namespace qor_webview_helper
