// The client's options for the real helper on the fixture's X server, with
// the fixture's time limits.
#pragma once

#include "fixture.hpp"
#include "qor_webview/client.hpp"

namespace qor_webview::e2e {

inline ClientOptions real_helper(bool allow_network = true) {
    ClientOptions options;
    options.helper = helper_path();
    if (const auto status = display_status(DisplayKind::X11); status.display != nullptr)
        options.environment = status.display->env;
    options.rust_log = "warn";
    options.start_timeout = answer_timeout;
    options.call_timeout = answer_timeout;
    options.allow_network = allow_network;
    return options;
}

}  // namespace qor_webview::e2e
