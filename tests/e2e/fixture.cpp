#include "fixture.hpp"

#include <cairo.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace qor_webview::e2e {

namespace {

using Clock = std::chrono::steady_clock;

constexpr Duration server_start_timeout = 15s;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

std::string tail(std::string_view text, std::size_t n = 4000) {
    return std::string(text.size() > n ? text.substr(text.size() - n) : text);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Searches PATH the way the shell would; empty if not found.
std::string find_program(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const auto dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
        std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + std::string(name);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// The environment of a child: ours, less what would point it at a display
// or a log filter by accident, then the overrides in order.
std::vector<std::string> child_environment(const EnvOverrides& overrides) {
    static constexpr std::array<std::string_view, 4> dropped = {"DISPLAY", "WAYLAND_DISPLAY", "GDK_BACKEND",
                                                                "RUST_LOG"};
    std::vector<std::pair<std::string, std::string>> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry = *e;
        const auto eq = entry.find('=');
        if (eq == std::string_view::npos) continue;
        const auto name = entry.substr(0, eq);
        if (std::find(dropped.begin(), dropped.end(), name) != dropped.end()) continue;
        vars.emplace_back(std::string(name), std::string(entry.substr(eq + 1)));
    }
    for (const auto& [name, value] : overrides) {
        const std::string& key = name;
        std::erase_if(vars, [&](const auto& v) { return v.first == key; });
        if (value) vars.emplace_back(name, *value);
    }
    std::vector<std::string> out;
    out.reserve(vars.size());
    for (auto& [name, value] : vars) out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// In a forked child, before exec: only async-signal-safe calls.
void child_prepare(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    // The test program ignores SIGPIPE; a child must start with the defaults.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Puts `from` on descriptor `to` without close-on-exec (dup2 onto itself
// would keep the flag).
void child_move_fd(int from, int to) {
    if (from == to) {
        ::fcntl(to, F_SETFD, 0);
    } else {
        ::dup2(from, to);
    }
}

void child_close_from(unsigned first) {
    if (::close_range(first, ~0U, 0) != 0) {
        for (int fd = static_cast<int>(first); fd < 4096; ++fd) ::close(fd);
    }
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits for `pid` to end, up to `timeout`; true once it has been reaped.
bool reap_within(pid_t pid, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;  // not ours any more
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

// Waits up to `timeout` for `pid` to exit without reaping it; its exit
// status (128 plus the signal for a killed one), or nullopt.
std::optional<int> exited_within(pid_t pid, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        siginfo_t info{};
        const int r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (r == 0 && info.si_pid == pid) {
            return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

void stop_process(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (!reap_within(pid, 5s)) {
        ::kill(pid, SIGKILL);
        reap_within(pid, 5s);
    }
}

// A started display server.
struct Server {
    pid_t pid = -1;
    Display display;
};

class Servers {
public:
    static Servers& get() {
        static Servers servers;
        return servers;
    }

    DisplayStatus status(DisplayKind kind) {
        std::lock_guard lock(mutex_);
        if (kind == DisplayKind::None) return {&none_, false, {}};
        auto& slot = kind == DisplayKind::X11 ? x11_ : wayland_;
        if (!slot.tried) {
            slot.tried = true;
            if (kind == DisplayKind::X11) {
                start_xvfb(slot);
            } else {
                start_weston(slot);
            }
        }
        if (slot.server) return {&slot.server->display, false, {}};
        return {nullptr, slot.skip, slot.reason};
    }

    void stop() {
        std::lock_guard lock(mutex_);
        for (auto* slot : {&x11_, &wayland_}) {
            if (slot->server) stop_process(slot->server->pid);
            slot->server.reset();
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
            dir_.clear();
        }
    }

private:
    struct Slot {
        bool tried = false;
        std::optional<Server> server;
        bool skip = false;
        std::string reason;
    };

    Servers() {
        none_.kind = DisplayKind::None;
        // GDK_BACKEND pinned to x11 so that GTK does not go looking for a
        // Wayland socket of the machine's.
        none_.env = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"GDK_BACKEND", "x11"}};
        none_.description = "no display";
    }

    // A private folder for the servers' logs and the compositor's socket.
    const std::filesystem::path& dir() {
        if (dir_.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qor-e2e-XXXXXX";
            if (::mkdtemp(templ.data()) != nullptr) dir_ = templ;
        }
        return dir_;
    }

    void start_xvfb(Slot& slot) {
        const std::string program = find_program("Xvfb");
        if (program.empty()) {
            slot.reason = "Xvfb is not installed (package xvfb); the end-to-end tests need it";
            return;
        }
        if (dir().empty()) {
            slot.reason = std::string("cannot make a temporary folder: ") + std::strerror(errno);
            return;
        }
        const auto log = dir() / "xvfb.log";
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            slot.reason = std::string("pipe: ") + std::strerror(errno);
            return;
        }
        const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::vector<std::string> args = {program, "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
                                         "tcp"};
        auto argv = pointers(args);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            child_prepare(parent);
            child_move_fd(null_fd, 0);
            child_move_fd(log_fd, 1);
            child_move_fd(log_fd, 2);
            child_move_fd(ready[1], 3);
            child_close_from(4);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(ready[1]);
        ::close(log_fd);
        ::close(null_fd);
        if (pid < 0) {
            ::close(ready[0]);
            slot.reason = std::string("fork: ") + std::strerror(errno);
            return;
        }
        // Xvfb writes the display number and a line feed once it accepts clients.
        std::string number;
        const auto deadline = Clock::now() + server_start_timeout;
        bool done = false;
        while (!done) {
            pollfd p{ready[0], POLLIN, 0};
            const int n = ::poll(&p, 1, remaining_ms(deadline));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            char buf[64];
            const ssize_t got = ::read(ready[0], buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            number.append(buf, static_cast<std::size_t>(got));
            done = number.find('\n') != std::string::npos;
        }
        ::close(ready[0]);
        int value = -1;
        if (done) {
            const auto end = number.find('\n');
            const auto [ptr, ec] = std::from_chars(number.data(), number.data() + end, value);
            if (ec != std::errc{} || ptr != number.data() + end) value = -1;
        }
        if (value < 0) {
            stop_process(pid);
            slot.reason = "Xvfb did not report a display within " +
                          std::to_string(server_start_timeout.count()) + " ms; its output:\n" +
                          tail(read_file(log));
            return;
        }
        Server server;
        server.pid = pid;
        server.display.kind = DisplayKind::X11;
        server.display.env = {{"DISPLAY", ":" + std::to_string(value)},
                              {"WAYLAND_DISPLAY", std::nullopt},
                              {"GDK_BACKEND", "x11"}};
        server.display.description = "Xvfb :" + std::to_string(value);
        slot.server = std::move(server);
    }

    // A headless weston: a Wayland display on which WebKitGTK renders, so
    // that GDK's default display is not an X11 one. The kiosk shell starts no
    // client programs of its own.
    void start_weston(Slot& slot) {
        const std::string program = find_program("weston");
        if (program.empty()) {
            slot.skip = true;
            slot.reason = "weston is not installed (package weston); no display other than X11 to test on";
            return;
        }
        if (dir().empty()) {
            slot.reason = std::string("cannot make a temporary folder: ") + std::strerror(errno);
            return;
        }
        const auto runtime = dir() / "wayland-runtime";
        std::error_code ec;
        std::filesystem::create_directory(runtime, ec);
        if (ec || ::chmod(runtime.c_str(), 0700) != 0) {
            slot.reason = "cannot make " + runtime.string();
            return;
        }
        const std::string socket_name = "qor-e2e-wayland";
        const auto socket_path = runtime / socket_name;
        const auto log = dir() / "weston.log";
        const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::vector<std::string> args = {program,
                                         "--backend=headless-backend.so",
                                         "--shell=kiosk-shell.so",
                                         "--no-config",
                                         "--idle-time=0",
                                         "--width=1280",
                                         "--height=1024",
                                         "--socket=" + socket_name};
        auto argv = pointers(args);
        auto env_strings = child_environment({{"XDG_RUNTIME_DIR", runtime.string()}});
        auto envp = pointers(env_strings);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            child_prepare(parent);
            child_move_fd(null_fd, 0);
            child_move_fd(log_fd, 1);
            child_move_fd(log_fd, 2);
            child_close_from(3);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(log_fd);
        ::close(null_fd);
        if (pid < 0) {
            slot.reason = std::string("fork: ") + std::strerror(errno);
            return;
        }
        // Ready once its socket accepts a connection.
        const auto deadline = Clock::now() + server_start_timeout;
        bool ready = false;
        bool exited = false;
        while (!ready && Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
            ready = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (s >= 0) ::close(s);
            if (!ready) std::this_thread::sleep_for(10ms);
        }
        if (!ready) {
            if (!exited) stop_process(pid);
            slot.reason = std::string("weston ") + (exited ? "exited" : "did not open its socket") +
                          " while starting; its output:\n" + tail(read_file(log));
            return;
        }
        Server server;
        server.pid = pid;
        server.display.kind = DisplayKind::Wayland;
        server.display.env = {{"DISPLAY", std::nullopt},
                              {"WAYLAND_DISPLAY", socket_name},
                              {"XDG_RUNTIME_DIR", runtime.string()},
                              {"GDK_BACKEND", "wayland"}};
        server.display.description = "weston (headless) " + socket_name;
        slot.server = std::move(server);
    }

    std::mutex mutex_;
    Slot x11_;
    Slot wayland_;
    Display none_;
    std::filesystem::path dir_;
};

// Stops the display servers after the last test; also makes sure that the
// test program itself survives writes to a closed pipe.
class ServersEnvironment : public ::testing::Environment {
public:
    ServersEnvironment() {
        ::signal(SIGPIPE, SIG_IGN);
        // The children's descriptors 0 to 2 are set up by number; ours must
        // be taken so that the pipes get higher numbers.
        for (int fd = 0; fd <= 2; ++fd) {
            if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
        }
    }
    void TearDown() override { Servers::get().stop(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ServersEnvironment);

}  // namespace

DisplayStatus display_status(DisplayKind kind) { return Servers::get().status(kind); }

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
// ------------------------------------------------------------------ Helper

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
    set_nonblocking(stdin_);
    set_nonblocking(answers_);
    set_nonblocking(stderr_);
    if (options.answers_closed) close_fd(answers_);
    if (options.stderr_full && !fill_pipe(err[1])) ADD_FAILURE() << "could not fill the standard error pipe";
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    EnvOverrides env = status.display->env;
    env.insert(env.end(), options.env.begin(), options.env.end());
    auto env_strings = child_environment(env);
    auto envp = pointers(env_strings);
    std::vector<std::string> args = {options.program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    auto argv = pointers(args);

    const bool stdout_closed = options.stdout_closed;
    const bool stdin_closed = options.stdin_closed;
    const rlim_t descriptor_limit = static_cast<rlim_t>(std::max(options.descriptor_limit, 0));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        child_prepare(parent);
        // A group of its own, so that the helper and what it starts can be
        // killed together.
        ::setpgid(0, 0);
        child_move_fd(in[0], 0);
        child_move_fd(err[1], 2);
        if (stdout_closed) {
            ::close(1);
        } else {
            child_move_fd(out[1], 1);
        }
        child_close_from(3);
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
        close_fd(stdin_);
        close_fd(answers_);
        close_fd(stderr_);
        close_fd(wake_);
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
    close_fd(stdin_);
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
    close_fd(answers_);
    close_fd(stderr_);
    close_fd(wake_);
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
    const auto deadline = Clock::now() + timeout;
    while (!bytes.empty()) {
        const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return errno;
        pollfd p{stdin_, POLLOUT, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r == 0) return ETIMEDOUT;
        if (r < 0 && errno != EINTR) return errno;
    }
    return 0;
}

void Helper::close_stdin() { close_fd(stdin_); }

void Helper::close_answers() {
    close_fd(answers_);
    pending_.clear();
}

std::optional<std::string> Helper::read_answer(Duration timeout) {
    if (answers_ < 0) {
        ADD_FAILURE() << "no answers pipe to read from";
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    std::size_t scanned = 0;
    for (;;) {
        const auto nl = pending_.find('\n', scanned);
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!answer_type(line)) {
                ADD_FAILURE() << "not an answer line on the answers pipe: " << tail(line, 500);
            }
            return line;
        }
        scanned = pending_.size();
        if (answers_eof_) {
            if (!pending_.empty()) {
                ADD_FAILURE() << "the answers end inside a line: " << tail(pending_, 500);
                pending_.clear();
            }
            return std::nullopt;
        }
        pollfd p{answers_, POLLIN, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            ADD_FAILURE() << "no answer within " << timeout.count() << " ms; standard error so far:\n"
                          << tail(stderr_text());
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
        return ::testing::AssertionFailure() << "no start-up answer; standard error:\n" << tail(stderr_text());
    }
    if (*line != R"({"type":"ready"})") {
        return ::testing::AssertionFailure() << "the start-up answer is " << *line << "\nstandard error:\n"
                                             << tail(stderr_text());
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
        failure << extra.size() << " more answer(s) before the end, the first: " << tail(extra.front(), 500);
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
    auto status = exited_within(pid_, timeout);
    if (!status) {
        ADD_FAILURE() << "the helper did not exit within " << timeout.count()
                      << " ms; killed. Standard error:\n"
                      << tail(stderr_text());
        kill_group();
        exited_within(pid_, 1h);
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

// ------------------------------------------------------------------- text

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        lines.emplace_back(text.substr(0, nl));
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return lines;
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

// -------------------------------------------------------------- processes

std::vector<pid_t> descendants(pid_t pid) {
    std::multimap<pid_t, pid_t> children;
    if (DIR* d = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(d)) {
            pid_t child = 0;
            const std::string_view name = e->d_name;
            const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), child);
            if (ec != std::errc{} || ptr != name.data() + name.size()) continue;
            const std::string stat = read_file("/proc/" + std::string(name) + "/stat");
            // The command name may hold anything; the fields follow its last ')'.
            const auto close = stat.rfind(')');
            if (close == std::string::npos || close + 4 >= stat.size()) continue;
            const char* p = stat.data() + close + 4;  // ") S " then the parent
            pid_t parent = 0;
            if (std::from_chars(p, stat.data() + stat.size(), parent).ec == std::errc{}) {
                children.emplace(parent, child);
            }
        }
        ::closedir(d);
    }
    std::vector<pid_t> out;
    std::vector<pid_t> todo = {pid};
    while (!todo.empty()) {
        const pid_t p = todo.back();
        todo.pop_back();
        const auto [first, last] = children.equal_range(p);
        for (auto it = first; it != last; ++it) {
            out.push_back(it->second);
            todo.push_back(it->second);
        }
    }
    return out;
}

std::vector<int> descriptors_on(pid_t pid, int ours) {
    struct stat target {};
    if (::fstat(ours, &target) != 0) return {};
    std::vector<int> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            int fd = 0;
            const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), fd);
            if (ec != std::errc{} || ptr != name.data() + name.size()) continue;
            struct stat st {};
            if (::stat((dir + "/" + std::string(name)).c_str(), &st) != 0) continue;
            if (st.st_dev == target.st_dev && st.st_ino == target.st_ino) out.push_back(fd);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<int> descriptor_flags(pid_t pid, int fd) {
    const std::string info = read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    for (const auto& line : split_lines(info)) {
        std::string_view l = line;
        if (!l.starts_with("flags:")) continue;
        l.remove_prefix(6);
        while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
        int flags = 0;
        if (std::from_chars(l.data(), l.data() + l.size(), flags, 8).ec == std::errc{}) return flags;
    }
    return std::nullopt;
}

// ------------------------------------------------------------------- JSON

namespace {

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<Json> whole() {
        skip_space();
        auto value = read_value(0);
        skip_space();
        if (!value || pos_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    static constexpr int max_depth = 256;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    void skip_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    std::optional<Json> read_value(int depth) {
        if (at_end() || depth > max_depth) return std::nullopt;
        switch (peek()) {
            case '{': return read_object(depth);
            case '[': return read_array(depth);
            case '"': {
                auto s = read_string();
                if (!s) return std::nullopt;
                return Json{std::move(*s)};
            }
            case 't': return literal("true") ? std::optional<Json>(Json{true}) : std::nullopt;
            case 'f': return literal("false") ? std::optional<Json>(Json{false}) : std::nullopt;
            case 'n': return literal("null") ? std::optional<Json>(Json{nullptr}) : std::nullopt;
            default: return read_number();
        }
    }

    std::optional<Json> read_object(int depth) {
        ++pos_;
        Json::Object object;
        skip_space();
        if (!at_end() && peek() == '}') {
            ++pos_;
            return Json{std::move(object)};
        }
        for (;;) {
            skip_space();
            if (at_end() || peek() != '"') return std::nullopt;
            auto key = read_string();
            if (!key) return std::nullopt;
            skip_space();
            if (at_end() || peek() != ':') return std::nullopt;
            ++pos_;
            skip_space();
            auto value = read_value(depth + 1);
            if (!value) return std::nullopt;
            object.push_back(Json::Member{std::move(*key), std::move(*value)});
            skip_space();
            if (at_end()) return std::nullopt;
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() != '}') return std::nullopt;
            ++pos_;
            return Json{std::move(object)};
        }
    }

    std::optional<Json> read_array(int depth) {
        ++pos_;
        Json::Array array;
        skip_space();
        if (!at_end() && peek() == ']') {
            ++pos_;
            return Json{std::move(array)};
        }
        for (;;) {
            skip_space();
            auto value = read_value(depth + 1);
            if (!value) return std::nullopt;
            array.push_back(std::move(*value));
            skip_space();
            if (at_end()) return std::nullopt;
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() != ']') return std::nullopt;
            ++pos_;
            return Json{std::move(array)};
        }
    }

    std::optional<Json> read_number() {
        const std::size_t start = pos_;
        auto digits = [&] {
            const std::size_t from = pos_;
            while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_;
            return pos_ > from;
        };
        if (!at_end() && peek() == '-') ++pos_;
        if (at_end()) return std::nullopt;
        if (peek() == '0') {
            ++pos_;
        } else if (!digits()) {
            return std::nullopt;
        }
        if (!at_end() && peek() == '.') {
            ++pos_;
            if (!digits()) return std::nullopt;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
            if (!digits()) return std::nullopt;
        }
        Json::Number number;
        number.text = std::string(text_.substr(start, pos_ - start));
        const auto [ptr, ec] =
            std::from_chars(number.text.data(), number.text.data() + number.text.size(), number.value);
        if (ptr != number.text.data() + number.text.size()) return std::nullopt;
        if (ec == std::errc::result_out_of_range) {
            number.value = number.text.front() == '-' ? -HUGE_VAL : HUGE_VAL;
        } else if (ec != std::errc{}) {
            return std::nullopt;
        }
        return Json{std::move(number)};
    }

    std::optional<unsigned> read_hex4() {
        if (text_.size() - pos_ < 4) return std::nullopt;
        unsigned value = 0;
        const char* first = text_.data() + pos_;
        const auto [ptr, ec] = std::from_chars(first, first + 4, value, 16);
        if (ec != std::errc{} || ptr != first + 4) return std::nullopt;
        pos_ += 4;
        return value;
    }

    static void append_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // Length of the valid UTF-8 sequence at pos_, 0 if invalid.
    std::size_t utf8_length() const {
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text_[pos_ + i]); };
        const std::size_t left = text_.size() - pos_;
        const unsigned c = b(0);
        if (c < 0x80) return 1;
        const auto cont = [&](std::size_t i) { return i < left && (b(i) & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
        if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(1) || !cont(2)) return 0;
            if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
            if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
            return 3;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return 0;
            if (c == 0xF0 && b(1) < 0x90) return 0;
            if (c == 0xF4 && b(1) >= 0x90) return 0;
            return 4;
        }
        return 0;
    }

    std::optional<std::string> read_string() {
        ++pos_;
        std::string out;
        for (;;) {
            if (at_end()) return std::nullopt;
            const char c = peek();
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                const std::size_t n = utf8_length();
                if (n == 0) return std::nullopt;
                out.append(text_.substr(pos_, n));
                pos_ += n;
                continue;
            }
            ++pos_;
            if (at_end()) return std::nullopt;
            const char e = peek();
            ++pos_;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    auto cp = read_hex4();
                    if (!cp) return std::nullopt;
                    if (*cp >= 0xDC00 && *cp <= 0xDFFF) return std::nullopt;
                    if (*cp >= 0xD800 && *cp <= 0xDBFF) {
                        if (!literal("\\u")) return std::nullopt;
                        auto low = read_hex4();
                        if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                        *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    append_utf8(out, *cp);
                    break;
                }
                default: return std::nullopt;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

const Json* Json::get(std::string_view key) const {
    const auto* o = object();
    if (o == nullptr) return nullptr;
    for (const auto& [k, v] : *o) {
        if (k == key) return &v;
    }
    return nullptr;
}

std::optional<std::string> Json::text_at(std::initializer_list<std::string_view> keys) const {
    const Json* at = this;
    for (const auto key : keys) {
        at = at->get(key);
        if (at == nullptr) return std::nullopt;
    }
    if (const auto* s = at->string()) return *s;
    return std::nullopt;
}

std::optional<Json> parse_json(std::string_view text) { return JsonReader(text).whole(); }

std::optional<std::string> answer_type(std::string_view line) {
    const auto json = parse_json(line);
    if (!json || json->object() == nullptr || json->object()->empty()) return std::nullopt;
    const auto& [key, value] = json->object()->front();
    if (key != "type" || value.string() == nullptr) return std::nullopt;
    return *value.string();
}

// --------------------------------------------------------------- pictures

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<std::size_t>(k)];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) return std::nullopt;  // data after padding
            v[k] = value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const unsigned bits = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                              (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        // The bits beyond the last byte must be zero in the canonical form.
        if ((pad == 1 && (bits & 0xFF) != 0) || (pad == 2 && (bits & 0xFFFF) != 0)) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(bits >> 16));
        if (pad < 2) out.push_back(static_cast<std::uint8_t>(bits >> 8));
        if (pad < 1) out.push_back(static_cast<std::uint8_t>(bits));
    }
    return out;
}

std::uint32_t Picture::pixel(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
}

std::optional<Picture> decode_png(std::span<const std::uint8_t> bytes) {
    struct Source {
        std::span<const std::uint8_t> rest;
    } source{bytes};
    const auto read = [](void* closure, unsigned char* data, unsigned int length) -> cairo_status_t {
        auto* s = static_cast<Source*>(closure);
        if (s->rest.size() < length) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(data, s->rest.data(), length);
        s->rest = s->rest.subspan(length);
        return CAIRO_STATUS_SUCCESS;
    };
    cairo_surface_t* png = cairo_image_surface_create_from_png_stream(read, &source);
    if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(png);
        return std::nullopt;
    }
    const int width = cairo_image_surface_get_width(png);
    const int height = cairo_image_surface_get_height(png);
    // Painted onto an ARGB32 surface, so that every PNG colour type reads
    // the same way (pictures without alpha come out opaque).
    cairo_surface_t* argb = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(argb);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, png, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(argb);
    std::optional<Picture> picture;
    if (cairo_surface_status(argb) == CAIRO_STATUS_SUCCESS) {
        picture.emplace();
        picture->width_ = width;
        picture->height_ = height;
        picture->pixels_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        const unsigned char* data = cairo_image_surface_get_data(argb);
        const int stride = cairo_image_surface_get_stride(argb);
        for (int y = 0; y < height; ++y) {
            std::memcpy(picture->pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width),
                        data + static_cast<std::ptrdiff_t>(y) * stride, static_cast<std::size_t>(width) * 4);
        }
    }
    cairo_surface_destroy(argb);
    cairo_surface_destroy(png);
    return picture;
}

std::optional<Picture> decode_png_base64(std::string_view text) {
    const auto bytes = decode_base64(text);
    if (!bytes) return std::nullopt;
    return decode_png(*bytes);
}

}  // namespace qor_webview::e2e
