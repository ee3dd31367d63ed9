#include "server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

namespace qor_webview::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

LocalServer::LocalServer(std::string body, std::string content_type)
    : body_(std::move(body)), content_type_(std::move(content_type)) {
    start();
}

std::unique_ptr<LocalServer> LocalServer::silent() {
    auto server = std::unique_ptr<LocalServer>(new LocalServer());
    server->silent_ = true;
    server->start();
    return server;
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

void LocalServer::start() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 16) != 0 ||
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
    if (silent_) return false;
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: " + content_type_ +
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
