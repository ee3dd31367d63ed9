// A web server on the loopback interface, so that a page has somewhere real
// to go or something real to fetch, and a test can tell what it asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qor_webview::e2e {

// Answers every request, whatever its path, with one body; made with no
// body it answers 404, for tests that only count what a page fetched.
// `silent()` accepts and reads requests but never answers them.
class LocalServer {
public:
    LocalServer();
    explicit LocalServer(std::string body, std::string content_type = "text/html; charset=utf-8");
    static std::unique_ptr<LocalServer> silent();
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    bool running() const { return thread_.joinable(); }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // Connections accepted, whether a request came on them or not.
    int connections() const { return connections_; }
    int requests() const { return requests_; }
    // The paths asked for, in the order the requests came.
    std::vector<std::string> paths() const;
    // Waits up to `limit` until every one of `paths` has been asked for.
    bool wait_for(const std::vector<std::string>& paths, std::chrono::milliseconds limit) const;

private:
    enum class Reply { NotFound, Body, None };
    explicit LocalServer(Reply reply);
    void start();
    void serve();
    // Reads the request head (for at most two seconds) and answers it;
    // false when the connection is to be held open unanswered.
    bool answer(int conn);

    Reply reply_ = Reply::NotFound;
    std::string body_;
    std::string content_type_;
    std::vector<int> held_;  // silent: connections left unanswered
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
    std::thread thread_;
};

}  // namespace qor_webview::e2e
