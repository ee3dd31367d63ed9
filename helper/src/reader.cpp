#include "reader.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qor_webview_helper {

bool valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        // Runs of ASCII go eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p >= end) break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            if (end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
            if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
            if (c == 0xED && p[1] > 0x9F) return false;  // surrogate
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (end - p < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80)
                return false;
            if (c == 0xF0 && p[1] < 0x90) return false;  // overlong
            if (c == 0xF4 && p[1] > 0x8F) return false;  // above U+10FFFF
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

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
            if (!valid_utf8(line) || !sender.push(std::move(line))) {
                stop = true;
                break;
            }
            line = std::string();
        }
        if (stop) return;
        if (eof && !line.empty()) {
            // A last line without a line feed is delivered whole.
            if (valid_utf8(line)) sender.push(std::move(line));
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
