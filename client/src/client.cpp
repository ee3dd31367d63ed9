// The client's interface: starting and stopping the helper, writing each
// request line in order under a lock, and waiting for its answer (the
// reader thread and the queue of calls are in client_io).

#include "qor_webview/client.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "client_io.hpp"
#include "client_access.hpp"
#include "client_process.hpp"
#include "offline.hpp"
#include "qor_webview/wire.hpp"
#include "replies.hpp"

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

using detail::CallQueue;
using detail::call_error;
using detail::PendingCall;
using Clock = std::chrono::steady_clock;

constexpr std::string_view helper_name = "qor_webview_helper";
constexpr std::string_view start_call = "start";
constexpr std::string_view collect_call = "collect";

std::string millis_text(Milliseconds d) { return std::to_string(d.count()) + " ms"; }

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

Unexpected<Error> failure(Error error) { return unexpected(std::move(error)); }

// Whether `receive` lets go of a call that gets no answer in time: a call
// gives up its answer, a `collect` leaves it to be collected later.
enum class OnTimeout : bool { Abandon, KeepForCollect };
// Whether `send` leaves the call's answer to `collect`.
enum class Delivery : bool { ToCaller, ToCollect };

}  // namespace

// --------------------------------------------------------------- the client

struct Client::Impl {
    ClientOptions options;
    std::string helper;

    // One request line at a time, and never while a helper starts or
    // stops. Taken before queue.mutex.
    detail::TimedLock write_mutex;
    CallQueue queue;
    std::unique_ptr<detail::HelperRun> run;  // replaced under both locks

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
            // The helper's log filter variable; the name is the helper's
            // interface, whatever the language of the parent.
            if (options.rust_log) changes.insert(changes.begin(), {"RUST_LOG", *options.rust_log});
            return detail::child_environment(changes);
        }();
        auto [child, code] = detail::spawn(helper, environment);
        if (!child) {
            if (code == ENOEXEC && is_elf(helper)) return unexpected(Error(Error::Unsupported{}));
            return unexpected(Error(Error::Start{"cannot run " + helper + ": " + protocol::os_error_text(code)}));
        }
        auto sink = options.on_stderr ? options.on_stderr : std::function<void(std::string_view)>(write_to_stderr);
        auto pending = std::make_shared<PendingCall>();
        pending->call = start_call;
        {
            std::lock_guard lock(queue.mutex);
            queue.calls.clear();
            queue.calls.push_back(pending);
            queue.stopped = false;
            run = std::make_unique<detail::HelperRun>(std::move(*child), queue, std::move(sink));
        }

        std::unique_lock lock(queue.mutex);
        const bool done = queue.changed.wait_for(lock, options.start_timeout,
                                                  [&pending] { return pending->answered || pending->stopped; });
        queue.remove(pending);
        if (pending->answered) {
            auto answer = protocol::parse_answer(pending->line);
            lock.unlock();
            if (answer && std::holds_alternative<protocol::Ready>(*answer)) {
                run->end_capture();
                return {};
            }
            stop_run();
            if (!answer) return unexpected(Error(Error::Start{"unreadable start-up answer: " + answer.error().message}));
            if (auto* failed = std::get_if<protocol::Failed>(&*answer))
                return unexpected(Error(Error::Start{std::move(failed->error.message)}));
            return unexpected(Error(Error::Start{"the start-up answer was not `ready`: " + pending->line}));
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
        std::unique_lock lock(queue.mutex);
        if (!queue.changed.wait_for(lock, wait.value_or(options.stop_timeout), [this] { return run->reaped(); })) {
            run->kill();
            queue.changed.wait(lock, [this] { return run->reaped(); });
        }
        const int status = run->status();
        lock.unlock();
        run->join();
        run_lines_ = run->startup_lines();
        lock.lock();
        queue.stop_all();
        run.reset();
        return status;
    }

    // Kills a helper that can no longer be trusted with requests (a line
    // half written). Under write_mutex.
    void abandon_run() {
        std::lock_guard lock(queue.mutex);
        if (run) run->kill();
        queue.stop_all();
    }

    // Writes the request and returns its place in the queue, or the error
    // that kept it off the wire.
    Expected<std::shared_ptr<PendingCall>, Error> send(protocol::Request& request, Delivery delivery,
                                                       Clock::time_point deadline, Milliseconds timeout) {
        const std::string_view call = detail::call_name(request);
        if (auto why = detail::unsendable(request)) return unexpected(call_error(call, std::move(*why)));
        std::string line = protocol::encode_request(request);
        line.push_back('\n');

        std::unique_lock write_lock(write_mutex, std::defer_lock);
        if (!write_lock.try_lock_until(deadline))
            return unexpected(call_error(call, "another request was still being written after " + millis_text(timeout)));
        auto pending = std::make_shared<PendingCall>();
        pending->call = call;
        pending->request = request.index();
        pending->collectable = delivery == Delivery::ToCollect;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.stopped || !run) return unexpected(Error(Error::Stopped{}));
            queue.calls.push_back(pending);
        }
        const int code = detail::write_all(run->input(), line, deadline);
        if (code == 0) return pending;
        {
            std::lock_guard lock(queue.mutex);
            queue.remove(pending);
        }
        abandon_run();
        if (code == ETIMEDOUT)
            return unexpected(call_error(call, "the helper did not take the request within " + millis_text(timeout)));
        return unexpected(Error(Error::Stopped{}));
    }

    // Waits for the call's answer line.
    Expected<std::string, Error> receive(const std::shared_ptr<PendingCall>& pending, Clock::time_point deadline,
                                   Milliseconds timeout, OnTimeout on_timeout) {
        std::unique_lock lock(queue.mutex);
        if (!queue.changed.wait_until(lock, deadline, [&pending] { return pending->answered || pending->stopped; })) {
            if (on_timeout == OnTimeout::KeepForCollect) {
                pending->claimed = false;
                return failure(call_error(collect_call, "no answer within " + millis_text(timeout)));
            }
            pending->abandoned = true;
            return failure(call_error(pending->call, "no answer within " + millis_text(timeout)));
        }
        queue.remove(pending);
        if (!pending->answered) return failure(Error::Stopped{});
        return std::move(pending->line);
    }

    // The answer type follows from the request's type.
    template <class R>
    Expected<detail::AnswerTo<R>, Error> call(R request, std::optional<Milliseconds> timeout,
                                              std::optional<bool> allow_network = std::nullopt) {
        const Milliseconds t = limit(timeout);
        const auto deadline = Clock::now() + t;
        detail::restrict_network(request, allow_network.value_or(options.allow_network));
        protocol::Request wire(std::move(request));
        auto pending = send(wire, Delivery::ToCaller, deadline, t);
        if (!pending) return unexpected(std::move(pending).error());
        auto line = receive(*pending, deadline, t, OnTimeout::Abandon);
        if (!line) return unexpected(std::move(line).error());
        return detail::decode_reply<R>(*line);
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

Expected<std::string, Error> detail::find_helper(const std::string& given) {
    std::string path = given;
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
    return path;
}

Expected<Client, Error> Client::start(ClientOptions options) {
    auto path = detail::find_helper(options.helper);
    if (!path) return unexpected(std::move(path).error());
    auto impl = std::make_unique<Impl>(std::move(options), std::move(*path));
    {
        std::lock_guard lock(impl->write_mutex);
        auto started = impl->launch();
        if (!started) return unexpected(std::move(started).error());
    }
    return Client(std::move(impl));
}

Expected<LogPicture, Error> Client::render_log(std::string_view html, float width, float scale,
                                               std::optional<Milliseconds> timeout) {
    return render_log(html, width, scale, RenderOptions{timeout, std::nullopt});
}

Expected<LogPicture, Error> Client::render_log(std::string_view html, float width, float scale,
                                               const RenderOptions& options) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    return impl_->call(protocol::RenderLog{std::string(html), width, scale}, options.timeout, options.allow_network);
}

Expected<std::vector<std::uint8_t>, Error> Client::render_image(std::string_view html, float scale,
                                                                std::optional<Milliseconds> timeout) {
    return render_image(html, scale, RenderOptions{timeout, std::nullopt});
}

Expected<std::vector<std::uint8_t>, Error> Client::render_image(std::string_view html, float scale,
                                                                const RenderOptions& options) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    auto picture =
        impl_->call(protocol::RenderImage{std::string(html), scale}, options.timeout, options.allow_network);
    if (!picture) return unexpected(std::move(picture).error());
    return std::move(picture->png);
}

Expected<std::string, Error> Client::evaluate(const std::vector<std::string>& scripts, std::string_view result,
                                              std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    auto text = impl_->call(protocol::Evaluate{scripts, std::string(result)}, timeout);
    if (!text) return unexpected(std::move(text).error());
    return std::move(text->text);
}

Expected<void, Error> Client::submit(protocol::Request request, std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    const Milliseconds t = impl_->limit(timeout);
    detail::restrict_network(request, impl_->options.allow_network);
    auto pending = impl_->send(request, Delivery::ToCollect, Clock::now() + t, t);
    if (!pending) return unexpected(std::move(pending).error());
    return {};
}

Expected<Reply, Error> Client::collect(std::optional<Milliseconds> timeout) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    const Milliseconds t = impl_->limit(timeout);
    std::shared_ptr<PendingCall> pending;
    {
        std::lock_guard lock(impl_->queue.mutex);
        // Two threads collecting at once take consecutive requests.
        for (const auto& s : impl_->queue.calls) {
            if (s->collectable && !s->claimed) {
                pending = s;
                pending->claimed = true;
                break;
            }
        }
    }
    if (!pending) return unexpected(call_error(collect_call, "no request is waiting to be collected"));
    auto line = impl_->receive(pending, Clock::now() + t, t, OnTimeout::KeepForCollect);
    if (!line) return unexpected(std::move(line).error());
    return detail::decode_reply(pending->request, *line);
}

std::size_t Client::pending() const {
    if (!impl_) return 0;
    std::lock_guard lock(impl_->queue.mutex);
    return static_cast<std::size_t>(std::count_if(impl_->queue.calls.begin(), impl_->queue.calls.end(),
                                                  [](const auto& call) { return call->collectable; }));
}

Expected<void, Error> Client::restart() {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    std::lock_guard lock(impl_->write_mutex);
    impl_->stop_run();
    return impl_->launch();
}

bool Client::running() const {
    if (!impl_) return false;
    std::lock_guard lock(impl_->queue.mutex);
    return !impl_->queue.stopped;
}

int Client::pid() const {
    if (!impl_) return -1;
    std::lock_guard lock(impl_->queue.mutex);
    return impl_->run && !impl_->run->reaped() ? static_cast<int>(impl_->run->pid()) : -1;
}

void detail::ClientAccess::set_hook(Client& client, std::function<void()> hook) {
    std::lock_guard lock(client.impl_->queue.mutex);
    client.impl_->queue.on_change = std::move(hook);
}

std::optional<Expected<std::string, Error>> detail::ClientAccess::take(Client& client) {
    auto& queue = client.impl_->queue;
    std::lock_guard lock(queue.mutex);
    for (auto it = queue.calls.begin(); it != queue.calls.end(); ++it) {
        const auto call = *it;
        if (!call->collectable) continue;
        if (!call->answered && !call->stopped) return std::nullopt;
        queue.calls.erase(it);
        if (!call->answered) return Expected<std::string, Error>(unexpected(Error(Error::Stopped{})));
        return Expected<std::string, Error>(std::move(call->line));
    }
    if (queue.stopped) return Expected<std::string, Error>(unexpected(Error(Error::Stopped{})));
    return std::nullopt;
}

const std::string& Client::helper_path() const {
    static const std::string none;
    return impl_ ? impl_->helper : none;
}

}  // namespace qor_webview
