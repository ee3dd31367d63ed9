#include "reader.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qor_webview/internal/utf8.hpp"

namespace qor_webview_helper {

void read_requests(QueueSender sender, int fd) {
    std::vector<char> buffer(64 * 1024);
    std::string line;
    bool eof = false;
    while (!eof) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // a failed read ends the stream
        }
        if (n == 0) {
            eof = true;
            if (line.empty()) break;
        }
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
        bool stop = false;
        while (true) {
            auto nl = chunk.find('\n');
            if (nl == std::string_view::npos) {
                line.append(chunk);
                break;
            }
            line.append(chunk.substr(0, nl));
            chunk.remove_prefix(nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // Validated whole, so a character cut by a read boundary is fine.
            if (!qor_webview::utf8::valid(line) || !sender.push(std::move(line))) {
                stop = true;
                break;
            }
            line = std::string();
        }
        if (stop) return;
        if (eof && !line.empty()) {
            // A last line without a line feed is delivered whole.
            if (qor_webview::utf8::valid(line)) sender.push(std::move(line));
            return;
        }
    }
}

namespace {
void* reader_main(void* arg) {
    std::unique_ptr<QueueSender> sender(static_cast<QueueSender*>(arg));
    read_requests(std::move(*sender));
    return nullptr;
}
}  // namespace

bool start_reader(QueueSender sender) {
    auto* owned = new QueueSender(std::move(sender));
    pthread_t thread;
    if (pthread_create(&thread, nullptr, reader_main, owned) != 0) {
        delete owned;
        return false;
    }
    pthread_setname_np(thread, "requests");
    pthread_detach(thread);
    return true;
}

}  // namespace qor_webview_helper
