#include "helper.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "json.hpp"
#include "text.hpp"

namespace qor_webview::e2e {

using namespace std::chrono_literals;

std::string helper_path() {
    if (const char* env = std::getenv("QOR_E2E_HELPER"); env != nullptr && *env != '\0') return env;
#ifdef QOR_HELPER_PATH
    return QOR_HELPER_PATH;
#else
    return "qor_webview_helper";
#endif
}

namespace {

// Shrinks a pipe to one page and fills it with whole lines, leaving the
// descriptor blocking as a parent would hand it over.
bool fill_pipe(int write_end) {
    if (::fcntl(write_end, F_SETPIPE_SZ, 4096) < 0) return false;
    const int flags = ::fcntl(write_end, F_GETFL);
    if (flags < 0 || ::fcntl(write_end, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    constexpr std::string_view filler = "filler\n";
    while (::write(write_end, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size())) {
    }
    const bool full = errno == EAGAIN;
    return ::fcntl(write_end, F_SETFL, flags) == 0 && full;
}

}  // namespace


Helper::Helper(HelperOptions options) {
    const DisplayStatus status = display_status(options.display);
    if (status.display == nullptr) {
        ADD_FAILURE() << "no display for the helper: " << status.reason;
        return;
    }
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) ::close(fd);
        }
        return;
    }
    stdin_ = in[1];
    answers_ = out[0];
    stderr_ = err[0];
    detail::set_nonblocking(stdin_);
    detail::set_nonblocking(answers_);
    detail::set_nonblocking(stderr_);
    if (options.answers_closed) detail::close_fd(answers_);
    if (options.stderr_full && !fill_pipe(err[1])) ADD_FAILURE() << "could not fill the standard error pipe";
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    EnvOverrides env = status.display->env;
    env.insert(env.end(), options.env.begin(), options.env.end());
    auto env_strings = detail::child_environment(env);
    auto envp = detail::pointers(env_strings);
    std::vector<std::string> args = {options.program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    auto argv = detail::pointers(args);

    const bool stdout_closed = options.stdout_closed;
    const bool stdin_closed = options.stdin_closed;
    const rlim_t descriptor_limit = static_cast<rlim_t>(std::max(options.descriptor_limit, 0));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        detail::child_prepare(parent);
        // A group of its own, so that the helper and what it starts can be
        // killed together.
        ::setpgid(0, 0);
        detail::child_move_fd(in[0], 0);
        detail::child_move_fd(err[1], 2);
        if (stdout_closed) {
            ::close(1);
        } else {
            detail::child_move_fd(out[1], 1);
        }
        detail::child_close_from(3);
        if (stdin_closed) ::close(0);
        if (descriptor_limit > 0) {
            const rlimit limit{descriptor_limit, descriptor_limit};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        detail::close_fd(stdin_);
        detail::close_fd(answers_);
        detail::close_fd(stderr_);
        detail::close_fd(wake_);
        return;
    }
    // Also from our side, so that a kill of the group cannot miss a helper
    // that has not run its setpgid yet.
    ::setpgid(pid, pid);
    pid_ = pid;
    if (!options.stderr_full) read_stderr();
}

void Helper::read_stderr() {
    if (!stderr_thread_.joinable() && stderr_ >= 0) stderr_thread_ = std::thread([this] { drain_stderr(); });
}

Helper::~Helper() {
    detail::close_fd(stdin_);
    if (pid_ > 0) {
        kill_group();
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (stderr_thread_.joinable()) {
        stop_ = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
        stderr_thread_.join();
    }
    detail::close_fd(answers_);
    detail::close_fd(stderr_);
    detail::close_fd(wake_);
}

void Helper::kill_group() {
    // The group's id is the helper's pid, which names nothing else while the
    // helper is not reaped; so this reaches only the helper and what it started.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
}

void Helper::send(std::string_view line) {
    std::string data;
    data.reserve(line.size() + 1);
    data.append(line);
    data.push_back('\n');
    const int error = send_raw(data);
    if (error != 0) ADD_FAILURE() << "cannot write a request line: " << std::strerror(error);
}

int Helper::send_raw(std::string_view bytes, Duration timeout) {
    if (stdin_ < 0) return EBADF;
    const auto deadline = detail::Clock::now() + timeout;
    while (!bytes.empty()) {
        const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return errno;
        pollfd p{stdin_, POLLOUT, 0};
        const int r = ::poll(&p, 1, detail::remaining_ms(deadline));
        if (r == 0) return ETIMEDOUT;
        if (r < 0 && errno != EINTR) return errno;
    }
    return 0;
}

void Helper::close_stdin() { detail::close_fd(stdin_); }

void Helper::close_answers() {
    detail::close_fd(answers_);
    pending_.clear();
}

std::optional<std::string> Helper::read_answer(Duration timeout) {
    if (answers_ < 0) {
        ADD_FAILURE() << "no answers pipe to read from";
        return std::nullopt;
    }
    const auto deadline = detail::Clock::now() + timeout;
    std::size_t scanned = 0;
    for (;;) {
        const auto nl = pending_.find('\n', scanned);
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!answer_type(line)) {
                ADD_FAILURE() << "not an answer line on the answers pipe: " << detail::tail(line, 500);
            }
            return line;
        }
        scanned = pending_.size();
        if (answers_eof_) {
            if (!pending_.empty()) {
                ADD_FAILURE() << "the answers end inside a line: " << detail::tail(pending_, 500);
                pending_.clear();
            }
            return std::nullopt;
        }
        pollfd p{answers_, POLLIN, 0};
        const int r = ::poll(&p, 1, detail::remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            ADD_FAILURE() << "no answer within " << timeout.count() << " ms; standard error so far:\n"
                          << detail::tail(stderr_text());
            return std::nullopt;
        }
        char buf[1 << 16];
        for (;;) {
            const ssize_t n = ::read(answers_, buf, sizeof buf);
            if (n > 0) {
                pending_.append(buf, static_cast<std::size_t>(n));
                if (static_cast<std::size_t>(n) < sizeof buf) break;
                continue;
            }
            if (n == 0) answers_eof_ = true;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) answers_eof_ = true;
            break;
        }
    }
}

::testing::AssertionResult Helper::ready(Duration timeout) {
    const auto line = read_answer(timeout);
    if (!line) {
        return ::testing::AssertionFailure() << "no start-up answer; standard error:\n" << detail::tail(stderr_text());
    }
    if (*line != R"({"type":"ready"})") {
        return ::testing::AssertionFailure() << "the start-up answer is " << *line << "\nstandard error:\n"
                                             << detail::tail(stderr_text());
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Helper::answers_end(Duration timeout) {
    if (answers_ < 0) return ::testing::AssertionFailure() << "no answers pipe to read from";
    std::vector<std::string> extra;
    for (;;) {
        auto line = read_answer(timeout);
        if (!line) break;
        extra.push_back(std::move(*line));
    }
    if (!answers_eof_) return ::testing::AssertionFailure() << "the answers did not end";
    if (!extra.empty()) {
        auto failure = ::testing::AssertionFailure();
        failure << extra.size() << " more answer(s) before the end, the first: " << detail::tail(extra.front(), 500);
        return failure;
    }
    return ::testing::AssertionSuccess();
}

int Helper::wait_exit(Duration timeout) {
    if (pid_ <= 0) {
        ADD_FAILURE() << "the helper was not started";
        return -1;
    }
    if (exited_) {
        ADD_FAILURE() << "wait_exit called twice";
        return -1;
    }
    auto status = detail::exited_within(pid_, timeout);
    if (!status) {
        ADD_FAILURE() << "the helper did not exit within " << timeout.count()
                      << " ms; killed. Standard error:\n"
                      << detail::tail(stderr_text());
        kill_group();
        detail::exited_within(pid_, 1h);
        exited_ = true;
        sync_stderr();
        return -1;
    }
    exited_ = true;
    sync_stderr();
    return *status;
}

std::string Helper::stderr_text() const {
    std::lock_guard lock(mutex_);
    return stderr_buffer_;
}

bool Helper::wait_for_stderr(std::string_view needle, Duration timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return stderr_buffer_.find(needle) != std::string::npos || stderr_eof_;
    }) && stderr_buffer_.find(needle) != std::string::npos;
}

// Collects everything currently in the stderr pipe: after the helper has
// exited, all it wrote is there, even if its descendants keep the pipe open.
void Helper::sync_stderr() {
    if (!stderr_thread_.joinable()) return;
    std::unique_lock lock(mutex_);
    const std::uint64_t target = ++sync_requests_;
    lock.unlock();
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    lock.lock();
    if (!changed_.wait_for(lock, 10s, [&] { return syncs_done_ >= target; })) {
        ADD_FAILURE() << "the standard error reader did not answer";
    }
}

void Helper::drain_stderr() {
    char buf[1 << 16];
    bool eof = false;
    for (;;) {
        pollfd p[2] = {{wake_, POLLIN, 0}, {eof ? -1 : stderr_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        std::uint64_t requested = 0;
        const bool woken = (p[0].revents & POLLIN) != 0;
        if (woken) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto n = ::read(wake_, &count, sizeof count);
            std::lock_guard lock(mutex_);
            requested = sync_requests_;
        }
        while (!eof) {
            const ssize_t n = ::read(stderr_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            std::lock_guard lock(mutex_);
            if (n > 0) {
                stderr_buffer_.append(buf, static_cast<std::size_t>(n));
            } else {
                eof = true;
                stderr_eof_ = true;
            }
            changed_.notify_all();
        }
        if (woken) {
            std::lock_guard lock(mutex_);
            syncs_done_ = std::max(syncs_done_, requested);
            changed_.notify_all();
        }
        if (stop_) break;
    }
}

std::vector<std::string> log_lines(std::string_view stderr_text) {
    static constexpr std::array<std::string_view, 5> levels = {"ERROR ", " WARN ", " INFO ", "DEBUG ", "TRACE "};
    std::vector<std::string> out;
    for (auto& line : split_lines(stderr_text)) {
        const std::string_view l = line;
        if (l.size() < 6) continue;
        if (std::find(levels.begin(), levels.end(), l.substr(0, 6)) == levels.end()) continue;
        if (!l.substr(6).starts_with("qor_webview_helper")) continue;
        out.push_back(line);
    }
    return out;
}

}  // namespace qor_webview::e2e
