// The helper under test as a real child process, talked to through its
// three standard streams.
//
// Nothing here may hang: every read, write and wait has a time limit, and a
// helper that does not keep it fails the test and is killed.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clock.hpp"
#include "displays.hpp"
#include "processes.hpp"

namespace qor_webview::e2e {

// Long enough for a loaded machine; a helper that needs more is broken.
inline constexpr Duration answer_timeout = std::chrono::seconds(30);
inline constexpr Duration exit_timeout = std::chrono::seconds(30);

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

}  // namespace qor_webview::e2e
