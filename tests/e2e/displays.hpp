// Display servers of the test run's own: an Xvfb for X11 and a headless
// weston for the other path, each started on first use and stopped after
// the last test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "processes.hpp"

namespace qor_webview::e2e {

enum class DisplayKind {
    X11,      // the run's Xvfb server
    Wayland,  // the run's headless weston compositor, GDK_BACKEND=wayland
    None,     // no display at all: GTK cannot start
};

struct Display {
    DisplayKind kind = DisplayKind::None;
    EnvOverrides env;         // what points GTK at this display
    std::string description;  // for messages, e.g. "Xvfb :3"
};

// Whether a display can be had. A missing server program is a skip (`skip`
// set); a server that is installed but fails to start is a failure.
struct DisplayStatus {
    const Display* display = nullptr;
    bool skip = false;
    std::string reason;
};

// Starts the server of that kind on first use; it runs until the end of the
// test program and is then stopped by its process id.
DisplayStatus display_status(DisplayKind kind);

// Use at the top of a test body that starts a helper on a display.
#define QOR_E2E_NEED_DISPLAY(kind)                                       \
    do {                                                                 \
        const auto qor_status_ = ::qor_webview::e2e::display_status(kind); \
        if (qor_status_.skip) GTEST_SKIP() << qor_status_.reason;        \
        if (qor_status_.display == nullptr) FAIL() << qor_status_.reason; \
    } while (0)

}  // namespace qor_webview::e2e
