// The client: one helper process at a time, request lines written in order
// under a lock, and one thread per process that reads its answers and its
// standard error as they come, so that the helper never waits on us.
//
// Answers are matched to requests by position alone: the helper answers
// every line, one at a time, in the order of the lines. Each request holds a
// slot in a queue kept in that order; the reader fills the oldest slot still
// open with the next answer line and wakes whoever waits for it. Lines are
// decoded by the thread that takes them, so large pictures are never decoded
// on the reader.

#include "qor_webview/client.hpp"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "client_process.hpp"
#include "json_reader.hpp"
#include "qor_webview/internal/overloaded.hpp"
#include "qor_webview/wire.hpp"
#include "wire_types.hpp"

#ifndef QOR_WEBVIEW_LIB_TO_HELPER
#define QOR_WEBVIEW_LIB_TO_HELPER "../libexec/qor_webview"
#endif
#ifndef QOR_WEBVIEW_BIN_TO_HELPER
#define QOR_WEBVIEW_BIN_TO_HELPER "../libexec/qor_webview"
#endif
#ifndef QOR_WEBVIEW_INSTALLED_HELPER
#define QOR_WEBVIEW_INSTALLED_HELPER ""
#endif

namespace qor_webview {
namespace {

using detail::Clock;
using detail::Fd;

constexpr std::string_view helper_name = "qor_webview_helper";
constexpr std::string_view start_call = "start";
constexpr std::string_view collect_call = "collect";

// How long the helper's standard error is still read once the helper has
// been reaped: processes it started may hold the pipe for a moment longer.
constexpr auto stderr_grace = std::chrono::milliseconds(500);
// How often the pipes and the helper are looked at while poll fails.
constexpr auto poll_retry = std::chrono::milliseconds(20);
// Start-up lines of standard error kept to explain a failed start.
constexpr std::size_t startup_lines_kept = 64;

std::string millis_text(Milliseconds d) { return std::to_string(d.count()) + " ms"; }

Error call_error(std::string_view call, std::string message) {
    return Error::Call{std::string(call), std::move(message)};
}

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

// One request's place in the answer order.
struct Slot {
    std::string_view call;     // "start", "render_log", "render_image", "evaluate"
    bool collectable = false;  // submitted; taken by `collect`
    bool claimed = false;      // a `collect` is waiting for it
    bool abandoned = false;    // its caller gave up waiting; the answer is dropped
    bool answered = false;
    bool stopped = false;  // the helper ended before answering
    std::string line;
};
using SlotPtr = std::shared_ptr<Slot>;

// What the client's callers and the reader thread share.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<SlotPtr> slots;  // in request order
    bool stopped = true;        // no helper that answers

    // Under `mutex`: the helper cannot answer any more.
    void stop_all() {
        stopped = true;
        for (auto& slot : slots) {
            if (!slot->answered) slot->stopped = true;
        }
        std::erase_if(slots, [](const SlotPtr& s) { return s->abandoned && (s->stopped || s->answered); });
        changed.notify_all();
    }

    void remove(const SlotPtr& slot) {
        std::erase_if(slots, [&slot](const SlotPtr& s) { return s == slot; });
    }
};

// One helper process, from spawn to reaping, and the threads that read it.
class Run {
public:
    Run(detail::Child child, Shared& shared, std::function<void(std::string_view)> sink)
        : pid_(child.pid),
          input_(std::move(child.input)),
          answers_(std::move(child.answers)),
          errors_(std::move(child.errors)),
          pidfd_(detail::open_pidfd(child.pid)),
          shared_(shared),
          sink_(std::move(sink)) {
        delivery_ = std::thread([this] { deliver(); });
        io_ = std::thread([this] { read_loop(); });
    }

    ~Run() {
        if (io_.joinable()) io_.join();
        if (delivery_.joinable()) delivery_.join();
    }

    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    pid_t pid() const { return pid_; }
    // Written to under the client's write lock only.
    int input() const { return input_.get(); }
    void close_input() { input_.reset(); }

    // Under shared.mutex.
    bool reaped() const { return reaped_; }
    int status() const { return status_; }
    void kill() {
        if (!reaped_) detail::kill_child(pid_, pidfd_);
    }

    // Waits for the reader to finish (the helper reaped, its pipes read to
    // the end) and for every line of standard error to be delivered.
    void join() {
        if (io_.joinable()) io_.join();
        if (delivery_.joinable()) delivery_.join();
    }

    void end_capture() {
        std::lock_guard lock(err_mutex_);
        capturing_ = false;
    }
    std::vector<std::string> startup_lines() {
        std::lock_guard lock(err_mutex_);
        return {startup_lines_.begin(), startup_lines_.end()};
    }

private:
    void read_loop() {
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
                std::lock_guard lock(shared_.mutex);
                if (const auto status = detail::try_reap(pid_)) {
                    reaped = reaped_ = true;
                    status_ = *status;
                    shared_.changed.notify_all();
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

    void read_answers(std::string& buffer, std::size_t& scanned) {
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

    void deliver_answer(std::string line) {
        std::lock_guard lock(shared_.mutex);
        for (auto it = shared_.slots.begin(); it != shared_.slots.end(); ++it) {
            Slot& slot = **it;
            if (slot.answered || slot.stopped) continue;
            if (slot.abandoned) {
                shared_.slots.erase(it);
            } else {
                slot.answered = true;
                slot.line = std::move(line);
                shared_.changed.notify_all();
            }
            return;
        }
        // An answer nobody asked for: nothing to give it to.
    }

    void end_answers() {
        answers_.reset();
        std::lock_guard lock(shared_.mutex);
        shared_.stop_all();
    }

    void read_errors(std::string& buffer) {
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

    void push_error_line(std::string line) {
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
    void deliver() {
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

    const pid_t pid_;
    Fd input_;
    Fd answers_;
    Fd errors_;
    Fd pidfd_;
    Shared& shared_;
    std::function<void(std::string_view)> sink_;

    // Under shared_.mutex.
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

void write_to_stderr(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    (void)detail::write_all(2, text, Clock::now() + std::chrono::seconds(10));
}

// Whether an executable file is an ELF file: one that this machine refuses
// to run is built for another platform.
bool is_elf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[4] = {};
    return file.read(magic, 4) && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
}

Error exit_error(const std::vector<std::string>& lines, int status) {
    // The dynamic loader's words when WebKitGTK's library is not there.
    for (const auto& line : lines) {
        if (line.find("cannot open shared object file") != std::string::npos &&
            (line.find("libwebkit2gtk-4.1.so") != std::string::npos ||
             line.find("libjavascriptcoregtk-4.1.so") != std::string::npos))
            return Error::MissingWebKit{};
    }
    std::string message = "the helper ";
    if (status >= 0 && WIFEXITED(status)) {
        message += "exited with status " + std::to_string(WEXITSTATUS(status));
    } else if (status >= 0 && WIFSIGNALED(status)) {
        message += "was killed by signal " + std::to_string(WTERMSIG(status));
    } else {
        message += "ended";
    }
    message += " before it was ready";
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->find_first_not_of(" \t\r") != std::string::npos) {
            message += ": " + *it;
            break;
        }
    }
    return Error::Start{std::move(message)};
}

template <class T>
Expected<T, Error> fail(Error error) {
    return unexpected(std::move(error));
}

// An answer line turned into what its request expects.
Expected<Reply, Error> decode_reply(std::string_view call, const std::string& line) {
    auto parsed = protocol::parse_answer(line);
    if (!parsed) return fail<Reply>(call_error(call, "unreadable answer: " + parsed.error().message));
    const std::string_view type = protocol::wire_type_of(*parsed);
    const auto misfit = [&] { return fail<Reply>(call_error(call, "the helper answered `" + std::string(type) + "`")); };
    return std::visit(
        detail::overloaded{
            [&](protocol::Failed& failed) -> Expected<Reply, Error> {
                std::string message = std::move(failed.error.message);
                switch (failed.error.kind) {
                    case protocol::FailureKind::Load: return fail<Reply>(Error::Load{std::move(message)});
                    case protocol::FailureKind::Script: return fail<Reply>(Error::Script{std::move(message)});
                    case protocol::FailureKind::Snapshot: return fail<Reply>(Error::Snapshot{std::move(message)});
                    case protocol::FailureKind::Start: return fail<Reply>(Error::Start{std::move(message)});
                }
                return misfit();
            },
            [&](protocol::Log& log) -> Expected<Reply, Error> {
                if (call != "render_log") return misfit();
                LogPicture picture;
                picture.width = log.width;
                picture.height = log.height;
                picture.links = std::move(log.links);
                picture.bands.reserve(log.tiles.size());
                for (std::size_t i = 0; i < log.tiles.size(); ++i) {
                    auto& tile = log.tiles[i];
                    auto png = protocol::decode_base64(tile.png);
                    if (!png)
                        return fail<Reply>(call_error(call, "band " + std::to_string(i) + " is not valid base64"));
                    std::string().swap(tile.png);
                    picture.bands.push_back(LogBand{tile.top, tile.height, std::move(*png)});
                }
                return Reply{std::move(picture)};
            },
            [&](protocol::Image& image) -> Expected<Reply, Error> {
                if (call != "render_image") return misfit();
                auto png = protocol::decode_base64(image.png);
                if (!png) return fail<Reply>(call_error(call, "the picture is not valid base64"));
                return Reply{ImagePicture{std::move(*png)}};
            },
            [&](protocol::Text& text) -> Expected<Reply, Error> {
                if (call != "evaluate") return misfit();
                return Reply{ScriptText{std::move(text.text)}};
            },
            [&](protocol::Ready&) -> Expected<Reply, Error> { return misfit(); },
        },
        *parsed);
}

// The call's name in errors: the request's type on the wire.
std::string_view call_name(const protocol::Request& request) { return protocol::wire_type_of(request); }

// Why a request cannot go on the wire as it is, if it cannot.
std::optional<std::string> unsendable(protocol::Request& request) {
    using Why = std::optional<std::string>;
    const auto text_ok = [](std::string_view text) { return protocol::valid_utf8(text); };
    const auto scale_fix = [](float& scale) {
        if (!std::isfinite(scale)) scale = 1.0f;
    };
    return std::visit(detail::overloaded{
                          [&](protocol::RenderLog& r) -> Why {
                              if (!std::isfinite(r.width)) return "the width is not a finite number";
                              scale_fix(r.scale);
                              if (!text_ok(r.html)) return "the html is not valid UTF-8";
                              return std::nullopt;
                          },
                          [&](protocol::RenderImage& r) -> Why {
                              scale_fix(r.scale);
                              if (!text_ok(r.html)) return "the html is not valid UTF-8";
                              return std::nullopt;
                          },
                          [&](const protocol::Evaluate& e) -> Why {
                              for (std::size_t i = 0; i < e.scripts.size(); ++i) {
                                  if (!text_ok(e.scripts[i]))
                                      return "script " + std::to_string(i) + " is not valid UTF-8";
                              }
                              if (!text_ok(e.result)) return "the result script is not valid UTF-8";
                              return std::nullopt;
                          },
                      },
                      request);
}

}  // namespace

// --------------------------------------------------------------- the client

struct Client::Impl {
    ClientOptions options;
    std::string helper;

    // One request line at a time, and never while a helper starts or
    // stops. Taken before shared.mutex.
    TimedLock write_mutex;
    Shared shared;
    std::unique_ptr<Run> run;  // replaced under both locks

    explicit Impl(ClientOptions o, std::string path) : options(std::move(o)), helper(std::move(path)) {}

    ~Impl() {
        std::lock_guard lock(write_mutex);
        stop_run();
    }

    Milliseconds limit(std::optional<Milliseconds> timeout) const { return timeout.value_or(options.call_timeout); }

    // Starts a helper and waits for its start-up answer. Under write_mutex.
    Expected<void, Error> launch() {
#ifndef __linux__
        return unexpected(Error(Error::Unsupported{}));
#else
        const auto environment = [this] {
            auto changes = options.environment;
            if (options.rust_log) changes.insert(changes.begin(), {"RUST_LOG", *options.rust_log});
            return detail::child_environment(changes);
        }();
        auto [child, code] = detail::spawn(helper, environment);
        if (!child) {
            if (code == ENOEXEC && is_elf(helper)) return unexpected(Error(Error::Unsupported{}));
            return unexpected(Error(Error::Start{"cannot run " + helper + ": " + protocol::os_error_text(code)}));
        }
        auto sink = options.on_stderr ? options.on_stderr : std::function<void(std::string_view)>(write_to_stderr);
        auto slot = std::make_shared<Slot>();
        slot->call = start_call;
        {
            std::lock_guard lock(shared.mutex);
            shared.slots.clear();
            shared.slots.push_back(slot);
            shared.stopped = false;
            run = std::make_unique<Run>(std::move(*child), shared, std::move(sink));
        }

        std::unique_lock lock(shared.mutex);
        const bool done = shared.changed.wait_for(lock, options.start_timeout,
                                                  [&slot] { return slot->answered || slot->stopped; });
        shared.remove(slot);
        if (slot->answered) {
            auto answer = protocol::parse_answer(slot->line);
            lock.unlock();
            if (answer && std::holds_alternative<protocol::Ready>(*answer)) {
                run->end_capture();
                return {};
            }
            stop_run();
            if (!answer) return unexpected(Error(Error::Start{"unreadable start-up answer: " + answer.error().message}));
            if (auto* failed = std::get_if<protocol::Failed>(&*answer))
                return unexpected(Error(Error::Start{std::move(failed->error.message)}));
            return unexpected(Error(Error::Start{"the start-up answer was not `ready`: " + slot->line}));
        }
        lock.unlock();
        if (!done) {
            stop_run(Milliseconds(0));
            return unexpected(Error(Error::Start{"no start-up answer within " + millis_text(options.start_timeout)}));
        }
        // The answers ended first: the helper is going or gone.
        const int status = stop_run();
        return unexpected(exit_error(run_lines_, status));
#endif
    }

    // Closes the helper's input, waits for its exit, kills it when it does
    // not come within the time limit, reaps it and joins its threads.
    // Returns its wait status. Under write_mutex.
    int stop_run(std::optional<Milliseconds> wait = std::nullopt) {
        if (!run) return -1;
        run->close_input();
        std::unique_lock lock(shared.mutex);
        if (!shared.changed.wait_for(lock, wait.value_or(options.stop_timeout), [this] { return run->reaped(); })) {
            run->kill();
            shared.changed.wait(lock, [this] { return run->reaped(); });
        }
        const int status = run->status();
        lock.unlock();
        run->join();
        run_lines_ = run->startup_lines();
        lock.lock();
        shared.stop_all();
        run.reset();
        return status;
    }

    // Kills a helper that can no longer be trusted with requests (a line
    // half written). Under write_mutex.
    void abandon_run() {
        std::lock_guard lock(shared.mutex);
        if (run) run->kill();
        shared.stop_all();
    }

    // Writes the request and returns its slot, or the error that kept it off
    // the wire.
    Expected<SlotPtr, Error> send(protocol::Request& request, bool collectable, Clock::time_point deadline,
                                  Milliseconds timeout) {
        const std::string_view call = call_name(request);
        if (auto why = unsendable(request)) return unexpected(call_error(call, std::move(*why)));
        std::string line = protocol::encode_request(request);
        line.push_back('\n');

        std::unique_lock write_lock(write_mutex, std::defer_lock);
        if (!write_lock.try_lock_until(deadline))
            return unexpected(call_error(call, "another request was still being written after " + millis_text(timeout)));
        auto slot = std::make_shared<Slot>();
        slot->call = call;
        slot->collectable = collectable;
        {
            std::lock_guard lock(shared.mutex);
            if (shared.stopped || !run) return unexpected(Error(Error::Stopped{}));
            shared.slots.push_back(slot);
        }
        const int code = detail::write_all(run->input(), line, deadline);
        if (code == 0) return slot;
        {
            std::lock_guard lock(shared.mutex);
            shared.remove(slot);
        }
        abandon_run();
        if (code == ETIMEDOUT)
            return unexpected(call_error(call, "the helper did not take the request within " + millis_text(timeout)));
        return unexpected(Error(Error::Stopped{}));
    }

    // Waits for the slot's answer and decodes it.
    Expected<Reply, Error> receive(const SlotPtr& slot, Clock::time_point deadline, Milliseconds timeout,
                                   bool keep_on_timeout) {
        std::unique_lock lock(shared.mutex);
        if (!shared.changed.wait_until(lock, deadline, [&slot] { return slot->answered || slot->stopped; })) {
            if (keep_on_timeout) {
                slot->claimed = false;
                return fail<Reply>(call_error(collect_call, "no answer within " + millis_text(timeout)));
            }
            slot->abandoned = true;
            return fail<Reply>(call_error(slot->call, "no answer within " + millis_text(timeout)));
        }
        shared.remove(slot);
        if (!slot->answered) return fail<Reply>(Error::Stopped{});
        const std::string line = std::move(slot->line);
        lock.unlock();
        return decode_reply(slot->call, line);
    }

    Expected<Reply, Error> call(protocol::Request request, std::optional<Milliseconds> timeout) {
        const Milliseconds t = limit(timeout);
        const auto deadline = Clock::now() + t;
        auto slot = send(request, false, deadline, t);
        if (!slot) return unexpected(std::move(slot).error());
        return receive(*slot, deadline, t, false);
    }

    std::vector<std::string> run_lines_;
};

Client::Client(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Client::Client(Client&& other) noexcept = default;
Client& Client::operator=(Client&& other) noexcept = default;
Client::~Client() = default;

std::vector<std::string> helper_candidates() {
    std::vector<std::string> candidates;
    const auto add = [&candidates](std::string path) {
        if (!path.empty() && std::find(candidates.begin(), candidates.end(), path) == candidates.end())
            candidates.push_back(std::move(path));
    };
    // First the helper installed with this very library, whatever prefix it
    // was installed to: a stray variable must not pair the library with a
    // helper of another version.
    const std::string module = detail::own_module_path();
    if (!module.empty()) {
        const std::string folder = detail::parent_folder(module);
        // The shared library in its libdir, or a program in <prefix>/bin
        // that the static library is linked into; then the folder itself.
        add(folder + "/" QOR_WEBVIEW_LIB_TO_HELPER "/" + std::string(helper_name));
        add(folder + "/" QOR_WEBVIEW_BIN_TO_HELPER "/" + std::string(helper_name));
        add(folder + "/" + std::string(helper_name));
    }
    // Then the one the environment names, for a library used where no
    // helper was installed beside it (a build tree, a copied library).
    if (const char* env = std::getenv("QOR_WEBVIEW_HELPER"); env != nullptr && *env != '\0') add(env);
    add(QOR_WEBVIEW_INSTALLED_HELPER);
    return candidates;
}

Expected<Client, Error> Client::start(ClientOptions options) {
    std::string path = options.helper;
    if (path.empty()) {
        const auto candidates = helper_candidates();
        for (const auto& candidate : candidates) {
            if (detail::is_executable_file(candidate)) {
                path = candidate;
                break;
            }
        }
        if (path.empty()) {
            std::string message = "cannot find " + std::string(helper_name) + " (looked at";
            for (std::size_t i = 0; i < candidates.size(); ++i) message += (i == 0 ? " " : ", ") + candidates[i];
            message += "); give its path, or set QOR_WEBVIEW_HELPER";
            return unexpected(Error(Error::Start{std::move(message)}));
        }
    }
    auto impl = std::make_unique<Impl>(std::move(options), std::move(path));
    {
        std::lock_guard lock(impl->write_mutex);
        auto started = impl->launch();
        if (!started) return unexpected(std::move(started).error());
    }
    return Client(std::move(impl));
}

Expected<LogPicture, Error> Client::render_log(std::string_view html, float width, float scale,
                                               std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    auto reply = impl_->call(protocol::RenderLog{std::string(html), width, scale}, timeout);
    if (!reply) return unexpected(std::move(reply).error());
    return std::get<LogPicture>(std::move(*reply));
}

Expected<std::vector<std::uint8_t>, Error> Client::render_image(std::string_view html, float scale,
                                                                std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    auto reply = impl_->call(protocol::RenderImage{std::string(html), scale}, timeout);
    if (!reply) return unexpected(std::move(reply).error());
    return std::get<ImagePicture>(std::move(*reply)).png;
}

Expected<std::string, Error> Client::evaluate(const std::vector<std::string>& scripts, std::string_view result,
                                              std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    auto reply = impl_->call(protocol::Evaluate{scripts, std::string(result)}, timeout);
    if (!reply) return unexpected(std::move(reply).error());
    return std::get<ScriptText>(std::move(*reply)).text;
}

Expected<void, Error> Client::submit(protocol::Request request, std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    const Milliseconds t = impl_->limit(timeout);
    auto slot = impl_->send(request, true, Clock::now() + t, t);
    if (!slot) return unexpected(std::move(slot).error());
    return {};
}

Expected<Reply, Error> Client::collect(std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    const Milliseconds t = impl_->limit(timeout);
    SlotPtr slot;
    {
        std::lock_guard lock(impl_->shared.mutex);
        // Two threads collecting at once take consecutive requests.
        for (const auto& s : impl_->shared.slots) {
            if (s->collectable && !s->claimed) {
                slot = s;
                slot->claimed = true;
                break;
            }
        }
    }
    if (!slot) return unexpected(call_error(collect_call, "no request is waiting to be collected"));
    return impl_->receive(slot, Clock::now() + t, t, true);
}

std::size_t Client::pending() const {
    if (!impl_) return 0;
    std::lock_guard lock(impl_->shared.mutex);
    return static_cast<std::size_t>(std::count_if(impl_->shared.slots.begin(), impl_->shared.slots.end(),
                                                  [](const SlotPtr& s) { return s->collectable; }));
}

Expected<void, Error> Client::restart() {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    std::lock_guard lock(impl_->write_mutex);
    impl_->stop_run();
    return impl_->launch();
}

bool Client::running() const {
    if (!impl_) return false;
    std::lock_guard lock(impl_->shared.mutex);
    return !impl_->shared.stopped;
}

int Client::pid() const {
    if (!impl_) return -1;
    std::lock_guard lock(impl_->shared.mutex);
    return impl_->run && !impl_->run->reaped() ? static_cast<int>(impl_->run->pid()) : -1;
}

const std::string& Client::helper_path() const {
    static const std::string none;
    return impl_ ? impl_->helper : none;
}

// ------------------------------------------------------------------- links

namespace {

using json::Containers;
using json::Kind;
using json::Strings;

// The fields of a link, in the order a missing one is named.
constexpr std::array<std::string_view, 5> link_fields = {"href", "left", "top", "width", "height"};

// Reads one link object, just opened, into `area`.
bool read_link(json::Reader& reader, LinkArea& area) {
    const std::array<double*, link_fields.size()> numbers = {nullptr, &area.left, &area.top, &area.width,
                                                              &area.height};
    std::array<bool, link_fields.size()> seen{};
    const auto member = [&](std::string_view key) {
        const auto field = static_cast<std::size_t>(std::ranges::find(link_fields, key) - link_fields.begin());
        if (field == link_fields.size()) return reader.skip_value();
        seen[field] = true;
        json::Value value;
        if (!reader.read_value(value, Containers::Recognise, field == 0 ? Strings::Keep : Strings::Check))
            return false;
        if (field == 0) {
            if (value.kind != Kind::String) return reader.fail_invalid_type(value, "a string");
            area.href = reader.take(value.str);
            return true;
        }
        switch (value.kind) {
            case Kind::Unsigned: *numbers[field] = static_cast<double>(value.magnitude); return true;
            case Kind::Signed: *numbers[field] = -static_cast<double>(value.magnitude); return true;
            case Kind::Float: *numbers[field] = value.real; return true;
            default: return reader.fail_invalid_type(value, "a number");
        }
    };
    if (!reader.for_each_member(member)) return false;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) return reader.fail_message("missing field `" + std::string(link_fields[i]) + "`");
    }
    return true;
}

bool read_links(json::Reader& reader, std::vector<LinkArea>& areas) {
    json::Value root;
    if (!reader.read_value(root, Containers::Open, Strings::Check)) return false;
    if (root.kind != Kind::Seq) return reader.fail_invalid_type(root, "a sequence");
    bool first = true;
    for (;;) {
        const int ahead = reader.next_element(first);
        if (ahead < 0) return false;
        if (ahead == 0) break;
        json::Value item;
        if (!reader.read_value(item, Containers::Open, Strings::Check)) return false;
        if (item.kind != Kind::Map) return reader.fail_invalid_type(item, "a map");
        if (!read_link(reader, areas.emplace_back())) return false;
    }
    reader.close_container();
    if (reader.peek_ws() >= 0) return reader.fail_peek(json::Syntax::TrailingCharacters);
    return true;
}

}  // namespace

Expected<std::vector<LinkArea>, Error> parse_links(std::string_view links) {
    json::Reader reader(links);
    std::vector<LinkArea> areas;
    if (!read_links(reader, areas))
        return unexpected(call_error("render_log", "unreadable links: " + reader.take_message()));
    return areas;
}


}  // namespace qor_webview
