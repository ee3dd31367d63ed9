#include "server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>

namespace qor_webview::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

LocalServer::LocalServer() : LocalServer(Reply::NotFound) {}

LocalServer::LocalServer(Reply reply) : reply_(reply) { start(); }

LocalServer::LocalServer(std::string body, std::string content_type)
    : reply_(Reply::Body), body_(std::move(body)), content_type_(std::move(content_type)) {
    start();
}

std::unique_ptr<LocalServer> LocalServer::silent() {
    return std::unique_ptr<LocalServer>(new LocalServer(Reply::None));
}

LocalServer::~LocalServer() {
    if (thread_.joinable()) {
        ::close(stop_[1]);
        thread_.join();
        ::close(stop_[0]);
    }
    for (const int conn : held_) ::close(conn);
    if (listen_ >= 0) ::close(listen_);
}

std::vector<std::string> LocalServer::paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
}

bool LocalServer::wait_for(const std::vector<std::string>& wanted, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto seen = paths();
        if (std::all_of(wanted.begin(), wanted.end(), [&seen](const std::string& path) {
                return std::find(seen.begin(), seen.end(), path) != seen.end();
            }))
            return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

void LocalServer::start() {
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
    thread_ = std::thread([this] { serve(); });
}

void LocalServer::serve() {
    for (;;) {
        pollfd p[2] = {{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[0].revents != 0) return;
        if ((p[1].revents & POLLIN) == 0) continue;
        const int conn = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        ++connections_;
        if (answer(conn)) {
            ::close(conn);
        } else {
            held_.push_back(conn);
        }
    }
}

bool LocalServer::answer(int conn) {
    std::string head;
    const auto deadline = Clock::now() + 2s;
    while (head.find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(conn, buf, sizeof buf);
        if (n <= 0) return true;
        head.append(buf, static_cast<std::size_t>(n));
    }
    ++requests_;
    if (const auto end = head.find("\r\n"); end != std::string::npos) {
        const std::string line = head.substr(0, end);
        const auto from = line.find(' '), to = line.rfind(' ');
        std::lock_guard lock(mutex_);
        paths_.push_back(from != to ? line.substr(from + 1, to - from - 1) : line);
    }
    if (reply_ == Reply::None) return false;
    const std::string reply = reply_ == Reply::NotFound
                                  ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                                  : "HTTP/1.1 200 OK\r\nContent-Type: " + content_type_ +
                                        "\r\nContent-Length: " + std::to_string(body_.size()) +
                                        "\r\nConnection: close\r\n\r\n" + body_;
    std::string_view rest = reply;
    while (!rest.empty()) {
        const ssize_t n = ::write(conn, rest.data(), rest.size());
        if (n <= 0) return true;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace qor_webview::e2e
