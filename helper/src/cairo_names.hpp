// Names of cairo statuses and surface types, as failure messages show them.
#pragma once

#include <string>

namespace qor_webview_helper {

// "No Memory", "Write Error", ... ; "Unknown N" for numbers without a name.
std::string cairo_status_name(int status);

// "Image", "Xlib", ... ; "__Unknown(N)" for numbers without a name.
std::string surface_type_name(int type);

}  // namespace qor_webview_helper
