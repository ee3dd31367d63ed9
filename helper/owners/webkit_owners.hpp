// The owners of WebKit's boxed types, apart from owners.hpp so that what
// needs only GLib and cairo does not need WebKit's headers.
#pragma once

#include <webkit2/webkit2.h>

#include "owners.hpp"

namespace qor_webview_helper {

template <>
struct Free<WebKitUserScript> {
    void operator()(WebKitUserScript* p) const noexcept { webkit_user_script_unref(p); }
};

}  // namespace qor_webview_helper
