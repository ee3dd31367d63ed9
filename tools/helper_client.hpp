// A parent's side of the helper, for the demo and the benchmark: starts the
// helper (and an X server of its own when asked), writes request lines,
// reads answer lines and decodes them strictly, so that a malformed answer
// is reported instead of being half understood.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor_webview::client {

// ---------------------------------------------------------------- answers

struct AnswerBand {
    double top = 0;
    double height = 0;
    std::string png;  // base64 text as received
};

// One decoded answer line. Which fields hold something depends on `type`:
// "log" (width, height, tiles, links), "image" (png), "text" (text),
// "failed" (kind, message); "ready" has none. A "null" number reads as NaN.
struct Answer {
    std::string type;
    double width = 0;
    double height = 0;
    std::vector<AnswerBand> tiles;
    std::string links;
    std::string png;
    std::string text;
    std::string kind;
    std::string message;
};

// Decodes one answer line (without its line feed). Keys must come in the
// order the helper writes them; anything else is an error, described in the
// returned text. Returns nullopt and sets `error` on failure.
std::optional<Answer> parse_answer(std::string_view line, std::string& error);

// Standard base64 with padding; nullopt for anything else.
std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);

// Width and height from a PNG file's header; nullopt if it is not one.
std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(const std::vector<std::uint8_t>& bytes);

// ---------------------------------------------------------------- process

struct StartOptions {
    std::string program;  // the helper executable
    // Start an Xvfb of our own: when there is no DISPLAY in the environment,
    // or always if `force_own_display`.
    bool force_own_display = false;
    // Keep the helper's standard error in memory, line by line (see
    // `Helper::stderr_lines`); otherwise it goes to `stderr_path`, or is
    // inherited when that is empty.
    bool capture_stderr = false;
    std::string stderr_path;
    // Extra environment entries "NAME=value" for the helper.
    std::vector<std::string> env;
};

class Helper {
public:
    // Starts the helper and waits for its start-up answer. On failure returns
    // nullopt with the reason in `error`; nothing is left running.
    static std::optional<Helper> start(const StartOptions& options, std::string& error,
                                       std::chrono::milliseconds ready_timeout = std::chrono::seconds(30));

    Helper(Helper&& other) noexcept;
    Helper& operator=(Helper&&) = delete;
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    // Kills whatever is still running (helper, then its X server), by pid.
    ~Helper();

    // Writes `line` and a line feed. False if the helper has gone.
    bool send(std::string_view line);
    // Reads the next answer line (without its line feed) within `timeout`.
    std::optional<std::string> read_answer(std::chrono::milliseconds timeout, std::string& error);
    // With `capture_stderr`: waits until a standard-error line starting with
    // `prefix` has arrived and returns it; other lines stay in
    // `stderr_lines`. Nullopt after `timeout`.
    std::optional<std::string> wait_stderr_line(std::string_view prefix, std::chrono::milliseconds timeout);
    std::deque<std::string>& stderr_lines() { return stderr_lines_; }

    pid_t pid() const { return pid_; }
    // "Xvfb :N" when we started one, else the inherited DISPLAY.
    const std::string& display_description() const { return display_description_; }
    // The start-up answer line.
    const std::string& ready_line() const { return ready_line_; }

    // Closes the helper's input and waits up to `timeout` for it to exit;
    // returns its exit status, or -1 if it had to be killed.
    int finish(std::chrono::milliseconds timeout = std::chrono::seconds(15));

private:
    Helper() = default;
    // Reads whatever is available on the two pipes within `timeout`; false
    // once both have ended or on error.
    bool pump(std::chrono::milliseconds timeout);
    void split_stderr();
    void kill_all();

    pid_t pid_ = -1;
    pid_t xvfb_pid_ = -1;
    int in_fd_ = -1;    // helper's standard input
    int out_fd_ = -1;   // helper's answers
    int err_fd_ = -1;   // helper's standard error, when captured
    std::string out_buffer_;
    std::size_t out_scanned_ = 0;
    std::string err_buffer_;
    std::deque<std::string> stderr_lines_;
    std::string display_description_;
    std::string ready_line_;
};

// Milliseconds between two steady-clock points.
inline double elapsed_ms(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// `value` with `digits` after the point, independent of the locale.
std::string fixed(double value, int digits);

// The number of elements of a JSON array text (such as a log's links), or
// nullopt if the text is not one.
std::optional<std::size_t> json_array_length(std::string_view text);

}  // namespace qor_webview::client
