// Child processes: starting them with chosen descriptors and environment,
// waiting for them and stopping them; and looking at any process through
// /proc.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "clock.hpp"

namespace qor_webview::e2e {

// Settings for a child's environment, applied in order; nullopt unsets.
using EnvOverrides = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The process ids of every live descendant of `pid` (children, their
// children, ...), read from /proc.
std::vector<pid_t> descendants(pid_t pid);

// The descriptors of a process that refer to the same pipe or file as our
// descriptor `ours`, read from /proc/<pid>/fd; empty if the process is gone.
std::vector<int> descriptors_on(pid_t pid, int ours);

// The "flags:" value of /proc/<pid>/fdinfo/<fd>, nullopt if unreadable.
std::optional<int> descriptor_flags(pid_t pid, int fd);

namespace detail {

// Searches PATH the way the shell would; empty if not found.
std::string find_program(std::string_view name);

// The environment of a child: ours, less what would point it at a display
// or a log filter by accident, then the overrides in order.
std::vector<std::string> child_environment(const EnvOverrides& overrides);

// The null-terminated pointer array of argv or envp; `strings` must outlive it.
std::vector<char*> pointers(std::vector<std::string>& strings);

// In a forked child, before exec: only async-signal-safe calls.
void child_prepare(pid_t parent);
// Puts `from` on descriptor `to` without close-on-exec.
void child_move_fd(int from, int to);
// Closes every descriptor from `first` up.
void child_close_from(unsigned first);

void set_nonblocking(int fd);
// Closes `fd` if open and marks it closed (-1).
void close_fd(int& fd);

// Waits for `pid` to end, up to `timeout`; true once it has been reaped.
bool reap_within(pid_t pid, Duration timeout);

// Waits up to `timeout` for `pid` to exit without reaping it; its exit
// status (128 plus the signal for a killed one), or nullopt.
std::optional<int> exited_within(pid_t pid, Duration timeout);

// SIGTERM, then SIGKILL if it has not ended within five seconds; reaped.
void stop_process(pid_t pid);

}  // namespace detail
}  // namespace qor_webview::e2e
