// The client's side of one helper process: the queue of calls waiting for
// answers, and the thread that reads the helper's answers and standard
// error as they come, so that the helper never waits on us.
//
// Answers are matched to requests by position alone: the helper answers
// every line, one at a time, in the order of the lines. Each request holds a
// place in a queue kept in that order; the reader fills the oldest place
// still open with the next answer line and wakes whoever waits for it. Lines
// are decoded by the thread that takes them, so large pictures are never
// decoded on the reader.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client_process.hpp"
#include "qor_webview/internal/fd.hpp"

namespace qor_webview::detail {

// A mutex that a caller may wait for only until a deadline. It does what
// std::timed_mutex does, with a plain mutex and a condition variable that
// thread sanitizers see through.
class TimedLock {
public:
    void lock() {
        std::unique_lock guard(mutex_);
        free_.wait(guard, [this] { return !held_; });
        held_ = true;
    }
    template <class C, class D>
    bool try_lock_until(std::chrono::time_point<C, D> deadline) {
        std::unique_lock guard(mutex_);
        if (!free_.wait_until(guard, deadline, [this] { return !held_; })) return false;
        held_ = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard guard(mutex_);
            held_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;
};

// One request's place in the answer order: what it waits for, and the
// answer line once it has come.
struct PendingCall {
    std::string_view call;     // "start", "render_log", "render_image", "evaluate"
    std::size_t request = 0;   // its alternative in protocol::Request
    bool collectable = false;  // submitted; taken by `collect`
    bool claimed = false;      // a `collect` is waiting for it
    bool abandoned = false;    // its caller gave up waiting; the answer is dropped
    bool answered = false;
    bool stopped = false;  // the helper ended before answering
    std::string line;
};
// The calls waiting for answers, in request order: what the client's
// callers and the reader thread share.
struct CallQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<PendingCall>> calls;  // in request order
    bool stopped = true;        // no helper that answers
    // Called under `mutex` whenever an answer comes or the helper stops, for
    // an owner that waits on more than this queue (the pool). It must not
    // take a lock that is held while calling into the client.
    std::function<void()> on_change;

    // Under `mutex`: wakes whoever waits for an answer.
    void notify() {
        changed.notify_all();
        if (on_change) on_change();
    }

    // Under `mutex`: the helper cannot answer any more.
    void stop_all() {
        stopped = true;
        for (auto& call : calls) {
            if (!call->answered) call->stopped = true;
        }
        std::erase_if(calls, [](const auto& c) { return c->abandoned && (c->stopped || c->answered); });
        notify();
    }

    void remove(const std::shared_ptr<PendingCall>& call) {
        std::erase_if(calls, [&call](const auto& c) { return c == call; });
    }
};

// One helper process, from spawn to reaping, and the threads that read it.
class HelperRun {
public:
    HelperRun(Child child, CallQueue& queue, std::function<void(std::string_view)> sink);
    ~HelperRun();

    HelperRun(const HelperRun&) = delete;
    HelperRun& operator=(const HelperRun&) = delete;

    pid_t pid() const { return pid_; }
    // Written to under the client's write lock only.
    int input() const { return input_.get(); }
    void close_input() { input_.reset(); }

    // Under queue.mutex.
    bool reaped() const { return reaped_; }
    int status() const { return status_; }
    void kill() {
        if (!reaped_) kill_child(pid_, pidfd_);
    }

    // Waits for the reader to finish (the helper reaped, its pipes read to
    // the end) and for every line of standard error to be delivered.
    void join();

    // Ends the keeping of start-up lines (the helper is ready).
    void end_capture();
    std::vector<std::string> startup_lines();

private:
    void read_loop();
    void read_answers(std::string& buffer, std::size_t& scanned);
    void deliver_answer(std::string line);
    void end_answers();
    void read_errors(std::string& buffer);
    void push_error_line(std::string line);
    // Hands standard error to the sink on a thread of its own, so that a
    // slow sink holds up neither the helper nor its answers.
    void deliver();

    const pid_t pid_;
    Fd input_;
    Fd answers_;
    Fd errors_;
    Fd pidfd_;
    CallQueue& queue_;
    std::function<void(std::string_view)> sink_;

    // Under queue_.mutex.
    bool reaped_ = false;
    int status_ = 0;

    std::mutex err_mutex_;
    std::condition_variable err_changed_;
    std::deque<std::string> lines_;
    bool errors_done_ = false;
    bool capturing_ = true;
    std::deque<std::string> startup_lines_;

    std::thread delivery_;
    std::thread io_;
};

}  // namespace qor_webview::detail
