#include "run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qor_webview::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environment_with(const EnvOverrides& changes) {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) entries.emplace_back(*e);
    for (const auto& [name, value] : changes) {
        const std::string prefix = name + "=";
        std::erase_if(entries, [&](const std::string& entry) { return entry.starts_with(prefix); });
        if (value) entries.push_back(prefix + *value);
    }
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    for (const auto& arg : argv) result.command += (result.command.empty() ? "" : " ") + arg;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!options.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
    auto args = argv;
    auto arg_pointers = pointers(args);
    auto env = environment_with(options.env);
    auto env_pointers = pointers(env);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, arg_pointers.data(), env_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        result.err = "cannot run " + args[0] + ": " + std::strerror(rc);
        return result;
    }
    // The input is written as the output is read, so that neither side
    // waits for the other.
    std::string_view input = options.input;
    int in_fd = in[1];
    if (input.empty()) {
        ::close(in_fd);
        in_fd = -1;
    } else {
        ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline = Clock::now() + options.timeout;
    bool out_open = true, err_open = true, killed = false;
    signal(SIGPIPE, SIG_IGN);
    while (out_open || err_open) {
        pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                (i == 0 ? out_open : err_open) = false;
            }
        }
        if (in_fd >= 0 && fds[2].revents != 0) {
            const ssize_t n = ::write(in_fd, input.data(), input.size());
            if (n > 0) input.remove_prefix(static_cast<std::size_t>(n));
            if (input.empty() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) ::close(in_fd);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (killed) {
        result.status = -1;
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    return result;
}

TempDir::TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qor-client-XXXXXX";
    if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string read_whole_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream all;
    all << file.rdbuf();
    return all.str();
}

void write_whole_file(const std::string& path, std::string_view content) {
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace qor_webview::e2e
