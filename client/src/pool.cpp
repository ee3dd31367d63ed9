// The pool: calls wait in priority order until a helper has room, one
// scheduler thread writes them to the helpers and takes their answers, and
// completions wait in a queue whose descriptor the application polls.
//
// Locks: `Core::mutex` guards the waiting calls, the completions and each
// call's phase. The scheduler never holds it while it writes to a helper,
// decodes an answer or starts or stops one, so that the application's
// calls never wait on a helper. The clients' reader threads wake the
// scheduler through `Core::wake_mutex` alone, which nobody holds while
// taking another lock.

#include "qor_webview/pool.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "client_access.hpp"
#include "offline.hpp"
#include "qor_webview/internal/fd.hpp"
#include "replies.hpp"
#include "wire_types.hpp"

namespace qor_webview {

using Clock = std::chrono::steady_clock;

namespace {

enum class Phase : std::uint8_t {
    Waiting,    // in the pool, not yet written
    Written,    // written to a helper, answer not yet read
    Completed,  // result waiting for dispatch()
    Running,    // its callback runs
    Done,
    Cancelled,
};

// How long a helper that failed to start waits before another try.
constexpr auto start_retry = std::chrono::seconds(1);

// The entry a helper renders at each scale to warm up when the application
// gives none; the page of a kind and scale serves every width. Text in the
// usual faces and weights, a rounded box with a shadow, a link, an emoji
// and a symbol, some of it tagged English: fonts are chosen per language,
// and the first choice for each costs a real entry about as much as its
// own drawing.
constexpr float warm_width = 600;
constexpr std::string_view built_in_warm_entry =
    "<div style=\"font:13px system-ui,sans-serif;border-radius:4px;box-shadow:0 1px 3px #0004\">"
    "a <b>b</b> <i>c</i> <code>d</code> <a href=\"#\">e</a> \xF0\x9F\x99\x82 <span lang=en>f "
    "<b style=\"font-weight:600\">\xE2\x9C\x93</b> <span style=\"font-variant-numeric:tabular-nums\">1</span>"
    "</span></div>";

std::string millis_text(Milliseconds d) { return std::to_string(d.count()) + " ms"; }

}  // namespace

// A call: its request, its place in the order, and its result once known.
struct CallHandle::State {
    State(protocol::Request r, CallOptions o) : request(std::move(r)), options(o), priority(o.priority) {}
    virtual ~State() = default;

    // The answer line (or why there is none) becomes the call's result.
    // On the scheduler, without the pool's lock.
    virtual void finish(Expected<std::string, Error> line) = 0;
    virtual void fail(Error error) = 0;
    // Hands the result to the callback.
    virtual void run() = 0;

    bool evaluates() const { return std::holds_alternative<protocol::Evaluate>(request); }

    protocol::Request request;  // made sendable once, when the call is made
    const CallOptions options;
    int priority = 0;  // under Core::mutex: it may change while the call waits
    std::uint64_t order = 0;
    bool direct = false;   // a blocking call: completes on the scheduler, not through dispatch()
    bool retried = false;  // given to a second helper after the first died
    bool warm_up = false;  // the pool's own, no callback
    Phase phase = Phase::Waiting;  // under Core::mutex
    std::weak_ptr<Pool::Impl> pool;
};

namespace {

// The public value of each request's answer.
LogPicture public_value(LogPicture picture) { return picture; }
std::vector<std::uint8_t> public_value(ImagePicture picture) { return std::move(picture.png); }
std::string public_value(ScriptText text) { return std::move(text.text); }

template <class R, class T>
struct Call final : CallHandle::State {
    Call(R r, CallOptions o, Completion<T> d) : State(protocol::Request(std::move(r)), o), done(std::move(d)) {}

    void finish(Expected<std::string, Error> line) override {
        if (!line) return fail(std::move(line).error());
        auto answer = detail::decode_reply<R>(*line);
        if (!answer) return fail(std::move(answer).error());
        result.emplace(public_value(std::move(*answer)));
    }
    void fail(Error error) override { result.emplace(unexpected(std::move(error))); }
    void run() override {
        if (done) done(std::move(*result));
        done = nullptr;  // what it captured goes now, on the thread that ran it
    }

    Completion<T> done;
    std::optional<Expected<T, Error>> result;
};

// Waiting calls, best first: higher priority, then earlier. Transparent,
// so that a call is found from the handle's reference to it.
struct Earlier {
    using is_transparent = void;
    using Call = CallHandle::State;
    static bool before(const Call& a, const Call& b) {
        if (a.priority != b.priority) return a.priority > b.priority;
        return a.order < b.order;
    }
    bool operator()(const std::shared_ptr<Call>& a, const std::shared_ptr<Call>& b) const { return before(*a, *b); }
    bool operator()(const Call& a, const std::shared_ptr<Call>& b) const { return before(a, *b); }
    bool operator()(const std::shared_ptr<Call>& a, const Call& b) const { return before(*a, b); }
};
using Waiting = std::set<std::shared_ptr<CallHandle::State>, Earlier>;

// A request written to a helper.
struct Flight {
    std::shared_ptr<CallHandle::State> call;
    Clock::time_point deadline;
    bool expired = false;  // failed for its time; the answer is dropped
};

// One place for a helper. Only the scheduler touches it.
struct Slot {
    enum class State : std::uint8_t { Off, Starting, Warming, Ready, Stopping };
    State state = State::Off;
    std::unique_ptr<Client> client;
    std::deque<Flight> flights;  // in the order written
    Clock::time_point idle_since{};
    // Starting or stopping happens on a thread of its own.
    std::thread worker;
    std::atomic<bool> worker_done{false};
    std::optional<Expected<Client, Error>> started;
    // After a failed start, no new one before this.
    Clock::time_point retry_at{};

    bool up() const { return state == State::Warming || state == State::Ready; }
};

}  // namespace

struct Pool::Impl : std::enable_shared_from_this<Pool::Impl> {
    Impl(PoolOptions o, std::string helper) : options(std::move(o)), allow_network(options.client.allow_network) {
        options.client.helper = std::move(helper);
        // Each call carries its own network choice in its HTML; the
        // helpers' clients send it as it is.
        options.client.allow_network = true;
        if (options.max_helpers == 0)
            options.max_helpers = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
        options.min_helpers = std::min(options.min_helpers, options.max_helpers);
        options.in_flight = std::max<std::size_t>(options.in_flight, 1);
        if (options.warm_entry.empty()) options.warm_entry = built_in_warm_entry;
        else if (!allow_network) options.warm_entry = detail::without_network(options.warm_entry);
        slots = std::vector<Slot>(options.max_helpers);
        completions_fd = detail::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    }

    PoolOptions options;
    const bool allow_network;  // the calls' default

    // ------------------------------------------------ shared with callers
    std::mutex mutex;
    Waiting renders;
    Waiting evaluations;
    std::uint64_t next_order = 0;
    std::deque<std::shared_ptr<CallHandle::State>> completed;
    detail::Fd completions_fd;
    std::vector<float> added_warm_scales;
    PoolStatus snapshot;
    bool stopping = false;

    std::mutex wake_mutex;
    std::condition_variable wake_changed;
    bool woken = false;

    // ------------------------------------------------- the scheduler's own
    std::vector<Slot> slots;
    std::thread scheduler;

    void wake() {
        {
            std::lock_guard lock(wake_mutex);
            woken = true;
        }
        wake_changed.notify_one();
    }

    void add(std::shared_ptr<CallHandle::State> call) {
        call->pool = weak_from_this();
        if (auto why = detail::unsendable(call->request)) {
            call->fail(detail::call_error(detail::call_name(call->request), std::move(*why)));
            complete(call);
            return;
        }
        {
            std::lock_guard lock(mutex);
            call->order = next_order++;
            (call->evaluates() ? evaluations : renders).insert(call);
        }
        wake();
    }

    // A call whose result is set: to its waiter, or to the queue.
    void complete(const std::shared_ptr<CallHandle::State>& call) {
        if (call->warm_up) return;
        if (call->direct) {
            {
                std::lock_guard lock(mutex);
                if (call->phase == Phase::Cancelled) return;
                call->phase = Phase::Running;
            }
            call->run();
            std::lock_guard lock(mutex);
            call->phase = Phase::Done;
            return;
        }
        std::lock_guard lock(mutex);
        if (call->phase == Phase::Cancelled) return;
        call->phase = Phase::Completed;
        if (completed.empty()) {
            const std::uint64_t one = 1;
            (void)!::write(completions_fd.get(), &one, sizeof one);
        }
        completed.push_back(call);
    }

    std::size_t dispatch(std::size_t most) {
        std::deque<std::shared_ptr<CallHandle::State>> batch;
        {
            std::lock_guard lock(mutex);
            if (most >= completed.size()) {
                batch.swap(completed);
            } else {
                batch.assign(completed.begin(), completed.begin() + static_cast<std::ptrdiff_t>(most));
                completed.erase(completed.begin(), completed.begin() + static_cast<std::ptrdiff_t>(most));
            }
            // The descriptor stays readable while completions are left.
            if (completed.empty()) {
                std::uint64_t count = 0;
                (void)!::read(completions_fd.get(), &count, sizeof count);
            }
        }
        std::size_t ran = 0;
        while (!batch.empty()) {
            auto call = std::move(batch.front());
            batch.pop_front();
            {
                std::lock_guard lock(mutex);
                if (call->phase != Phase::Completed) continue;
                call->phase = Phase::Running;
            }
            try {
                call->run();
            } catch (...) {
                // A callback that throws loses none of the others: they
                // wait for the next dispatch().
                std::lock_guard lock(mutex);
                call->phase = Phase::Done;
                if (!batch.empty() && completed.empty()) {
                    const std::uint64_t one = 1;
                    (void)!::write(completions_fd.get(), &one, sizeof one);
                }
                completed.insert(completed.begin(), batch.begin(), batch.end());
                throw;
            }
            ++ran;
            std::lock_guard lock(mutex);
            call->phase = Phase::Done;
        }
        return ran;
    }

    bool set_priority(CallHandle::State& call, int priority) {
        std::lock_guard lock(mutex);
        if (call.phase != Phase::Waiting) return false;
        auto& queue = call.evaluates() ? evaluations : renders;
        const auto it = queue.find(call);
        if (it == queue.end()) return false;
        auto node = queue.extract(it);
        call.priority = priority;
        queue.insert(std::move(node));
        return true;
    }

    void warm_up(float scale) {
        {
            std::lock_guard lock(mutex);
            added_warm_scales.push_back(scale);
        }
        wake();
    }

    // Scales asked for since the pool started: the helpers running now
    // render their entry at once, the later ones when they start.
    void take_warm_scales() {
        std::vector<float> added;
        {
            std::lock_guard lock(mutex);
            added.swap(added_warm_scales);
        }
        for (float scale : added) {
            if (std::find(options.warm_scales.begin(), options.warm_scales.end(), scale) != options.warm_scales.end())
                continue;
            options.warm_scales.push_back(scale);
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (slots[i].up()) write(i, warm_call(scale));
            }
        }
    }

    std::shared_ptr<CallHandle::State> warm_call(float scale) const {
        auto call = std::make_shared<Call<protocol::RenderLog, LogPicture>>(
            protocol::RenderLog{options.warm_entry, warm_width, scale}, CallOptions{}, nullptr);
        call->warm_up = true;
        return call;
    }

    bool cancel(CallHandle::State& call) {
        std::lock_guard lock(mutex);
        switch (call.phase) {
            case Phase::Waiting: {
                auto& queue = call.evaluates() ? evaluations : renders;
                if (const auto it = queue.find(call); it != queue.end()) queue.erase(it);
                [[fallthrough]];
            }
            case Phase::Written:
            case Phase::Completed:
                call.phase = Phase::Cancelled;
                return true;
            case Phase::Cancelled: return true;
            case Phase::Running:
            case Phase::Done: return false;
        }
        return false;
    }

    // ------------------------------------------------------ the scheduler

    void run_scheduler() {
        for (;;) {
            const auto deadline = next_deadline();
            {
                std::unique_lock lock(wake_mutex);
                if (deadline)
                    wake_changed.wait_until(lock, *deadline, [this] { return woken; });
                else
                    wake_changed.wait(lock, [this] { return woken; });
                woken = false;
            }
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
            }
            for (std::size_t i = 0; i < slots.size(); ++i) settle_worker(i);
            take_warm_scales();
            for (std::size_t i = 0; i < slots.size(); ++i) take_answers(i);
            expire_flights();
            for (std::size_t i = 0; i < slots.size(); ++i) feed(i);
            start_what_is_needed();
            stop_idle();
            publish();
        }
        shut_down();
    }

    std::optional<Clock::time_point> next_deadline() {
        std::optional<Clock::time_point> next;
        const auto consider = [&next](Clock::time_point t) {
            if (!next || t < *next) next = t;
        };
        const auto now = Clock::now();
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const auto& slot = slots[i];
            for (const auto& flight : slot.flights) {
                if (!flight.expired) consider(flight.deadline);
            }
            if (stoppable(i)) consider(slot.idle_since + options.idle_stop);
            if (slot.state == Slot::State::Off && slot.retry_at > now) consider(slot.retry_at);
        }
        return next;
    }

    std::size_t running() const {
        return static_cast<std::size_t>(std::count_if(slots.begin(), slots.end(), [](const Slot& s) { return s.up(); }));
    }

    // Whether the helper of slot i is to stop once it has been idle long
    // enough: above the fewest, with nothing it could take waiting, and
    // the evaluation helper only as the last one.
    bool stoppable(std::size_t i) {
        const Slot& slot = slots[i];
        if (slot.state != Slot::State::Ready || !slot.flights.empty()) return false;
        const std::size_t up = running();
        if (up <= options.min_helpers || (i == 0 && up > 1)) return false;
        std::lock_guard lock(mutex);
        return renders.empty() && (i != 0 || evaluations.empty());
    }

    // A slot's start or stop has ended: take what it gave.
    void settle_worker(std::size_t i) {
        Slot& slot = slots[i];
        if (!slot.worker.joinable() || !slot.worker_done.load(std::memory_order_acquire)) return;
        slot.worker.join();
        if (slot.state == Slot::State::Stopping) {
            slot.state = Slot::State::Off;
            return;
        }
        auto started = std::move(*slot.started);
        slot.started.reset();
        if (!started) {
            slot.state = Slot::State::Off;
            slot.retry_at = Clock::now() + start_retry;
            // Calls that nothing else can serve fail as the start did: all
            // of them when no other helper runs, else the evaluations.
            const bool others = std::any_of(slots.begin(), slots.end(), [](const Slot& s) {
                return s.up() || s.state == Slot::State::Starting;
            });
            if (!others || i == 0) fail_waiting(started.error(), others);
            return;
        }
        slot.client = std::make_unique<Client>(std::move(*started));
        detail::ClientAccess::set_hook(*slot.client, [this] { wake(); });
        slot.state = Slot::State::Warming;
        for (float scale : options.warm_scales) {
            // A helper found dead by a write is being started again.
            if (slot.state != Slot::State::Warming) return;
            write(i, warm_call(scale));
        }
        if (slot.state == Slot::State::Warming && slot.flights.empty()) ready(slot);
    }

    void ready(Slot& slot) {
        slot.state = Slot::State::Ready;
        slot.idle_since = Clock::now();
    }

    void fail_waiting(const Error& error, bool evaluations_only) {
        std::vector<std::shared_ptr<CallHandle::State>> failed;
        {
            std::lock_guard lock(mutex);
            for (auto* queue : {&evaluations, &renders}) {
                if (evaluations_only && queue == &renders) continue;
                for (const auto& call : *queue) {
                    call->phase = Phase::Written;  // taken: cancel no longer finds it in a queue
                    failed.push_back(call);
                }
                queue->clear();
            }
        }
        for (auto& call : failed) {
            call->fail(error);
            complete(call);
        }
    }

    void take_answers(std::size_t i) {
        Slot& slot = slots[i];
        if (!slot.client || !slot.up()) return;
        // One that died idle is noticed too, so that the fewest keep running.
        if (slot.flights.empty() && !slot.client->running()) return helper_died(i);
        while (!slot.flights.empty()) {
            auto line = detail::ClientAccess::take(*slot.client);
            if (!line) return;
            if (!*line && line->error().is<Error::Stopped>()) return helper_died(i);
            Flight flight = std::move(slot.flights.front());
            slot.flights.pop_front();
            if (!flight.expired && !cancelled(*flight.call)) {
                flight.call->finish(std::move(*line));
                complete(flight.call);
            }
            if (slot.flights.empty()) {
                if (slot.state == Slot::State::Warming)
                    ready(slot);
                else
                    slot.idle_since = Clock::now();
            }
        }
    }

    bool cancelled(const CallHandle::State& call) {
        std::lock_guard lock(mutex);
        return call.phase == Phase::Cancelled;
    }

    // Render requests go to a helper once more; an evaluation's state died
    // with its helper.
    void helper_died(std::size_t i) {
        Slot& slot = slots[i];
        std::vector<std::shared_ptr<CallHandle::State>> lost;
        {
            std::lock_guard lock(mutex);
            for (auto& flight : slot.flights) {
                auto& call = flight.call;
                if (flight.expired || call->warm_up || call->phase == Phase::Cancelled) continue;
                if (!call->evaluates() && !call->retried) {
                    call->retried = true;
                    call->phase = Phase::Waiting;
                    renders.insert(call);
                } else {
                    lost.push_back(call);
                }
            }
        }
        slot.flights.clear();
        for (auto& call : lost) {
            call->fail(Error::Stopped{});
            complete(call);
        }
        // Started again at once when there is work for it or it is one of
        // the fewest; the dead helper's client goes on the same thread.
        bool needed = i < options.min_helpers;
        {
            std::lock_guard lock(mutex);
            needed = needed || !renders.empty() || (i == 0 && !evaluations.empty());
        }
        if (needed)
            start(i);
        else
            stop(i);
    }

    void expire_flights() {
        const auto now = Clock::now();
        for (auto& slot : slots) {
            for (auto& flight : slot.flights) {
                if (flight.expired || flight.deadline > now) continue;
                flight.expired = true;
                if (flight.call->warm_up || cancelled(*flight.call)) continue;
                const auto limit = flight.call->options.timeout.value_or(options.client.call_timeout);
                flight.call->fail(
                    detail::call_error(detail::call_name(flight.call->request), "no answer within " + millis_text(limit)));
                complete(flight.call);
            }
        }
    }

    // Writes the best waiting calls this helper may take while it has room.
    void feed(std::size_t i) {
        Slot& slot = slots[i];
        while (slot.state == Slot::State::Ready && slot.flights.size() < options.in_flight) {
            std::shared_ptr<CallHandle::State> call;
            {
                std::lock_guard lock(mutex);
                Waiting* from = renders.empty() ? nullptr : &renders;
                if (i == 0 && !evaluations.empty() &&
                    (from == nullptr || Earlier{}(*evaluations.begin(), *from->begin())))
                    from = &evaluations;
                if (from == nullptr) return;
                call = *from->begin();
                from->erase(from->begin());
                call->phase = Phase::Written;
            }
            write(i, std::move(call));
        }
    }

    void write(std::size_t i, std::shared_ptr<CallHandle::State> call) {
        Slot& slot = slots[i];
        const auto limit = call->options.timeout.value_or(options.client.call_timeout);
        slot.flights.push_back(Flight{call, Clock::now() + limit});
        auto sent = slot.client->submit(call->request, limit);
        if (sent) return;
        if (sent.error().is<Error::Stopped>()) return helper_died(i);
        // A helper that did not take the line in time is killed by the
        // client: its answers end, and the calls go elsewhere.
        slot.flights.pop_back();
        call->fail(std::move(sent).error());
        complete(call);
    }

    void start_what_is_needed() {
        std::size_t waiting_renders = 0;
        bool waiting_evaluations = false;
        {
            std::lock_guard lock(mutex);
            waiting_renders = renders.size();
            waiting_evaluations = !evaluations.empty();
        }
        const auto now = Clock::now();
        const auto may_start = [&](std::size_t i) {
            return slots[i].state == Slot::State::Off && slots[i].retry_at <= now;
        };
        // The evaluation helper first: it is also the one kept longest.
        if (may_start(0) && (waiting_evaluations || waiting_renders > 0 || options.min_helpers > 0)) start(0);
        std::size_t room = 0, running = 0;
        for (const auto& slot : slots) {
            if (slot.state == Slot::State::Starting) room += options.in_flight;
            if (slot.state == Slot::State::Ready) room += options.in_flight - slot.flights.size();
            if (slot.up() || slot.state == Slot::State::Starting) ++running;
        }
        for (std::size_t i = 1; i < slots.size(); ++i) {
            if (!may_start(i)) continue;
            if (running < options.min_helpers || waiting_renders > room) {
                start(i);
                room += options.in_flight;
                ++running;
            }
        }
    }

    void start(std::size_t i) {
        Slot& slot = slots[i];
        slot.state = Slot::State::Starting;
        slot.worker_done.store(false);
        slot.worker = std::thread([this, &slot, old = std::move(slot.client)]() mutable {
            old.reset();  // a dead helper's client: reaped and joined here
            slot.started.emplace(Client::start(options.client));
            slot.worker_done.store(true, std::memory_order_release);
            wake();
        });
    }

    void stop(std::size_t i) {
        Slot& slot = slots[i];
        slot.state = Slot::State::Stopping;
        slot.worker_done.store(false);
        slot.worker = std::thread([this, &slot, old = std::move(slot.client)]() mutable {
            old.reset();
            slot.worker_done.store(true, std::memory_order_release);
            wake();
        });
    }

    void stop_idle() {
        const auto now = Clock::now();
        for (std::size_t i = slots.size(); i-- > 0;) {
            if (stoppable(i) && now - slots[i].idle_since >= options.idle_stop) stop(i);
        }
    }

    void publish() {
        PoolStatus status;
        for (const auto& slot : slots) {
            if (slot.up() || slot.state == Slot::State::Starting) ++status.helpers;
            status.in_flight += slot.flights.size();
            if (slot.client && slot.up()) status.pids.push_back(slot.client->pid());
        }
        std::lock_guard lock(mutex);
        status.waiting = renders.size() + evaluations.size();
        snapshot = std::move(status);
    }

    template <class R, class T>
    CallHandle call_async(R request, Completion<T> done, CallOptions call_options);
    template <class R, class T>
    Expected<T, Error> call_and_wait(R request, CallOptions call_options);

    void shut_down() {
        for (auto& slot : slots) {
            if (slot.worker.joinable()) slot.worker.join();
        }
        // The helpers stop side by side, each within its stop time.
        std::vector<std::thread> stopping_clients;
        for (auto& slot : slots) {
            if (slot.client) stopping_clients.emplace_back([client = std::move(slot.client)]() mutable { client.reset(); });
        }
        for (auto& t : stopping_clients) t.join();
    }
};

// ------------------------------------------------------------ the handle

bool CallHandle::cancel() const {
    if (!state_) return false;
    auto pool = state_->pool.lock();
    if (!pool) return false;
    return pool->cancel(*state_);
}

bool CallHandle::set_priority(int priority) const {
    if (!state_) return false;
    auto pool = state_->pool.lock();
    return pool && pool->set_priority(*state_, priority);
}

bool CallHandle::pending() const {
    if (!state_) return false;
    auto pool = state_->pool.lock();
    if (!pool) return false;
    std::lock_guard lock(pool->mutex);
    return state_->phase == Phase::Waiting || state_->phase == Phase::Written || state_->phase == Phase::Completed;
}

bool CallHandle::written() const {
    if (!state_) return false;
    auto pool = state_->pool.lock();
    if (!pool) return false;
    std::lock_guard lock(pool->mutex);
    return state_->phase != Phase::Waiting;
}

// -------------------------------------------------------------- the pool

Pool::Pool(std::shared_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Pool::Pool(Pool&& other) noexcept = default;
Pool& Pool::operator=(Pool&& other) noexcept = default;

Pool::~Pool() {
    if (!impl_) return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake();
    if (impl_->scheduler.joinable()) impl_->scheduler.join();
}

Expected<Pool, Error> Pool::start(PoolOptions options) {
    auto path = detail::find_helper(options.client.helper);
    if (!path) return unexpected(std::move(path).error());
    // Helpers start later, on the pool's threads: a path that cannot run
    // is said now, once, rather than by every call.
    if (::access(path->c_str(), X_OK) != 0)
        return unexpected(Error(Error::Start{"cannot run " + *path + ": " + protocol::os_error_text(errno)}));
    // Shared, so that a handle that outlives the pool sees it gone.
    auto core = std::make_shared<Impl>(std::move(options), std::move(*path));
    if (!core->completions_fd)
        return unexpected(
            Error(Error::Start{"cannot make the completions' descriptor: " + protocol::os_error_text(errno)}));
    core->scheduler = std::thread([raw = core.get()] { raw->run_scheduler(); });
    core->wake();
    return Pool(std::move(core));
}

template <class R, class T>
CallHandle Pool::Impl::call_async(R request, Completion<T> done, CallOptions call_options) {
    detail::restrict_network(request, call_options.allow_network.value_or(allow_network));
    auto call = std::make_shared<Call<R, T>>(std::move(request), call_options, std::move(done));
    add(call);
    return CallHandle(std::move(call));
}

template <class R, class T>
Expected<T, Error> Pool::Impl::call_and_wait(R request, CallOptions call_options) {
    detail::restrict_network(request, call_options.allow_network.value_or(allow_network));
    struct Waiter {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<Expected<T, Error>> result;
    };
    auto waiter = std::make_shared<Waiter>();
    auto call = std::make_shared<Call<R, T>>(std::move(request), call_options, [waiter](Expected<T, Error> r) {
        std::lock_guard lock(waiter->mutex);
        waiter->result.emplace(std::move(r));
        waiter->changed.notify_all();
    });
    call->direct = true;
    const auto limit = call_options.timeout.value_or(options.client.call_timeout);
    const auto deadline = Clock::now() + limit;
    add(call);
    std::unique_lock lock(waiter->mutex);
    const auto has_result = [&waiter] { return waiter->result.has_value(); };
    if (!waiter->changed.wait_until(lock, deadline, has_result)) {
        lock.unlock();
        if (cancel(*call))
            return unexpected(detail::call_error(detail::call_name(call->request), "no answer within " + millis_text(limit)));
        lock.lock();
        waiter->changed.wait(lock, has_result);
    }
    return std::move(*waiter->result);
}

CallHandle Pool::render_log_async(std::string html, float width, float scale, Completion<LogPicture> done,
                                  CallOptions options) {
    if (!impl_) return {};
    return impl_->call_async(protocol::RenderLog{std::move(html), width, scale}, std::move(done), options);
}

CallHandle Pool::render_image_async(std::string html, float scale, Completion<std::vector<std::uint8_t>> done,
                                    CallOptions options) {
    if (!impl_) return {};
    return impl_->call_async(protocol::RenderImage{std::move(html), scale}, std::move(done), options);
}

CallHandle Pool::evaluate_async(std::vector<std::string> scripts, std::string result, Completion<std::string> done,
                                CallOptions options) {
    if (!impl_) return {};
    return impl_->call_async(protocol::Evaluate{std::move(scripts), std::move(result)}, std::move(done), options);
}

Expected<LogPicture, Error> Pool::render_log(std::string_view html, float width, float scale, CallOptions options) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    return impl_->call_and_wait<protocol::RenderLog, LogPicture>(protocol::RenderLog{std::string(html), width, scale},
                                                                 options);
}

Expected<std::vector<std::uint8_t>, Error> Pool::render_image(std::string_view html, float scale,
                                                              CallOptions options) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    return impl_->call_and_wait<protocol::RenderImage, std::vector<std::uint8_t>>(
        protocol::RenderImage{std::string(html), scale}, options);
}

Expected<std::string, Error> Pool::evaluate(const std::vector<std::string>& scripts, std::string_view result,
                                            CallOptions options) {
    if (!impl_) return unexpected(Error(Error::Stopped{}));
    return impl_->call_and_wait<protocol::Evaluate, std::string>(protocol::Evaluate{scripts, std::string(result)},
                                                                 options);
}

int Pool::fd() const { return impl_ ? impl_->completions_fd.get() : -1; }

std::size_t Pool::dispatch(std::size_t most) { return impl_ ? impl_->dispatch(most) : 0; }

void Pool::warm_up(float scale) {
    if (impl_) impl_->warm_up(scale);
}

PoolStatus Pool::status() const {
    if (!impl_) return {};
    std::lock_guard lock(impl_->mutex);
    return impl_->snapshot;
}

}  // namespace qor_webview
