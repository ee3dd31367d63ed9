// A typed client for the helper: starts `qor_webview_helper` as a child
// process, writes its requests and hands back decoded answers.
//
//     auto client = qor_webview::Client::start();
//     if (!client) { /* client.error().text() */ }
//     auto log = client->render_log("<p>hello</p>", 600, 2);
//     if (log) { /* log->bands[0].png holds the PNG file's bytes */ }
//
// Thread safety: every member function may be called from any thread, and
// from several threads at once; a mutex orders the request lines and the
// answers go back to the callers that asked, in request order. Only moving,
// assigning and destroying a client must not overlap with any other call on
// it. Nothing here needs GTK or WebKit; the client uses processes, pipes and
// threads only, and a process may run any number of clients.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "qor_webview/error.hpp"
#include "qor_webview/expected.hpp"
#include "qor_webview/export.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview {

namespace detail {
struct ClientAccess;
}

using Milliseconds = std::chrono::milliseconds;

// One strip of a rendered log entry, top to bottom.
struct LogBand {
    float top = 0;                  // CSS pixels from the top of the entry
    float height = 0;               // CSS pixels
    std::vector<std::uint8_t> png;  // the PNG file, decoded from base64
};

// A rendered log entry: the answer to `render_log`.
struct LogPicture {
    float width = 0;   // the width asked for, echoed
    float height = 0;  // CSS pixels, the sum of the bands' heights
    std::vector<LogBand> bands;
    std::string links;  // JSON text; `parse_links` reads it
};

// One rectangle of a link, in CSS pixels relative to the entry's top left.
struct LinkArea {
    std::string href;  // the attribute's text as written
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const LinkArea&, const LinkArea&) = default;
};

// Reads the links text of a `LogPicture`. A text that is not a JSON array of
// such rectangles is a `Call` error of "render_log".
QOR_WEBVIEW_API Expected<std::vector<LinkArea>, Error> parse_links(std::string_view links);

// The answer to `render_image`: one PNG file.
struct ImagePicture {
    std::vector<std::uint8_t> png;
};

// The answer to `evaluate`: the text value of the result expression.
struct ScriptText {
    std::string text;
};

// What `collect` hands back, by the kind of request that was submitted.
using Reply = std::variant<LogPicture, ImagePicture, ScriptText>;

struct ClientOptions {
    // The helper executable. Empty: $QOR_WEBVIEW_HELPER when set, else the
    // helper installed with this library (looked for relative to the file
    // that holds the library's code, then at the installation's own path).
    std::string helper;

    // RUST_LOG for the helper (its log filter, e.g. "warn"). Unset: the
    // helper inherits the parent's.
    std::optional<std::string> rust_log;

    // Further environment changes for the helper, applied in order after
    // `rust_log`: a value sets the variable, nullopt removes it. The display
    // goes here, e.g. {"DISPLAY", ":1"} and {"WAYLAND_DISPLAY", nullopt}.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;

    // How long `start` and `restart` wait for the helper's start-up answer.
    Milliseconds start_timeout{30'000};
    // The time limit of a call that is not given one.
    Milliseconds call_timeout{60'000};
    // How long stopping waits for the helper to exit once its input is
    // closed, before it is killed.
    Milliseconds stop_timeout{5'000};

    // Receives the helper's standard error line by line, without the line
    // feed (a last line without one is delivered as it is). Called on a
    // thread of the client's, one line at a time, in order; it may take its
    // time, since lines wait in memory and the helper is never held up, but
    // must not throw. Every line has been delivered when `start` fails,
    // `restart` returns or the client is destroyed. Empty: the lines are
    // copied to the parent's standard error.
    std::function<void(std::string_view line)> on_stderr;

    // Whether entries may fetch what they name (images, style sheets,
    // fonts, frames, and in render_image pages fetch, XMLHttpRequest and
    // WebSockets too). false: the client puts a Content-Security-Policy
    // into each entry's HTML that lets WebKit load only data: and blob:
    // images, fonts and style sheets, inline styles and inline scripts.
    // For render_log and render_image, submitted ones included; a call may
    // say otherwise (RenderOptions). Applications that render other
    // people's HTML should set it to false.
    bool allow_network = true;
};

// How one render call of a Client is made.
struct RenderOptions {
    // Unset: `ClientOptions::call_timeout`.
    std::optional<Milliseconds> timeout;
    // Unset: `ClientOptions::allow_network`.
    std::optional<bool> allow_network;
};

class QOR_WEBVIEW_API Client {
public:
    // Starts the helper and waits for its start-up answer. Errors: `Start`
    // (the executable cannot be found or run, the helper answers `failed`,
    // exits or stays silent before it is ready; the message says which),
    // `MissingWebKit` (the helper could not load WebKitGTK's library),
    // `Unsupported` (this platform cannot run the helper at all).
    static Expected<Client, Error> start(ClientOptions options = {});

    Client(Client&& other) noexcept;
    Client& operator=(Client&& other) noexcept;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    // Closes the helper's input, waits up to `stop_timeout` for it to exit,
    // then kills it; the helper is always reaped. Answers not collected are
    // dropped.
    ~Client();

    // The three requests. Each waits at most `timeout` (default:
    // `call_timeout`) and returns the decoded answer, or:
    // - `Load`, `Script`, `Snapshot`, `Start`: the helper answered `failed`
    //   with that kind; the error holds the helper's message;
    // - `Stopped`: the helper has ended (crashed, killed, its answers pipe
    //   closed); so does every later call, until `restart`;
    // - `Call`, naming the request: an answer that does not fit the request,
    //   a request that cannot be sent (a `width` that is NaN or infinite,
    //   a text that is not UTF-8), or no answer within the time limit (the
    //   answer, should it come later, is dropped).
    // A `scale` that is NaN or infinite is sent as 1, which is what the
    // helper makes of it; JSON has no way to carry it.
    Expected<LogPicture, Error> render_log(std::string_view html, float width, float scale,
                                           std::optional<Milliseconds> timeout = std::nullopt);
    Expected<std::vector<std::uint8_t>, Error> render_image(std::string_view html, float scale,
                                                            std::optional<Milliseconds> timeout = std::nullopt);
    // The same, with the time limit and the network choice of this call.
    Expected<LogPicture, Error> render_log(std::string_view html, float width, float scale,
                                           const RenderOptions& options);
    Expected<std::vector<std::uint8_t>, Error> render_image(std::string_view html, float scale,
                                                            const RenderOptions& options);
    Expected<std::string, Error> evaluate(const std::vector<std::string>& scripts, std::string_view result,
                                          std::optional<Milliseconds> timeout = std::nullopt);

    // Pipelining: `submit` writes a request and returns at once (it waits at
    // most `timeout` for the helper to take the line); `collect` returns the
    // answer to the oldest submitted request not yet collected. The helper
    // answers strictly in request order, so answers come back in the order
    // of the submissions. Errors of `collect` are those of the three calls;
    // each consumes its request, except a `Call` error of "collect" (no
    // answer within `timeout`, or nothing submitted), after which the same
    // request is still there to collect. A submitted render request gets
    // the policy of `ClientOptions::allow_network`.
    Expected<void, Error> submit(protocol::Request request, std::optional<Milliseconds> timeout = std::nullopt);
    Expected<Reply, Error> collect(std::optional<Milliseconds> timeout = std::nullopt);
    // Submitted requests not yet collected.
    std::size_t pending() const;

    // Stops the helper (as the destructor does) and starts a new one with
    // the same options. Requests in flight end with `Stopped`.
    Expected<void, Error> restart();

    // Whether the helper is up and answering.
    bool running() const;
    // The helper's process id, -1 when none runs.
    int pid() const;
    // The helper executable in use.
    const std::string& helper_path() const;

    struct Impl;

private:
    friend struct detail::ClientAccess;
    explicit Client(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

// Where the client looks for the helper when no path is given, in order;
// the first that exists is used.
QOR_WEBVIEW_API std::vector<std::string> helper_candidates();

}  // namespace qor_webview
