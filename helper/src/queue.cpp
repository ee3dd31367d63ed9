#include "queue.hpp"

namespace qor_webview_helper {

namespace detail {

QueueState::QueueState() : head(new QueueNode), tail(head) {}

QueueState::~QueueState() {
    while (head) delete std::exchange(head, head->next.load(std::memory_order_relaxed));
    if (Waker* w = waker.exchange(nullptr)) w->release();
}

void QueueState::fire_wake() {
    if (Waker* w = waker.exchange(nullptr, std::memory_order_acq_rel)) {
        w->fire();
        w->release();
    }
}

void QueueState::close() {
    open_and_count.fetch_and(~kOpen, std::memory_order_acq_rel);
}

void QueueState::release_end() {
    if (ends.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace detail

QueueSender::~QueueSender() {
    if (!state_) return;
    if (state_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        state_->close();
        state_->fire_wake();
    }
    state_->release_end();
}

bool QueueSender::push(std::string&& line) {
    auto& word = state_->open_and_count;
    std::uint64_t seen = word.load(std::memory_order_acquire);
    do {
        if (!(seen & detail::QueueState::kOpen)) return false;
    } while (!word.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel));
    auto* node = new detail::QueueNode;
    node->line = std::move(line);
    state_->tail->next.store(node, std::memory_order_release);
    state_->tail = node;
    state_->fire_wake();
    return true;
}

QueueReceiver::~QueueReceiver() {
    if (!state_) return;
    state_->close();
    if (Waker* w = state_->waker.exchange(nullptr)) w->release();
    state_->release_end();
}

QueueReceiver::Status QueueReceiver::look(std::string& line) {
    detail::QueueNode* next = state_->head->next.load(std::memory_order_acquire);
    if (next) {
        line = std::move(next->line);
        delete std::exchange(state_->head, next);
        state_->open_and_count.fetch_sub(1, std::memory_order_acq_rel);
        return Status::Line;
    }
    // The close is published after the last push, so an empty list seen after
    // a closed word really is the end.
    if (!(state_->open_and_count.load(std::memory_order_acquire) & detail::QueueState::kOpen)) {
        if (!state_->head->next.load(std::memory_order_acquire)) return Status::End;
        return look(line);
    }
    return Status::Empty;
}

QueueReceiver::Status QueueReceiver::take(std::string& line, Waker* waker) {
    Status s = look(line);
    if (s != Status::Empty || !waker) return s;
    waker->retain();
    if (Waker* old = state_->waker.exchange(waker, std::memory_order_acq_rel)) old->release();
    // Look again, so that a line pushed before the registration is not missed.
    return look(line);
}

std::pair<QueueSender, QueueReceiver> make_queue() {
    auto* state = new detail::QueueState;
    return {QueueSender(state), QueueReceiver(state)};
}

}  // namespace qor_webview_helper
