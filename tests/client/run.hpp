// Runs a program to its end with a time limit, its output collected: for
// the command-line renderer and the build of a parent program.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "fixture.hpp"

namespace qor_webview::e2e {

struct RunResult {
    int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
    std::string command;  // for messages
};

struct RunOptions {
    EnvOverrides env;        // applied to this process's environment
    std::string directory;   // where it runs; empty: here
    std::string input;       // its standard input
    Duration timeout = std::chrono::seconds(120);
};

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

std::string read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, std::string_view content);

}  // namespace qor_webview::e2e
