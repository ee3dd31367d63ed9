#include "processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <thread>

#include "text.hpp"

extern char** environ;

namespace qor_webview::e2e {

using namespace std::chrono_literals;

std::vector<pid_t> descendants(pid_t pid) {
    std::multimap<pid_t, pid_t> children;
    if (DIR* d = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(d)) {
            pid_t child = 0;
            const std::string_view name = e->d_name;
            const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), child);
            if (ec != std::errc{} || ptr != name.data() + name.size()) continue;
            const std::string stat = detail::read_file("/proc/" + std::string(name) + "/stat");
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
    const std::string info = detail::read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
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

namespace detail {

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

// dup2 onto itself would keep close-on-exec.
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

}  // namespace detail
}  // namespace qor_webview::e2e
