// A private Xvfb server for programs that run the helper where there may be
// no display: the command-line renderer and the helper's benchmark.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qor_webview_cli {

// Whether DISPLAY or WAYLAND_DISPLAY names a display.
bool has_display();

// Xvfb, stopped (by its process id) when this object ends.
class PrivateDisplay {
public:
    PrivateDisplay() = default;
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // Starts Xvfb and returns its display name (":N"), or nullopt with the
    // reason in `error`. At most once per object.
    std::optional<std::string> start(std::string& error);

    // The display name, empty until `start` succeeded.
    const std::string& name() const { return name_; }

    // What the helper's environment needs to use this server and nothing
    // else, in the form of `ClientOptions::environment`.
    std::vector<std::pair<std::string, std::optional<std::string>>> helper_environment() const;

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace qor_webview_cli
