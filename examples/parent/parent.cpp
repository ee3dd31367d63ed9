// Renders one log entry with the helper and saves its first band.
#include <cstdio>
#include <fstream>

#include <qor_webview/client.hpp>

int main() {
    auto client = qor_webview::Client::start();
    if (!client) return std::fprintf(stderr, "%s\n", client.error().text().c_str()), 1;
    auto log = client->render_log(R"(<p>Build <a href="https://ci.example/1">#1</a> passed</p>)", 600, 2);
    if (!log) return std::fprintf(stderr, "%s\n", log.error().text().c_str()), 1;
    const auto& png = log->bands.at(0).png;
    std::ofstream("entry.png", std::ios::binary).write(reinterpret_cast<const char*>(png.data()), png.size());
    auto links = qor_webview::parse_links(log->links);
    std::printf("entry.png: height %d, bands %zu, links %zu\n", static_cast<int>(log->height), log->bands.size(),
                links ? links->size() : 0);
}
