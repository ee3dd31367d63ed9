// What the pool needs of a client beyond its public interface: to be woken
// when answers come, and to take them without waiting.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "qor_webview/client.hpp"

namespace qor_webview::detail {

// The helper to start: `given`, or the first of `helper_candidates()` that
// exists; a `Start` error naming the places looked at when none does.
Expected<std::string, Error> find_helper(const std::string& given);

struct ClientAccess {
    // `hook` runs on the client's reader thread whenever an answer comes
    // or the helper stops. It must not take a lock that is held while
    // calling into this client.
    static void set_hook(Client& client, std::function<void()> hook);
    // The answer line of the oldest request still to collect, if it has
    // come; `Stopped` once the helper can no longer answer it.
    static std::optional<Expected<std::string, Error>> take(Client& client);
};

}  // namespace qor_webview::detail
