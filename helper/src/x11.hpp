// The one X11-specific call, kept apart: the X11 headers define macros such
// as Status and Success that clash with ordinary names.
#pragma once

#include <gdk/gdk.h>

namespace qor_webview_helper {

// Sets the window scale of every window later made on an X11 display.
void set_x11_window_scale(GdkDisplay* display, int scale);

}  // namespace qor_webview_helper
