// Runs the built helper as a real child process and talks to it through its
// three standard streams, with display servers of its own, so that the
// end-to-end tests need nothing from the machine but the programs.
//
// Nothing here may hang: every read, write and wait has a time limit, and a
// helper that does not keep it fails the test and is killed.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace qor_webview::e2e {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// Long enough for a loaded machine; a helper that needs more is broken.
inline constexpr Duration answer_timeout = 30s;
inline constexpr Duration exit_timeout = 30s;

// ------------------------------------------------------------ environment

// Settings for the child's environment, applied in order; nullopt unsets.
using EnvOverrides = std::vector<std::pair<std::string, std::optional<std::string>>>;

// ---------------------------------------------------------- display servers

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

// ------------------------------------------------------------------ helper

// The helper executable: $QOR_E2E_HELPER when set, else the one built with
// the tests.
std::string helper_path();

struct HelperOptions {
    DisplayKind display = DisplayKind::X11;
    std::vector<std::string> args;  // after the program name
    // Applied after the display's settings. RUST_LOG is unset unless given.
    EnvOverrides env;
    bool stdout_closed = false;   // start the helper with descriptor 1 closed
    bool answers_closed = false;  // our end of the answers pipe is closed before the start
    bool stdin_closed = false;    // start the helper with descriptor 0 closed
    int descriptor_limit = 0;     // its RLIMIT_NOFILE, when above 0
    // Standard error starts as a full pipe of one page that nobody reads
    // until `read_stderr()`: a parent that does not drain it.
    bool stderr_full = false;
    std::string program = helper_path();
};

// One running helper. Its standard input, standard output (the answers) and
// standard error are pipes to this process; standard error is collected in
// the background so that a chatty helper never blocks. The helper runs in a
// process group of its own, which the destructor kills and reaps.
class Helper {
public:
    explicit Helper(HelperOptions options = {});
    ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Our reading end of the answers pipe, -1 once closed.
    int answers_fd() const { return answers_; }
    // Our reading end of its standard error.
    int stderr_fd() const { return stderr_; }

    // Writes `line` and a line feed; a write that fails or stalls fails the test.
    void send(std::string_view line);
    // Writes the bytes as they are. Returns 0, or the error number (ETIMEDOUT
    // when the helper stopped reading for `timeout`).
    int send_raw(std::string_view bytes, Duration timeout = answer_timeout);
    void close_stdin();
    // Starts reading standard error (for `stderr_full`); what filled it
    // comes first.
    void read_stderr();
    void close_answers();

    // The next answer line, without its line feed. nullopt at the end of the
    // answers, or after `timeout` (which fails the test). A line that is not
    // an answer (not a JSON object whose first key is "type") fails the test
    // but is still returned.
    std::optional<std::string> read_answer(Duration timeout = answer_timeout);
    // Reads the start-up answer and checks that it is `ready`.
    ::testing::AssertionResult ready(Duration timeout = answer_timeout);
    // Checks that the answers end (end of file) within `timeout` with nothing
    // more on them.
    ::testing::AssertionResult answers_end(Duration timeout = answer_timeout);

    // Waits for the helper to exit; returns its exit status, or 128 plus the
    // signal that ended it. On time-out the test fails, the helper is killed
    // and -1 is returned. Afterwards `stderr_text` holds all that the helper
    // wrote there.
    int wait_exit(Duration timeout = exit_timeout);
    bool running() const { return pid_ > 0 && !exited_; }

    // What standard error has received so far.
    std::string stderr_text() const;
    // Waits until standard error holds `needle`; false after `timeout`.
    bool wait_for_stderr(std::string_view needle, Duration timeout = answer_timeout);

private:
    void drain_stderr();
    void sync_stderr();
    void kill_group();

    pid_t pid_ = -1;
    // Seen to have exited, but left unreaped until the destructor: while the
    // zombie lives, its pid cannot name another process group.
    bool exited_ = false;
    int stdin_ = -1;
    int answers_ = -1;
    int stderr_ = -1;
    int wake_ = -1;  // eventfd that wakes the stderr thread
    std::string pending_;  // answer bytes read but not yet returned as a line
    bool answers_eof_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string stderr_buffer_;
    std::uint64_t sync_requests_ = 0;
    std::uint64_t syncs_done_ = 0;
    bool stderr_eof_ = false;
    std::atomic<bool> stop_{false};
    std::thread stderr_thread_;
};

// The helper's own log lines in a text: those that begin with a level in its
// five-character form, a space and "qor_webview_helper". What GTK, GLib and
// WebKit print themselves is left out.
std::vector<std::string> log_lines(std::string_view stderr_text);

// The lines of a text, without their line feeds.
std::vector<std::string> split_lines(std::string_view text);

// ------------------------------------------------------------- processes

// The process ids of every live descendant of `pid` (children, their
// children, ...), read from /proc.
std::vector<pid_t> descendants(pid_t pid);

// The descriptors of a process that refer to the same pipe or file as our
// descriptor `ours`, read from /proc/<pid>/fd; empty if the process is gone.
std::vector<int> descriptors_on(pid_t pid, int ours);

// The "flags:" value of /proc/<pid>/fdinfo/<fd>, nullopt if unreadable.
std::optional<int> descriptor_flags(pid_t pid, int fd);

// ------------------------------------------------------------ answer lines

// A parsed JSON value. Objects keep their keys in order, numbers keep their
// text as written (answers print floats in a fixed form).
struct Json {
    struct Number {
        std::string text;
        double value = 0;
    };
    struct Member;  // a key and its value, defined once Json is complete
    using Array = std::vector<Json>;
    using Object = std::vector<Member>;
    std::variant<std::nullptr_t, bool, Number, std::string, Array, Object> value;

    bool is_null() const { return std::holds_alternative<std::nullptr_t>(value); }
    const std::string* string() const { return std::get_if<std::string>(&value); }
    const Number* number() const { return std::get_if<Number>(&value); }
    const Array* array() const { return std::get_if<Array>(&value); }
    const Object* object() const { return std::get_if<Object>(&value); }
    // The value of `key` in an object, nullptr if absent or not an object.
    const Json* get(std::string_view key) const;
    // A string found by following keys through nested objects, nullopt if
    // any step is missing or the end is not a string.
    std::optional<std::string> text_at(std::initializer_list<std::string_view> keys) const;
};

struct Json::Member {
    std::string first;
    Json second;
};

// Parses a whole JSON text (strict: one value, whitespace around it only,
// valid escapes, surrogate pairs joined). nullopt if it is not valid JSON.
std::optional<Json> parse_json(std::string_view text);

// The answer's "type", nullopt if the line is not an answer.
std::optional<std::string> answer_type(std::string_view line);

// ---------------------------------------------------------------- pictures

// Strict standard base64 with padding; nullopt for any other character or
// a bad length.
std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);

// A decoded PNG picture, as cairo holds it: 32-bit pixels, native-endian
// 0xAARRGGBB, alpha premultiplied (pictures without alpha read as opaque).
class Picture {
public:
    int width() const { return width_; }
    int height() const { return height_; }
    std::uint32_t pixel(int x, int y) const;  // x < width, y < height
    static std::uint8_t alpha(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 24); }
    static std::uint8_t red(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 16); }
    static std::uint8_t green(std::uint32_t p) { return static_cast<std::uint8_t>(p >> 8); }
    static std::uint8_t blue(std::uint32_t p) { return static_cast<std::uint8_t>(p); }

private:
    friend std::optional<Picture> decode_png(std::span<const std::uint8_t> bytes);
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint32_t> pixels_;  // row after row, no padding
};

// Decodes PNG bytes; nullopt if cairo cannot read them.
std::optional<Picture> decode_png(std::span<const std::uint8_t> bytes);
// Decodes base64 PNG text as answers carry it.
std::optional<Picture> decode_png_base64(std::string_view text);

}  // namespace qor_webview::e2e
