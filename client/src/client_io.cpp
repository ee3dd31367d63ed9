#include "client_io.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace qor_webview::detail {
namespace {

using Clock = std::chrono::steady_clock;

// How long the helper's standard error is still read once the helper has
// been reaped: processes it started may hold the pipe for a moment longer.
constexpr auto stderr_grace = std::chrono::milliseconds(500);
// How often the pipes and the helper are looked at while poll fails.
constexpr auto poll_retry = std::chrono::milliseconds(20);
// Start-up lines of standard error kept to explain a failed start.
constexpr std::size_t startup_lines_kept = 64;

}  // namespace

HelperRun::HelperRun(Child child, CallQueue& queue, std::function<void(std::string_view)> sink)
    : pid_(child.pid),
      input_(std::move(child.input)),
      answers_(std::move(child.answers)),
      errors_(std::move(child.errors)),
      pidfd_(open_pidfd(child.pid)),
      queue_(queue),
      sink_(std::move(sink)) {
    delivery_ = std::thread([this] { deliver(); });
    io_ = std::thread([this] { read_loop(); });
}

HelperRun::~HelperRun() { join(); }

void HelperRun::join() {
    if (io_.joinable()) io_.join();
    if (delivery_.joinable()) delivery_.join();
}

void HelperRun::end_capture() {
    std::lock_guard lock(err_mutex_);
    capturing_ = false;
}

std::vector<std::string> HelperRun::startup_lines() {
    std::lock_guard lock(err_mutex_);
    return {startup_lines_.begin(), startup_lines_.end()};
}

void HelperRun::read_loop() {
    std::string answers_buffer;
    std::size_t scanned = 0;
    std::string errors_buffer;
    bool reaped = false;
    std::optional<Clock::time_point> errors_deadline;

    for (;;) {
        if (!answers_ && reaped && (!errors_ || Clock::now() >= *errors_deadline)) break;
        pollfd fds[3];
        nfds_t n = 0;
        int answers_at = -1, errors_at = -1, pidfd_at = -1;
        if (answers_) {
            answers_at = static_cast<int>(n);
            fds[n++] = {answers_.get(), POLLIN, 0};
        }
        if (errors_) {
            errors_at = static_cast<int>(n);
            fds[n++] = {errors_.get(), POLLIN, 0};
        }
        if (!reaped && pidfd_) {
            pidfd_at = static_cast<int>(n);
            fds[n++] = {pidfd_.get(), POLLIN, 0};
        }
        int timeout = -1;
        if (!reaped && !pidfd_) timeout = 20;  // no pidfd: look for the exit now and then
        if (reaped) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*errors_deadline - Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        const int ready = ::poll(fds, n, timeout);
        if (ready < 0 && errno != EINTR) {
            // poll cannot watch the descriptors (out of memory, or a
            // descriptor limit below their number): look at each of them
            // now and then instead, so that answers still come in and the
            // helper is still reaped, and stopping ends in its time.
            for (nfds_t i = 0; i < n; ++i) fds[i].revents = POLLIN;
            std::this_thread::sleep_for(poll_retry);
        }

        if (answers_at >= 0 && fds[answers_at].revents != 0) read_answers(answers_buffer, scanned);
        if (errors_at >= 0 && fds[errors_at].revents != 0) read_errors(errors_buffer);
        if (!reaped && (pidfd_at < 0 || fds[pidfd_at].revents != 0)) {
            std::lock_guard lock(queue_.mutex);
            if (const auto status = try_reap(pid_)) {
                reaped = reaped_ = true;
                status_ = *status;
                queue_.notify();
            }
        }
        if (reaped && !errors_deadline) {
            errors_deadline = Clock::now() + stderr_grace;
            // Everything the helper wrote is in the pipe by now; a pipe
            // still open is held by somebody else and ends here.
            if (answers_) {
                read_answers(answers_buffer, scanned);
                if (answers_) end_answers();
            }
        }
    }
    // A last line without a line feed is still a line of standard error.
    if (errors_) {
        read_errors(errors_buffer);
        errors_.reset();
    }
    if (!errors_buffer.empty()) push_error_line(std::move(errors_buffer));
    if (answers_) end_answers();
    {
        std::lock_guard lock(err_mutex_);
        errors_done_ = true;
    }
    err_changed_.notify_all();
}

void HelperRun::read_answers(std::string& buffer, std::size_t& scanned) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(answers_.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return;
        if (got <= 0) {
            end_answers();
            return;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (;;) {
            const auto feed = buffer.find('\n', std::max(start, scanned));
            if (feed == std::string::npos) break;
            deliver_answer(buffer.substr(start, feed - start));
            start = feed + 1;
        }
        buffer.erase(0, start);
        scanned = buffer.size();
    }
}

void HelperRun::deliver_answer(std::string line) {
    std::lock_guard lock(queue_.mutex);
    for (auto it = queue_.calls.begin(); it != queue_.calls.end(); ++it) {
        PendingCall& call = **it;
        if (call.answered || call.stopped) continue;
        if (call.abandoned) {
            queue_.calls.erase(it);
        } else {
            call.answered = true;
            call.line = std::move(line);
            queue_.notify();
        }
        return;
    }
    // An answer nobody asked for: nothing to give it to.
}

void HelperRun::end_answers() {
    answers_.reset();
    std::lock_guard lock(queue_.mutex);
    queue_.stop_all();
}

void HelperRun::read_errors(std::string& buffer) {
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(errors_.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return;
        if (got <= 0) {
            errors_.reset();
            return;
        }
        const std::size_t old_size = buffer.size();
        buffer.append(chunk, static_cast<std::size_t>(got));
        std::size_t start = 0;
        std::size_t from = old_size;
        for (;;) {
            const auto feed = buffer.find('\n', from);
            if (feed == std::string::npos) break;
            push_error_line(buffer.substr(start, feed - start));
            start = from = feed + 1;
        }
        buffer.erase(0, start);
    }
}

void HelperRun::push_error_line(std::string line) {
    {
        std::lock_guard lock(err_mutex_);
        if (capturing_) {
            startup_lines_.push_back(line);
            if (startup_lines_.size() > startup_lines_kept) startup_lines_.pop_front();
        }
        lines_.push_back(std::move(line));
    }
    err_changed_.notify_one();
}

// Hands standard error to the sink on a thread of its own, so that a
// slow sink holds up neither the helper nor its answers.
void HelperRun::deliver() {
    std::unique_lock lock(err_mutex_);
    for (;;) {
        err_changed_.wait(lock, [this] { return !lines_.empty() || errors_done_; });
        if (lines_.empty()) return;
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        lock.unlock();
        sink_(line);
        lock.lock();
    }
}

}  // namespace qor_webview::detail
