// Small text helpers for the tests' messages and for reading /proc.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qor_webview::e2e {

// The lines of a text, without their line feeds.
std::vector<std::string> split_lines(std::string_view text);

namespace detail {

// The last `n` bytes of a text: enough of a helper's output for a message.
std::string tail(std::string_view text, std::size_t n = 4000);

// A whole file, empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

}  // namespace detail
}  // namespace qor_webview::e2e
