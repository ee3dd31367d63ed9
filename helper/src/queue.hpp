// The request queue: unbounded, one producer (the reader thread), one consumer
// (serve on the main thread), no lock. Lines are moved through, never copied.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace qor_webview_helper {

// How the receiving side wants to be woken; counted, so that a wake-up taken
// out of the queue by the producer stays valid while it is fired.
class Waker {
public:
    virtual void fire() = 0;
    virtual void retain() = 0;
    virtual void release() = 0;

protected:
    ~Waker() = default;
};

namespace detail {

struct QueueNode {
    std::string line;
    std::atomic<QueueNode*> next{nullptr};
};

struct QueueState {
    static constexpr std::uint64_t kOpen = std::uint64_t{1} << 63;

    QueueState();
    ~QueueState();
    void fire_wake();
    void close();
    void release_end();

    std::atomic<std::uint64_t> open_and_count{kOpen};
    std::atomic<int> senders{1};
    std::atomic<int> ends{2};
    std::atomic<Waker*> waker{nullptr};  // the receiver's, while it waits
    QueueNode* head;  // consumer side: the node before the first queued line
    QueueNode* tail;  // producer side: the last node
};

}  // namespace detail

class QueueSender {
public:
    explicit QueueSender(detail::QueueState* state) : state_(state) {}
    QueueSender(QueueSender&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    QueueSender& operator=(QueueSender&&) = delete;
    ~QueueSender();

    // False when the receiving end is gone; the line is then discarded.
    bool push(std::string&& line);

private:
    detail::QueueState* state_;
};

class QueueReceiver {
public:
    enum class Status { Line, Empty, End };

    explicit QueueReceiver(detail::QueueState* state) : state_(state) {}
    QueueReceiver(QueueReceiver&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    QueueReceiver& operator=(QueueReceiver&&) = delete;
    ~QueueReceiver();

    // Takes the next line. On Empty, `waker` has been registered and fires on
    // the next push or on the close.
    Status take(std::string& line, Waker* waker);

private:
    Status look(std::string& line);
    detail::QueueState* state_;
};

std::pair<QueueSender, QueueReceiver> make_queue();

}  // namespace qor_webview_helper
