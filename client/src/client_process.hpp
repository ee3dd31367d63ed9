// The operating-system side of the client: finding the helper, starting it
// with pipes on its standard streams, writing without SIGPIPE, and waiting
// for a child without reaping anybody else's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor_webview/internal/fd.hpp"

namespace qor_webview::detail {

// A started helper: its process and our ends of its three pipes, each with
// close-on-exec, the input and the two outputs non-blocking.
struct Child {
    pid_t pid = -1;
    Fd input;    // its standard input
    Fd answers;  // its standard output
    Fd errors;   // its standard error
};

// The child's environment: ours, with `changes` applied in order (a value
// sets the variable, nullopt removes it). Entries are "NAME=value".
std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes);

// Starts `program` without arguments but its name. Returns the child, or the
// error number that kept it from being executed.
std::pair<std::optional<Child>, int> spawn(const std::string& program, const std::vector<std::string>& environment);

// A descriptor that becomes readable when the process ends, or an empty
// one where the kernel offers none.
Fd open_pidfd(pid_t pid) noexcept;

// Sends SIGKILL, through the pidfd when there is one (so that a process id
// reused after an unexpected reap is never hit).
void kill_child(pid_t pid, const Fd& pidfd) noexcept;

// Reaps `pid` if it has ended; returns its wait status then. A child reaped
// behind our back (SIGCHLD ignored, a handler waiting for any child) counts
// as ended with status -1.
std::optional<int> try_reap(pid_t pid) noexcept;

// Writes all of `data` to the non-blocking `fd` by `deadline`. Returns 0, the
// error number (EPIPE once the reader is gone, never the signal), or
// ETIMEDOUT.
int write_all(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline) noexcept;

// The path of the file that holds this library's code (a shared library,
// or the program it is linked into); empty if unknown.
std::string own_module_path();

// The folder of a path ("." for a bare name).
std::string parent_folder(std::string_view path);

bool is_executable_file(const std::string& path) noexcept;

}  // namespace qor_webview::detail
