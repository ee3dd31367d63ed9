// An HTTP server on 127.0.0.1 that answers every request 404 and counts
// the connections and the requests it saw, so that a test can tell whether
// an entry reached the network. It stops with its destruction, or by
// itself after `lifetime`.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qor_webview::e2e {

class LoopbackServer {
public:
    explicit LoopbackServer(std::chrono::seconds lifetime = std::chrono::seconds(240));
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool running() const { return thread_.joinable(); }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Connections accepted, whether a request came on them or not.
    int connections() const { return connections_.load(); }
    // The paths asked for, in the order the requests came.
    std::vector<std::string> paths() const;
    // Waits up to `limit` until every one of `paths` has been asked for.
    bool wait_for(const std::vector<std::string>& paths, std::chrono::milliseconds limit) const;

private:
    void serve(std::chrono::steady_clock::time_point until);
    void answer(int conn);

    int listen_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
    std::thread thread_;
};

}  // namespace qor_webview::e2e
