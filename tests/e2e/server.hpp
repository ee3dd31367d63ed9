// A web server on the loopback interface, so that a page has somewhere real
// to go or something real to fetch.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qor_webview::e2e {

// Answers every request, whatever its path, with one body. `silent()`
// accepts and reads requests but never answers them.
class LocalServer {
public:
    explicit LocalServer(std::string body, std::string content_type = "text/html; charset=utf-8");
    static std::unique_ptr<LocalServer> silent();
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    bool running() const { return thread_.joinable(); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int requests() const { return requests_; }

private:
    LocalServer() = default;
    void start();
    void serve();
    // Reads the request head (for at most two seconds) and answers it;
    // false when the connection is to be held open unanswered.
    bool answer(int conn);

    std::string body_;
    std::string content_type_;
    bool silent_ = false;
    std::vector<int> held_;  // silent: connections left unanswered
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace qor_webview::e2e
