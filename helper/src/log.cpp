#include "log.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <iterator>
#include <memory>
#include <mutex>

#include "qor_webview/internal/fd.hpp"
#include "qor_webview/internal/utf8.hpp"

namespace qor_webview_helper::log {

namespace {

std::string_view trim(std::string_view s) {
    auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && ws(s.front())) s.remove_prefix(1);
    while (!s.empty() && ws(s.back())) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Whether a level written as a digit may carry a "+" sign, as after "=".
enum class PlusSign : std::uint8_t { Refused, Allowed };

std::optional<Limit> parse_level(std::string_view s, PlusSign plus) {
    // In the order of Limit, whose values the digits also name.
    static constexpr std::string_view names[] = {"off", "error", "warn", "info", "debug", "trace"};
    static_assert(std::size(names) == static_cast<std::size_t>(Limit::Trace) + 1);
    for (std::size_t i = 0; i < std::size(names); ++i)
        if (iequals(s, names[i])) return static_cast<Limit>(i);
    if (plus == PlusSign::Allowed && s.size() == 2 && s[0] == '+') s.remove_prefix(1);
    if (s.size() == 1 && s[0] >= '0' && s[0] <= '5') return static_cast<Limit>(s[0] - '0');
    return std::nullopt;
}

// A target may begin with a letter or digit of any script, "_", "-" or ":".
bool can_begin_target(std::string_view s) {
    unsigned char c = static_cast<unsigned char>(s.front());
    if (c >= 0x80) return true;  // a non-ASCII letter or digit; checked loosely
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == ':';
}

// "[span{field,field=value}]"; false when malformed.
bool parse_selector(std::string_view s, Directive& d) {
    // s holds what stands between the brackets.
    auto brace = s.find('{');
    std::string_view span = trim(s.substr(0, brace));
    if (span.find_first_of("{}[]") != std::string_view::npos) return false;
    if (!span.empty()) d.needs_span = true;
    if (brace == std::string_view::npos) return true;
    if (s.back() != '}') return false;
    std::string_view fields = s.substr(brace + 1, s.size() - brace - 2);
    if (fields.find_first_of("{}[]") != std::string_view::npos) return false;
    while (!fields.empty()) {
        auto comma = fields.find(',');
        std::string_view f = trim(fields.substr(0, comma));
        fields = comma == std::string_view::npos ? std::string_view{} : fields.substr(comma + 1);
        if (f.empty()) continue;
        auto eq = f.find('=');
        if (eq != std::string_view::npos) {
            d.needs_span = true;
            f = trim(f.substr(0, eq));
            if (f.empty()) return false;
        }
        d.fields.emplace_back(f);
    }
    return true;
}

std::optional<Directive> parse_directive(std::string_view piece) {
    piece = trim(piece);
    Directive d;
    if (piece.find_first_of("=[") == std::string_view::npos) {
        if (auto level = parse_level(piece, PlusSign::Refused)) {
            d.limit = *level;
            return d;
        }
    }
    if (piece.empty()) return std::nullopt;
    std::string_view rest = piece;
    if (rest.front() != '[') {
        if (!can_begin_target(rest)) return std::nullopt;
        auto stop = rest.find_first_of("=[");
        d.target = std::string(rest.substr(0, stop));
        rest = stop == std::string_view::npos ? std::string_view{} : rest.substr(stop);
    }
    if (!rest.empty() && rest.front() == '[') {
        auto close = rest.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        if (!parse_selector(rest.substr(1, close - 1), d)) return std::nullopt;
        rest = rest.substr(close + 1);
    }
    if (rest.empty()) return d;
    if (rest.front() != '=') return std::nullopt;
    rest.remove_prefix(1);
    if (rest.empty()) return d;
    auto level = parse_level(rest, PlusSign::Allowed);
    if (!level) return std::nullopt;
    d.limit = *level;
    return d;
}

// More specific directives sort first.
bool more_specific(const Directive& a, const Directive& b) {
    if (a.target.has_value() != b.target.has_value()) return a.target.has_value();
    std::size_t la = a.target ? a.target->size() : 0, lb = b.target ? b.target->size() : 0;
    if (la != lb) return la > lb;
    return a.fields.size() > b.fields.size();
}

bool admits(Limit limit, Level level) {
    // Limit Error(1) admits Error; Trace(5) admits everything.
    int needed = 5 - static_cast<int>(level);  // Error -> 1, Trace -> 5
    return static_cast<int>(limit) >= needed;
}

class Sink;

struct Installed {
    Filter filter;
    std::mutex stderr_lock;
    // Under the lock: where lines go (the parent's standard error), and the
    // writer, made at the first line.
    int destination = 2;
    std::unique_ptr<Sink> sink;
    ~Installed();  // where the writer is complete
};
std::atomic<Installed*> installed{nullptr};

}  // namespace

void Filter::add(Directive d) {
    for (auto& existing : directives_) {
        if (existing.target == d.target && existing.fields == d.fields && existing.needs_span == d.needs_span) {
            existing = std::move(d);
            return;
        }
    }
    auto at = std::upper_bound(directives_.begin(), directives_.end(), d, more_specific);
    directives_.insert(at, std::move(d));
}

std::optional<Filter> Filter::parse(std::string_view value) {
    Filter f;
    while (true) {
        auto comma = value.find(',');
        // A blank piece counts as an empty one.
        std::string_view piece = trim(value.substr(0, comma));
        if (!piece.empty()) {
            auto d = parse_directive(piece);
            if (!d) return std::nullopt;
            f.add(std::move(*d));
        }
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return f;
}

Filter Filter::from_env(std::optional<std::string_view> value) {
    if (value && qor_webview::utf8::valid(*value)) {
        if (auto f = parse(*value)) return std::move(*f);
    }
    return *parse("info");
}

bool Filter::enabled(Level level, std::string_view target) const {
    for (const auto& d : directives_) {
        if (d.needs_span) continue;
        if (d.target && !target.starts_with(*d.target)) continue;
        bool fields_ok = std::all_of(d.fields.begin(), d.fields.end(),
                                     [](const std::string& f) { return f == "message"; });
        if (!fields_ok) continue;
        return admits(d.limit, level);
    }
    return false;
}

bool install(Filter filter) {
    auto* fresh = new Installed{std::move(filter), {}, 2, nullptr};
    Installed* expected = nullptr;
    if (!installed.compare_exchange_strong(expected, fresh)) {
        delete fresh;
        return false;
    }
    return true;
}

void append_escaped(std::string& out, std::string_view m) {
    static constexpr char hex[] = "0123456789abcdef";
    std::size_t run = 0;
    for (std::size_t i = 0; i < m.size(); ++i) {
        auto c = static_cast<unsigned char>(m[i]);
        bool x = c == 0x07 || c == 0x08 || c == 0x0C || c == 0x1B || c == 0x7F;
        bool c1 = c == 0xC2 && i + 1 < m.size() && static_cast<unsigned char>(m[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(m[i + 1]) <= 0x9F;
        if (!x && !c1) continue;
        out.append(m.substr(run, i - run));
        if (x) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
            run = i + 1;
        } else {
            auto cp = static_cast<unsigned char>(m[i + 1]);
            out += "\\u{";
            out += hex[cp >> 4];
            out += hex[cp & 15];
            out += '}';
            run = i + 2;
            ++i;
        }
    }
    out.append(m.substr(run));
}

void format_line(std::string& out, Level level, std::string_view target, std::string_view message) {
    static constexpr std::string_view names[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
    static_assert(std::size(names) == static_cast<std::size_t>(Level::Error) + 1);
    out.append(names[static_cast<int>(level)]);
    out += ' ';
    out.append(target);
    out += ": ";
    append_escaped(out, message);
    out += '\n';
}

namespace {

// Standard error as the log writes it: never waiting for the reader. A pipe
// (or terminal) is opened a second time, non-blocking, so that the flags of
// the descriptor shared with the parent and the web processes stay as they
// are; anything else is written only when poll says it takes data. A line
// that does not fit is dropped and counted, and the count goes out in a
// line of its own before the next line that fits. The tail of a line that
// was cut short by a full pipe is written first, so that lines stay whole.
class Sink {
public:
    explicit Sink(int fd)
        : own_(reopen_nonblocking(fd)), fd_(own_.get() >= 0 ? own_.get() : fd), nonblocking_(own_.get() >= 0) {}

    void write(std::string_view line) {
        if (!drain_tail()) {
            ++dropped_;
            return;
        }
        std::string_view out = line;
        if (dropped_ > 0) {
            out_.clear();
            std::string count;
            detail::append(count, dropped_);
            format_line(out_, Level::Warn, "qor_webview_helper",
                        "log lines dropped while standard error was full: " + count);
            out_.append(line);
            out = out_;
        }
        const std::size_t done = put(out);
        if (done == 0 && !out.empty()) {
            ++dropped_;
            return;
        }
        dropped_ = 0;
        tail_.assign(out.substr(done));
    }

private:
    // Whether nothing of an earlier line is left to write.
    bool drain_tail() {
        if (tail_.empty()) return true;
        tail_.erase(0, put(tail_));
        return tail_.empty();
    }

    // Writes what fits now; returns the number of bytes written.
    std::size_t put(std::string_view data) {
        std::size_t done = 0;
        while (done < data.size()) {
            if (!nonblocking_) {
                pollfd p{fd_, POLLOUT, 0};
                int ready;
                while ((ready = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
                }
                if (ready <= 0 || (p.revents & POLLOUT) == 0) break;
            }
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;  // full, or not writable at all: the rest is dropped
            }
        }
        return done;
    }

    static int reopen_nonblocking(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) return -1;
        std::string path = "/proc/self/fd/";
        detail::append(path, fd);
        return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }

    qor_webview::detail::Fd own_;
    int fd_;
    bool nonblocking_;
    std::uint64_t dropped_ = 0;
    std::string tail_;
    std::string out_;
};

Installed::~Installed() = default;

// The writer, under the log's lock.
Sink& sink_of(Installed& log) {
    if (!log.sink) log.sink = std::make_unique<Sink>(log.destination);
    return *log.sink;
}

}  // namespace

namespace detail {

bool enabled(Level level, std::string_view target) {
    Installed* log = installed.load(std::memory_order_acquire);
    return log && log->filter.enabled(level, target);
}

std::string& thread_buffer() {
    thread_local std::string buffer;
    return buffer;
}

void emit(Level level, std::string_view target, std::string& message) {
    Installed* log = installed.load(std::memory_order_acquire);
    if (!log) return;
    thread_local std::string line;
    line.clear();
    format_line(line, level, target, message);
    std::lock_guard lock(log->stderr_lock);
    sink_of(*log).write(line);
}

}  // namespace detail

namespace {

// What the libraries and WebKit's processes write to descriptors 1 and 2,
// read from the helper's own pipe by a thread of its own and passed on line
// by line through the log's writer: a reader that is always there keeps
// every writer of the pipe from waiting, however busy the main loop is.
struct Relay {
    qor_webview::detail::Fd read_end;
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
};
Relay* relay = nullptr;  // lives as long as the process

// A line longer than this is passed on in pieces, so that a writer without
// line feeds cannot make the relay hold ever more.
constexpr std::size_t kLongestLine = 4096;

// Passes on the whole lines of `pending` (all of it when `last`).
void pass_on(std::string& pending, bool last) {
    Installed* log = installed.load(std::memory_order_acquire);
    std::size_t done = 0;
    {
        std::lock_guard lock(log->stderr_lock);
        Sink& sink = sink_of(*log);
        while (done < pending.size()) {
            std::size_t end = pending.find('\n', done);
            if (end != std::string::npos) {
                end += 1;
            } else if (last || pending.size() - done >= kLongestLine) {
                end = pending.size();
            } else {
                break;
            }
            end = std::min(end, done + kLongestLine);
            sink.write(std::string_view(pending).substr(done, end - done));
            done = end;
        }
    }
    pending.erase(0, done);
}

void relay_main(Relay* r) {
    std::string pending;
    char buffer[16384];
    while (true) {
        const ssize_t n = ::read(r->read_end.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer is gone
        pending.append(buffer, static_cast<std::size_t>(n));
        pass_on(pending, false);
    }
    pass_on(pending, true);
    std::lock_guard lock(r->lock);
    r->ended = true;
    r->changed.notify_all();
}

}  // namespace

bool relay_standard_error() {
    Installed* log = installed.load(std::memory_order_acquire);
    if (!log || relay) return false;
    qor_webview::detail::Fd parent(::fcntl(2, F_DUPFD_CLOEXEC, 3));
    int ends[2];
    if (!parent || ::pipe2(ends, O_CLOEXEC) != 0) return false;
    qor_webview::detail::Fd read_end(ends[0]);
    qor_webview::detail::Fd write_end(ends[1]);
    // Room for bursts while the relay is between reads; the default is kept
    // if the system refuses.
    (void)::fcntl(write_end.get(), F_SETPIPE_SZ, 1 << 20);
    // The duplicates on 1 and 2 are inherited by WebKit's processes, as the
    // parent's standard error was.
    if (::dup2(write_end.get(), 1) < 0 || ::dup2(write_end.get(), 2) < 0) {
        (void)::dup2(parent.get(), 1);
        (void)::dup2(parent.get(), 2);
        return false;
    }
    write_end.reset();
    {
        std::lock_guard lock(log->stderr_lock);
        log->destination = parent.release();
        log->sink.reset();
    }
    relay = new Relay{std::move(read_end), {}, {}, false};
    try {
        std::thread(relay_main, relay).detach();
    } catch (const std::system_error&) {
        // Nobody would read the pipe: the parent's standard error goes back.
        (void)::dup2(log->destination, 1);
        (void)::dup2(log->destination, 2);
        return false;
    }
    return true;
}

void finish_relay(std::chrono::milliseconds wait) {
    if (!relay) return;
    // The helper's own ends go; the relay sees the end of its pipe once
    // WebKit's processes have let go of theirs too.
    qor_webview::detail::Fd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null) return;
    (void)::dup2(null.get(), 1);
    (void)::dup2(null.get(), 2);
    std::unique_lock lock(relay->lock);
    relay->changed.wait_for(lock, wait, [] { return relay->ended; });
}

}  // namespace qor_webview_helper::log
