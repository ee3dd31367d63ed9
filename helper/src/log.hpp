// The diagnostics log: plain text lines on standard error, filtered by RUST_LOG.
#pragma once

#include <atomic>
#include <charconv>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor_webview_helper::log {

// From the most verbose to the least.
enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// A directive's limit; Off admits nothing, Trace everything.
enum class Limit : std::uint8_t { Off, Error, Warn, Info, Debug, Trace };

struct Directive {
    std::optional<std::string> target;
    std::vector<std::string> fields;
    // A span name or a field value: such a directive only admits events
    // inside matching spans, and this system opens none.
    bool needs_span = false;
    Limit limit = Limit::Trace;
};

class Filter {
public:
    // The filter chosen from the value of RUST_LOG (nullopt when unset).
    static Filter from_env(std::optional<std::string_view> value);
    // Parses a value; nullopt when a piece is rejected (the value is void).
    static std::optional<Filter> parse(std::string_view value);

    bool enabled(Level level, std::string_view target) const;

private:
    void add(Directive d);
    std::vector<Directive> directives_;  // most specific first
};

// Installs the log for the whole process; false if one is already installed.
bool install(Filter filter);

// Puts a pipe of the helper's own on descriptors 1 and 2 and relays what
// arrives there, whole lines, to the parent's standard error (kept on a
// private descriptor) through the log's writer, which never waits for the
// reader: what GLib, GTK, WebKit and WebKit's processes print then holds
// nobody up either. False, with nothing changed, when it cannot be set up.
bool relay_standard_error();
// At exit: lets the relay pass on what is still in its pipe, waiting at
// most `wait` for the writers that outlive the helper's own.
void finish_relay(std::chrono::milliseconds wait);

// Escapes a message the way log lines show it.
void append_escaped(std::string& out, std::string_view message);

// The whole line of an event, terminator included.
void format_line(std::string& out, Level level, std::string_view target, std::string_view message);

namespace detail {

bool enabled(Level level, std::string_view target);
void emit(Level level, std::string_view target, std::string& message);
std::string& thread_buffer();

inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
template <std::integral I>
void append(std::string& out, I value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

// Whether a call site's events pass the filter, decided once per call site.
class CallSite {
public:
    bool enabled(Level level, std::string_view target) {
        int state = state_.load(std::memory_order_relaxed);
        if (state == kUnknown) {
            state = detail::enabled(level, target) ? kOn : kOff;
            state_.store(state, std::memory_order_relaxed);
        }
        return state == kOn;
    }

private:
    static constexpr int kUnknown = 0, kOff = 1, kOn = 2;
    std::atomic<int> state_{kUnknown};
};

}  // namespace detail

// Emits an event; the message pieces are only formatted when it passes.
#define QOR_LOG(level, target, ...)                                                         \
    do {                                                                                    \
        static ::qor_webview_helper::log::detail::CallSite qor_log_site_;                   \
        if (qor_log_site_.enabled((level), (target))) {                                    \
            std::string& qor_log_msg_ = ::qor_webview_helper::log::detail::thread_buffer(); \
            qor_log_msg_.clear();                                                           \
            ::qor_webview_helper::log::detail::append_all(qor_log_msg_, __VA_ARGS__);       \
            ::qor_webview_helper::log::detail::emit((level), (target), qor_log_msg_);       \
        }                                                                                   \
    } while (0)

namespace detail {
template <class... A>
void append_all(std::string& out, const A&... pieces) {
    (append(out, pieces), ...);
}
}  // namespace detail

}  // namespace qor_webview_helper::log
