#include "private_display.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "qor_webview/internal/fd.hpp"

extern char** environ;

namespace qor_webview_cli {

namespace {

std::string os_text(int code) { return std::error_code(code, std::generic_category()).message(); }

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool has_display() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

PrivateDisplay::~PrivateDisplay() {
    if (pid_ > 0) stop(pid_);
}

std::optional<std::string> PrivateDisplay::start(std::string& error) {
    if (pid_ > 0) {
        error = "Xvfb is already running";
        return std::nullopt;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = "pipe: " + os_text(errno);
        return std::nullopt;
    }
    qor_webview::detail::Fd ready(ends[0]), ready_write(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ready_write.get(), 3);
    char* argv[] = {const_cast<char*>("Xvfb"),     const_cast<char*>("-displayfd"), const_cast<char*>("3"),
                    const_cast<char*>("-screen"),  const_cast<char*>("0"),          const_cast<char*>("1280x1024x24"),
                    const_cast<char*>("-nolisten"), const_cast<char*>("tcp"),       nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ready_write.reset();
    if (rc != 0) {
        ready.reset();
        error = "cannot start Xvfb (package xvfb): " + os_text(rc);
        return std::nullopt;
    }
    // Xvfb writes its display number and a line feed once it takes clients.
    using Clock = std::chrono::steady_clock;
    std::string number;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (number.find('\n') == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{ready.get(), POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buffer[32];
        const ssize_t got = ::read(ready.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        number.append(buffer, static_cast<std::size_t>(got));
    }
    ready.reset();
    const auto feed = number.find('\n');
    unsigned display = 0;
    const auto parsed = std::from_chars(number.data(), number.data() + (feed == std::string::npos ? 0 : feed), display);
    if (feed == std::string::npos || feed == 0 || parsed.ec != std::errc{} || parsed.ptr != number.data() + feed) {
        // A server that never said where it is must not outlive us.
        stop(pid);
        error = "Xvfb did not report a display";
        return std::nullopt;
    }
    pid_ = pid;
    name_ = ":" + number.substr(0, feed);
    return name_;
}

std::vector<std::pair<std::string, std::optional<std::string>>> PrivateDisplay::helper_environment() const {
    // GDK_BACKEND keeps GTK on this server even inside a Wayland session.
    return {{"DISPLAY", name_}, {"WAYLAND_DISPLAY", std::nullopt}, {"GDK_BACKEND", "x11"}};
}

}  // namespace qor_webview_cli
