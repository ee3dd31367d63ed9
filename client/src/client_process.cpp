#include "client_process.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace qor_webview::detail {

std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::vector<std::string> entries;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) entries.emplace_back(*e);
    for (const auto& [name, value] : changes) {
        const std::string prefix = name + "=";
        std::erase_if(entries, [&prefix](const std::string& entry) { return entry.starts_with(prefix); });
        if (value) entries.push_back(prefix + *value);
    }
    return entries;
}

namespace {

// A pipe whose both ends close on exec; the child gets its end through dup2,
// which clears the flag on the copy.
bool make_pipe(Fd& read_end, Fd& write_end) noexcept {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end = Fd(fds[0]);
    write_end = Fd(fds[1]);
    return true;
}

bool set_nonblocking(int fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    bool attr_ok = false;
    bool actions_ok = false;
    SpawnSetup() {
        attr_ok = ::posix_spawnattr_init(&attr) == 0;
        actions_ok = ::posix_spawn_file_actions_init(&actions) == 0;
    }
    ~SpawnSetup() {
        if (attr_ok) ::posix_spawnattr_destroy(&attr);
        if (actions_ok) ::posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::pair<std::optional<Child>, int> spawn(const std::string& program, const std::vector<std::string>& environment) {
    Fd in_read, in_write, out_read, out_write, err_read, err_write;
    if (!make_pipe(in_read, in_write) || !make_pipe(out_read, out_write) || !make_pipe(err_read, err_write))
        return {std::nullopt, errno};
    if (!set_nonblocking(in_write.get()) || !set_nonblocking(out_read.get()) || !set_nonblocking(err_read.get()))
        return {std::nullopt, errno};

    SpawnSetup setup;
    if (!setup.attr_ok || !setup.actions_ok) return {std::nullopt, ENOMEM};
    int rc = ::posix_spawn_file_actions_adddup2(&setup.actions, in_read.get(), 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(), 1);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&setup.actions, err_write.get(), 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Whatever the parent left open without close-on-exec stays out of the
    // helper, so that no pipe of the parent's is held open by it.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif
    if (rc != 0) return {std::nullopt, rc};

    // The helper starts with no signal blocked and the usual dispositions,
    // whatever the spawning thread had.
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, sig);
    rc = ::posix_spawnattr_setsigmask(&setup.attr, &empty);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    if (rc == 0) rc = ::posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc != 0) return {std::nullopt, rc};

    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    // The helper reads no options; its name is all it gets.
    std::string name = program;
    char* argv[] = {name.data(), nullptr};

    pid_t pid = -1;
    rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv, envp.data());
    if (rc != 0) return {std::nullopt, rc};

    Child child;
    child.pid = pid;
    child.input = std::move(in_write);
    child.answers = std::move(out_read);
    child.errors = std::move(err_read);
    return {std::move(child), 0};
}

Fd open_pidfd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        // pidfd_open sets close-on-exec itself.
        return Fd(static_cast<int>(fd));
    }
#else
    (void)pid;
#endif
    return Fd();
}

void kill_child(pid_t pid, const Fd& pidfd) noexcept {
#ifdef SYS_pidfd_send_signal
    if (pidfd && ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0) == 0) return;
    // An ended process gives ESRCH: nothing to kill. Other errors (a kernel
    // without the call) fall through to kill.
    if (pidfd && errno == ESRCH) return;
#else
    (void)pidfd;
#endif
    if (pid > 0) ::kill(pid, SIGKILL);
}

std::optional<int> try_reap(pid_t pid) noexcept {
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got == 0) return std::nullopt;
        if (errno == EINTR) continue;
        return -1;  // ECHILD: somebody else reaped it
    }
}

int write_all(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline) noexcept {
    // A helper that has gone would kill the whole parent with SIGPIPE; the
    // signal is blocked for this thread while writing, and a SIGPIPE that
    // the write raises is taken off again before unblocking.
    sigset_t pipe_set, previous, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigemptyset(&pending);
    ::pthread_sigmask(SIG_BLOCK, &pipe_set, &previous);
    ::sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    int result = 0;
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            result = errno;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result = ETIMEDOUT;
            break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            result = errno;
            break;
        }
        // POLLERR (the reader is gone) makes the next write report EPIPE.
    }

    if (result == EPIPE && !was_pending) {
        const timespec zero{};
        while (::sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

std::string own_module_path() {
    Dl_info info{};
    // Any function of this library tells which file it was loaded from.
    if (::dladdr(reinterpret_cast<void*>(&own_module_path), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    if (!path.starts_with('/')) {
        // The main program is reported by the name it was started with,
        // which may be relative to a folder the program has since left.
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) return {};
        path.assign(buffer, static_cast<std::size_t>(n));
    }
    return path;
}

std::string parent_folder(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool is_executable_file(const std::string& path) noexcept {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace qor_webview::detail
