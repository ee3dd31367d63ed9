// Reading processes from /proc for the benchmarks: a process tree and each
// process's resident and proportional set sizes.
#pragma once

#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace qor_bench {

namespace fs = std::filesystem;

struct ProcSample {
    pid_t pid = 0;
    std::string name;
    long rss_kb = 0;
    long pss_kb = 0;
    long hwm_kb = 0;
};

inline std::string read_small_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline long parse_long(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    long v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

// "Name:   1234 kB" lines of /proc files.
inline long kb_field(const std::string& text, std::string_view field) {
    std::size_t at = text.find(field);
    if (at == std::string::npos) return 0;
    return parse_long(std::string_view(text).substr(at + field.size()));
}

// `root` and all its descendants, from the parent ids in /proc/*/stat.
inline std::vector<pid_t> process_tree(pid_t root) {
    std::multimap<pid_t, pid_t> children;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        pid_t pid = 0;
        auto r = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (r.ec != std::errc() || r.ptr != name.data() + name.size()) continue;
        std::string stat = read_small_file("/proc/" + name + "/stat");
        std::size_t close = stat.rfind(')');  // the command may hold spaces and parentheses
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        pid_t parent = pid_t(parse_long(std::string_view(stat).substr(close + 4)));
        children.emplace(parent, pid);
    }
    std::vector<pid_t> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        auto [from, to] = children.equal_range(tree[i]);
        for (auto it = from; it != to; ++it) tree.push_back(it->second);
    }
    return tree;
}

inline long rss_kb(pid_t pid) {
    std::string statm = read_small_file("/proc/" + std::to_string(pid) + "/statm");
    std::size_t space = statm.find(' ');
    if (space == std::string::npos) return 0;
    return parse_long(std::string_view(statm).substr(space + 1)) * (sysconf(_SC_PAGESIZE) / 1024);
}

inline ProcSample sample_process(pid_t pid) {
    ProcSample s;
    s.pid = pid;
    std::string base = "/proc/" + std::to_string(pid);
    s.name = read_small_file(base + "/comm");
    while (!s.name.empty() && s.name.back() == '\n') s.name.pop_back();
    std::string status = read_small_file(base + "/status");
    s.rss_kb = kb_field(status, "VmRSS:");
    s.hwm_kb = kb_field(status, "VmHWM:");
    s.pss_kb = kb_field(read_small_file(base + "/smaps_rollup"), "\nPss:");
    return s;
}

}  // namespace qor_bench
