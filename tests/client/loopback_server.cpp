#include "loopback_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace qor_webview::e2e {

using Clock = std::chrono::steady_clock;

LoopbackServer::LoopbackServer(std::chrono::seconds lifetime) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 64) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
        ::close(listen_);
        listen_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, until = Clock::now() + lifetime] { serve(until); });
}

LoopbackServer::~LoopbackServer() {
    if (thread_.joinable()) {
        ::close(stop_[1]);
        thread_.join();
        ::close(stop_[0]);
    }
    if (listen_ >= 0) ::close(listen_);
}

std::vector<std::string> LoopbackServer::paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
}

bool LoopbackServer::wait_for(const std::vector<std::string>& wanted, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto seen = paths();
        if (std::all_of(wanted.begin(), wanted.end(), [&seen](const std::string& path) {
                return std::find(seen.begin(), seen.end(), path) != seen.end();
            }))
            return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void LoopbackServer::serve(Clock::time_point until) {
    while (Clock::now() < until) {
        pollfd p[2] = {{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        if (::poll(p, 2, 200) < 0 && errno != EINTR) return;
        if (p[0].revents != 0) return;
        if ((p[1].revents & POLLIN) == 0) continue;
        const int conn = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        ++connections_;
        answer(conn);
        ::close(conn);
    }
}

// Reads one request head for at most a second and answers it 404; the
// connection closes after it.
void LoopbackServer::answer(int conn) {
    std::string data;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < deadline) {
        const auto end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            const auto line = data.substr(0, data.find("\r\n"));
            const auto from = line.find(' '), to = line.rfind(' ');
            {
                std::lock_guard lock(mutex_);
                paths_.push_back(from != to ? line.substr(from + 1, to - from - 1) : line);
            }
            constexpr std::string_view reply =
                "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            (void)!::write(conn, reply.data(), reply.size());
            return;
        }
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(conn, buf, sizeof buf);
        if (n <= 0) return;
        data.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace qor_webview::e2e
