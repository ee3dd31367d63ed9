#include "text.hpp"

#include <fstream>
#include <sstream>

namespace qor_webview::e2e {

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        lines.emplace_back(text.substr(0, nl));
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

namespace detail {

std::string tail(std::string_view text, std::size_t n) {
    return std::string(text.size() > n ? text.substr(text.size() - n) : text);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace detail
}  // namespace qor_webview::e2e
