#include "displays.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "text.hpp"

namespace qor_webview::e2e {

using namespace std::chrono_literals;

namespace {

constexpr Duration server_start_timeout = 15s;

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
        auto& attempt = kind == DisplayKind::X11 ? x11_ : wayland_;
        if (!attempt.tried) {
            attempt.tried = true;
            if (kind == DisplayKind::X11) {
                start_xvfb(attempt);
            } else {
                start_weston(attempt);
            }
        }
        if (attempt.server) return {&attempt.server->display, false, {}};
        return {nullptr, attempt.skip, attempt.reason};
    }

    void stop() {
        std::lock_guard lock(mutex_);
        for (auto* attempt : {&x11_, &wayland_}) {
            if (attempt->server) detail::stop_process(attempt->server->pid);
            attempt->server.reset();
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
            dir_.clear();
        }
    }

private:
    // The one start of a server of each kind, made on first use and kept.
    struct Attempt {
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

    void start_xvfb(Attempt& attempt) {
        const std::string program = detail::find_program("Xvfb");
        if (program.empty()) {
            attempt.reason = "Xvfb is not installed (package xvfb); the end-to-end tests need it";
            return;
        }
        if (dir().empty()) {
            attempt.reason = std::string("cannot make a temporary folder: ") + std::strerror(errno);
            return;
        }
        const auto log = dir() / "xvfb.log";
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            attempt.reason = std::string("pipe: ") + std::strerror(errno);
            return;
        }
        const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::vector<std::string> args = {program, "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
                                         "tcp"};
        auto argv = detail::pointers(args);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            detail::child_prepare(parent);
            detail::child_move_fd(null_fd, 0);
            detail::child_move_fd(log_fd, 1);
            detail::child_move_fd(log_fd, 2);
            detail::child_move_fd(ready[1], 3);
            detail::child_close_from(4);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(ready[1]);
        ::close(log_fd);
        ::close(null_fd);
        if (pid < 0) {
            ::close(ready[0]);
            attempt.reason = std::string("fork: ") + std::strerror(errno);
            return;
        }
        // Xvfb writes the display number and a line feed once it accepts clients.
        std::string number;
        const auto deadline = detail::Clock::now() + server_start_timeout;
        bool done = false;
        while (!done) {
            pollfd p{ready[0], POLLIN, 0};
            const int n = ::poll(&p, 1, detail::remaining_ms(deadline));
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
            detail::stop_process(pid);
            attempt.reason = "Xvfb did not report a display within " +
                          std::to_string(server_start_timeout.count()) + " ms; its output:\n" +
                          detail::tail(detail::read_file(log));
            return;
        }
        Server server;
        server.pid = pid;
        server.display.kind = DisplayKind::X11;
        server.display.env = {{"DISPLAY", ":" + std::to_string(value)},
                              {"WAYLAND_DISPLAY", std::nullopt},
                              {"GDK_BACKEND", "x11"}};
        server.display.description = "Xvfb :" + std::to_string(value);
        attempt.server = std::move(server);
    }

    // A headless weston: a Wayland display on which WebKitGTK renders, so
    // that GDK's default display is not an X11 one. The kiosk shell starts no
    // client programs of its own.
    void start_weston(Attempt& attempt) {
        const std::string program = detail::find_program("weston");
        if (program.empty()) {
            attempt.skip = true;
            attempt.reason = "weston is not installed (package weston); no display other than X11 to test on";
            return;
        }
        if (dir().empty()) {
            attempt.reason = std::string("cannot make a temporary folder: ") + std::strerror(errno);
            return;
        }
        const auto runtime = dir() / "wayland-runtime";
        std::error_code ec;
        std::filesystem::create_directory(runtime, ec);
        if (ec || ::chmod(runtime.c_str(), 0700) != 0) {
            attempt.reason = "cannot make " + runtime.string();
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
        auto argv = detail::pointers(args);
        auto env_strings = detail::child_environment({{"XDG_RUNTIME_DIR", runtime.string()}});
        auto envp = detail::pointers(env_strings);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            detail::child_prepare(parent);
            detail::child_move_fd(null_fd, 0);
            detail::child_move_fd(log_fd, 1);
            detail::child_move_fd(log_fd, 2);
            detail::child_close_from(3);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(log_fd);
        ::close(null_fd);
        if (pid < 0) {
            attempt.reason = std::string("fork: ") + std::strerror(errno);
            return;
        }
        // Ready once its socket accepts a connection.
        const auto deadline = detail::Clock::now() + server_start_timeout;
        bool ready = false;
        bool exited = false;
        while (!ready && detail::Clock::now() < deadline) {
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
            if (!exited) detail::stop_process(pid);
            attempt.reason = std::string("weston ") + (exited ? "exited" : "did not open its socket") +
                          " while starting; its output:\n" + detail::tail(detail::read_file(log));
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
        attempt.server = std::move(server);
    }

    std::mutex mutex_;
    Attempt x11_;
    Attempt wayland_;
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

}  // namespace qor_webview::e2e
