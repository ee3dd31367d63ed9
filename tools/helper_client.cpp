#include "helper_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

extern char** environ;

namespace qor_webview::client {

namespace {

using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------ JSON values

struct Member;

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Value> items;
    std::vector<Member> members;
};

struct Member {
    std::string key;
    Value value;
};

const char* kind_name(Value::Kind kind) {
    switch (kind) {
        case Value::Kind::Null: return "null";
        case Value::Kind::Bool: return "a boolean";
        case Value::Kind::Number: return "a number";
        case Value::Kind::String: return "a string";
        case Value::Kind::Array: return "an array";
        case Value::Kind::Object: return "an object";
    }
    return "?";
}

// A plain recursive-descent reader of RFC 8259 JSON. Answers are shallow, so
// the depth limit only guards against a runaway line.
class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    bool read_document(Value& out) {
        skip_space();
        if (!read_value(out, 0)) return false;
        skip_space();
        if (i_ != s_.size()) return fail("trailing characters");
        return true;
    }
    const std::string& error() const { return error_; }

private:
    static constexpr int kMaxDepth = 64;

    bool fail(const char* what) {
        if (error_.empty()) {
            error_ = what;
            error_ += " at byte ";
            error_ += std::to_string(i_);
        }
        return false;
    }
    void skip_space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return fail("invalid literal");
        i_ += word.size();
        return true;
    }

    bool read_value(Value& out, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        if (i_ >= s_.size()) return fail("unexpected end");
        char c = s_[i_];
        switch (c) {
            case '{': return read_object(out, depth);
            case '[': return read_array(out, depth);
            case '"': out.kind = Value::Kind::String; return read_string(out.string);
            case 't': out.kind = Value::Kind::Bool; out.boolean = true; return literal("true");
            case 'f': out.kind = Value::Kind::Bool; out.boolean = false; return literal("false");
            case 'n': out.kind = Value::Kind::Null; return literal("null");
            default:
                if (c == '-' || (c >= '0' && c <= '9')) return read_number(out);
                return fail("expected a value");
        }
    }

    bool read_object(Value& out, int depth) {
        out.kind = Value::Kind::Object;
        ++i_;
        skip_space();
        if (i_ < s_.size() && s_[i_] == '}') { ++i_; return true; }
        while (true) {
            skip_space();
            if (i_ >= s_.size() || s_[i_] != '"') return fail("expected a key");
            std::string key;
            if (!read_string(key)) return false;
            skip_space();
            if (i_ >= s_.size() || s_[i_] != ':') return fail("expected ':'");
            ++i_;
            skip_space();
            Value v;
            if (!read_value(v, depth + 1)) return false;
            out.members.push_back(Member{std::move(key), std::move(v)});
            skip_space();
            if (i_ >= s_.size()) return fail("unexpected end in an object");
            if (s_[i_] == ',') { ++i_; continue; }
            if (s_[i_] == '}') { ++i_; return true; }
            return fail("expected ',' or '}'");
        }
    }

    bool read_array(Value& out, int depth) {
        out.kind = Value::Kind::Array;
        ++i_;
        skip_space();
        if (i_ < s_.size() && s_[i_] == ']') { ++i_; return true; }
        while (true) {
            skip_space();
            Value v;
            if (!read_value(v, depth + 1)) return false;
            out.items.push_back(std::move(v));
            skip_space();
            if (i_ >= s_.size()) return fail("unexpected end in an array");
            if (s_[i_] == ',') { ++i_; continue; }
            if (s_[i_] == ']') { ++i_; return true; }
            return fail("expected ',' or ']'");
        }
    }

    bool read_hex4(unsigned& out) {
        if (s_.size() - i_ < 4) return fail("short \\u escape");
        out = 0;
        for (int k = 0; k < 4; ++k) {
            char c = s_[i_++];
            out <<= 4;
            if (c >= '0' && c <= '9') out |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f') out |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') out |= unsigned(c - 'A' + 10);
            else return fail("bad hex digit in \\u escape");
        }
        return true;
    }

    static void append_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    bool read_string(std::string& out) {
        ++i_;  // opening quote
        while (true) {
            // Copy the run up to the next quote, backslash or control byte in
            // one go: pictures are megabytes of plain base64.
            std::size_t start = i_;
            while (i_ < s_.size()) {
                unsigned char c = static_cast<unsigned char>(s_[i_]);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++i_;
            }
            out.append(s_.data() + start, i_ - start);
            if (i_ >= s_.size()) return fail("unterminated string");
            char c = s_[i_];
            if (c == '"') { ++i_; return true; }
            if (c != '\\') return fail("control character in a string");
            ++i_;
            if (i_ >= s_.size()) return fail("unterminated escape");
            char e = s_[i_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned cp = 0;
                    if (!read_hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (s_.substr(i_, 2) != "\\u") return fail("lone high surrogate");
                        i_ += 2;
                        unsigned low = 0;
                        if (!read_hex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return fail("bad low surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return fail("lone low surrogate");
                    }
                    append_utf8(out, cp);
                    break;
                }
                default: return fail("invalid escape");
            }
        }
    }

    bool read_number(Value& out) {
        // Check the JSON grammar first: from_chars alone would take "01" or "1.".
        std::size_t start = i_;
        if (s_[i_] == '-') ++i_;
        auto digits = [&] {
            std::size_t from = i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
            return i_ - from;
        };
        if (i_ < s_.size() && s_[i_] == '0') {
            ++i_;
        } else if (digits() == 0) {
            return fail("invalid number");
        }
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (digits() == 0) return fail("invalid number");
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (digits() == 0) return fail("invalid number");
        }
        double v = 0;
        auto r = std::from_chars(s_.data() + start, s_.data() + i_, v);
        if (r.ec == std::errc::result_out_of_range) {
            v = s_[start] == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        } else if (r.ec != std::errc() || r.ptr != s_.data() + i_) {
            return fail("invalid number");
        }
        out.kind = Value::Kind::Number;
        out.number = v;
        return true;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::string error_;
};

// Checks that `object` has exactly the keys `names`, in that order.
bool keys_are(const Value& object, std::initializer_list<std::string_view> names, std::string_view what,
              std::string& error) {
    bool same = object.members.size() == names.size();
    if (same) {
        std::size_t k = 0;
        for (std::string_view name : names) {
            if (object.members[k++].key != name) { same = false; break; }
        }
    }
    if (same) return true;
    error = std::string(what) + " has the keys (";
    for (std::size_t k = 0; k < object.members.size(); ++k) {
        if (k) error += ", ";
        error += object.members[k].key;
    }
    error += "), expected (";
    std::size_t k = 0;
    for (std::string_view name : names) {
        if (k++) error += ", ";
        error += name;
    }
    error += ")";
    return false;
}

bool take_string(Value& v, std::string& out, std::string_view what, std::string& error) {
    if (v.kind != Value::Kind::String) {
        error = std::string(what) + " is " + kind_name(v.kind) + ", expected a string";
        return false;
    }
    out = std::move(v.string);
    return true;
}

// Numbers are floats on the wire; NaN and the infinities come as null.
bool take_float(const Value& v, double& out, std::string_view what, std::string& error) {
    if (v.kind == Value::Kind::Null) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (v.kind != Value::Kind::Number) {
        error = std::string(what) + " is " + kind_name(v.kind) + ", expected a number";
        return false;
    }
    out = v.number;
    return true;
}

}  // namespace

std::optional<Answer> parse_answer(std::string_view line, std::string& error) {
    Value root;
    Reader reader(line);
    if (!reader.read_document(root)) {
        error = "not JSON: " + reader.error();
        return std::nullopt;
    }
    if (root.kind != Value::Kind::Object) {
        error = std::string("the answer is ") + kind_name(root.kind) + ", expected an object";
        return std::nullopt;
    }
    if (root.members.empty() || root.members[0].key != "type" ||
        root.members[0].value.kind != Value::Kind::String) {
        error = "the answer does not begin with a \"type\" string";
        return std::nullopt;
    }
    Answer a;
    a.type = root.members[0].value.string;
    auto& m = root.members;
    if (a.type == "ready") {
        if (!keys_are(root, {"type"}, "ready", error)) return std::nullopt;
    } else if (a.type == "log") {
        if (!keys_are(root, {"type", "width", "height", "tiles", "links"}, "log", error)) return std::nullopt;
        if (!take_float(m[1].value, a.width, "width", error)) return std::nullopt;
        if (!take_float(m[2].value, a.height, "height", error)) return std::nullopt;
        Value& tiles = m[3].value;
        if (tiles.kind != Value::Kind::Array) {
            error = std::string("tiles is ") + kind_name(tiles.kind) + ", expected an array";
            return std::nullopt;
        }
        for (Value& t : tiles.items) {
            if (t.kind != Value::Kind::Object) {
                error = std::string("a band is ") + kind_name(t.kind) + ", expected an object";
                return std::nullopt;
            }
            if (!keys_are(t, {"top", "height", "png"}, "a band", error)) return std::nullopt;
            AnswerBand b;
            if (!take_float(t.members[0].value, b.top, "a band's top", error)) return std::nullopt;
            if (!take_float(t.members[1].value, b.height, "a band's height", error)) return std::nullopt;
            if (!take_string(t.members[2].value, b.png, "a band's png", error)) return std::nullopt;
            a.tiles.push_back(std::move(b));
        }
        if (!take_string(m[4].value, a.links, "links", error)) return std::nullopt;
    } else if (a.type == "image") {
        if (!keys_are(root, {"type", "png"}, "image", error)) return std::nullopt;
        if (!take_string(m[1].value, a.png, "png", error)) return std::nullopt;
    } else if (a.type == "text") {
        if (!keys_are(root, {"type", "text"}, "text", error)) return std::nullopt;
        if (!take_string(m[1].value, a.text, "text", error)) return std::nullopt;
    } else if (a.type == "failed") {
        if (!keys_are(root, {"type", "error"}, "failed", error)) return std::nullopt;
        Value& e = m[1].value;
        if (e.kind != Value::Kind::Object) {
            error = std::string("error is ") + kind_name(e.kind) + ", expected an object";
            return std::nullopt;
        }
        if (!keys_are(e, {"kind", "message"}, "error", error)) return std::nullopt;
        if (!take_string(e.members[0].value, a.kind, "kind", error)) return std::nullopt;
        if (!take_string(e.members[1].value, a.message, "message", error)) return std::nullopt;
        if (a.kind != "start" && a.kind != "load" && a.kind != "script" && a.kind != "snapshot") {
            error = "unknown failure kind \"" + a.kind + "\"";
            return std::nullopt;
        }
    } else {
        error = "unknown answer type \"" + a.type + "\"";
        return std::nullopt;
    }
    return a;
}

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad) return std::nullopt;  // data after padding
            v[k] = value(c);
            if (v[k] < 0) return std::nullopt;
        }
        std::uint32_t n = (std::uint32_t(v[0]) << 18) | (std::uint32_t(v[1]) << 12) | (std::uint32_t(v[2]) << 6) |
                          std::uint32_t(v[3]);
        out.push_back(std::uint8_t(n >> 16));
        if (pad < 2) out.push_back(std::uint8_t(n >> 8));
        if (pad < 1) out.push_back(std::uint8_t(n));
    }
    return out;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(const std::vector<std::uint8_t>& bytes) {
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 24 || !std::equal(kSignature, kSignature + 8, bytes.begin())) return std::nullopt;
    if (std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) return std::nullopt;
    auto be32 = [&](std::size_t at) {
        return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16) |
               (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
    };
    return std::pair{be32(16), be32(20)};
}

std::optional<std::size_t> json_array_length(std::string_view text) {
    Value v;
    Reader reader(text);
    if (!reader.read_document(v) || v.kind != Value::Kind::Array) return std::nullopt;
    return v.items.size();
}

std::string fixed(double value, int digits) {
    if (std::isnan(value)) return "nan";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
    if (r.ec != std::errc()) return "?";
    return std::string(buf, r.ptr);
}

// ---------------------------------------------------------------- process

namespace {

std::string errno_text(const char* what, int code) { return std::string(what) + ": " + std::strerror(code); }

// Moves a descriptor above the standard three and the display-number slot,
// so that mapping it onto 0 to 3 in a child never clobbers another.
int lift_fd(int fd) {
    if (fd > 3) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return moved;
}

bool make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    fds[0] = lift_fd(fds[0]);
    fds[1] = lift_fd(fds[1]);
    return fds[0] >= 0 && fds[1] >= 0;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Waits for `pid` to exit within `timeout`; true if it did.
bool wait_exit(pid_t pid, std::chrono::milliseconds timeout, int* status_out = nullptr) {
    auto deadline = Clock::now() + timeout;
    while (true) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (status_out) *status_out = status;
            return true;
        }
        if (r < 0 && errno != EINTR) return true;  // not our child any more
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void stop_process(pid_t pid, int signal_number) {
    if (pid <= 0) return;
    kill(pid, signal_number);
    if (!wait_exit(pid, std::chrono::seconds(5))) {
        kill(pid, SIGKILL);
        wait_exit(pid, std::chrono::seconds(5));
    }
}

struct Spawned {
    pid_t pid = -1;
    std::string error;
};

Spawned spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
              posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    Spawned s;
    int rc = posix_spawnp(&s.pid, argv[0], actions, nullptr, argv.data(), envp.data());
    if (rc != 0) {
        s.pid = -1;
        s.error = errno_text(("cannot start " + args[0]).c_str(), rc);
    }
    return s;
}

std::vector<std::string> current_environment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    return env;
}

void set_env(std::vector<std::string>& env, const std::string& entry) {
    std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
    env.push_back(entry);
}

// Starts `Xvfb -displayfd 3` and reads the display number it reports once it
// accepts clients.
bool start_xvfb(pid_t& pid, int& display, std::string& error) {
    int fds[2];
    if (!make_pipe(fds)) {
        error = errno_text("pipe", errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    Spawned s = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                      current_environment(), &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (s.pid < 0) {
        close(fds[0]);
        error = s.error + " (package xvfb)";
        return false;
    }
    std::string text;
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        int r = poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[64];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, std::size_t(n));
    }
    close(fds[0]);
    int number = -1;
    auto r = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.find('\n') == std::string::npos || r.ec != std::errc() || number < 0) {
        stop_process(s.pid, SIGTERM);
        error = "Xvfb did not report a display number";
        return false;
    }
    pid = s.pid;
    display = number;
    return true;
}

}  // namespace

std::optional<Helper> Helper::start(const StartOptions& options, std::string& error,
                                    std::chrono::milliseconds ready_timeout) {
    // A helper that dies must show up as a failed write, not kill us.
    signal(SIGPIPE, SIG_IGN);

    Helper h;
    std::vector<std::string> env = current_environment();
    const char* display = std::getenv("DISPLAY");
    if (options.force_own_display || !display || !*display) {
        int number = -1;
        if (!start_xvfb(h.xvfb_pid_, number, error)) return std::nullopt;
        set_env(env, "DISPLAY=:" + std::to_string(number));
        // Our X server is the display to use, even inside another session.
        set_env(env, "GDK_BACKEND=x11");
        h.display_description_ = "Xvfb :" + std::to_string(number);
    } else {
        h.display_description_ = std::string("DISPLAY=") + display;
    }
    for (const auto& e : options.env) set_env(env, e);

    int in[2], out[2], err[2] = {-1, -1};
    if (!make_pipe(in) || !make_pipe(out) || (options.capture_stderr && !make_pipe(err))) {
        error = errno_text("pipe", errno);
        return std::nullopt;  // the destructor stops Xvfb
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (options.capture_stderr) {
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    } else if (!options.stderr_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    Spawned s = spawn({options.program}, env, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (err[1] >= 0) close(err[1]);
    h.in_fd_ = in[1];
    h.out_fd_ = out[0];
    h.err_fd_ = err[0];
    if (s.pid < 0) {
        error = s.error;
        return std::nullopt;
    }
    h.pid_ = s.pid;
    set_nonblocking(h.out_fd_);
    if (h.err_fd_ >= 0) set_nonblocking(h.err_fd_);

    auto ready = h.read_answer(ready_timeout, error);
    if (!ready) {
        error = "no start-up answer: " + error;
        return std::nullopt;
    }
    h.ready_line_ = *ready;
    if (*ready != R"({"type":"ready"})") {
        error = "the start-up answer is " + *ready;
        return std::nullopt;
    }
    return std::optional<Helper>(std::move(h));
}

Helper::Helper(Helper&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      xvfb_pid_(std::exchange(o.xvfb_pid_, -1)),
      in_fd_(std::exchange(o.in_fd_, -1)),
      out_fd_(std::exchange(o.out_fd_, -1)),
      err_fd_(std::exchange(o.err_fd_, -1)),
      out_buffer_(std::move(o.out_buffer_)),
      out_scanned_(std::exchange(o.out_scanned_, 0)),
      err_buffer_(std::move(o.err_buffer_)),
      stderr_lines_(std::move(o.stderr_lines_)),
      display_description_(std::move(o.display_description_)),
      ready_line_(std::move(o.ready_line_)) {}

Helper::~Helper() { kill_all(); }

void Helper::kill_all() {
    for (int* fd : {&in_fd_, &out_fd_, &err_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (pid_ > 0) stop_process(pid_, SIGKILL);
    pid_ = -1;
    if (xvfb_pid_ > 0) stop_process(xvfb_pid_, SIGTERM);
    xvfb_pid_ = -1;
}

bool Helper::send(std::string_view line) {
    if (in_fd_ < 0) return false;
    auto put = [&](const char* data, std::size_t size) {
        while (size > 0) {
            ssize_t n = write(in_fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= std::size_t(n);
        }
        return true;
    };
    return put(line.data(), line.size()) && put("\n", 1);
}

bool Helper::pump(std::chrono::milliseconds timeout) {
    pollfd fds[2];
    nfds_t n = 0;
    if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
    if (n == 0) return false;
    int r = poll(fds, n, int(std::max<long long>(0, timeout.count())));
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    for (nfds_t k = 0; k < n; ++k) {
        if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        bool is_out = fds[k].fd == out_fd_;
        std::string& buffer = is_out ? out_buffer_ : err_buffer_;
        while (true) {
            constexpr std::size_t kChunk = 256 * 1024;
            std::size_t old = buffer.size();
            buffer.resize(old + kChunk);
            ssize_t got = read(fds[k].fd, buffer.data() + old, kChunk);
            buffer.resize(old + std::size_t(std::max<ssize_t>(got, 0)));
            if (got > 0) continue;
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            // End of stream or a hard error: this pipe is done.
            close(fds[k].fd);
            (is_out ? out_fd_ : err_fd_) = -1;
            break;
        }
        if (!is_out) split_stderr();
    }
    return true;
}

void Helper::split_stderr() {
    std::size_t start = 0;
    while (true) {
        std::size_t nl = err_buffer_.find('\n', start);
        if (nl == std::string::npos) break;
        stderr_lines_.emplace_back(err_buffer_, start, nl - start);
        start = nl + 1;
    }
    err_buffer_.erase(0, start);
}

std::optional<std::string> Helper::read_answer(std::chrono::milliseconds timeout, std::string& error) {
    auto deadline = Clock::now() + timeout;
    while (true) {
        std::size_t nl = out_buffer_.find('\n', out_scanned_);
        if (nl != std::string::npos) {
            std::string line = out_buffer_.substr(0, nl);
            out_buffer_.erase(0, nl + 1);
            out_scanned_ = 0;
            return line;
        }
        out_scanned_ = out_buffer_.size();
        if (out_fd_ < 0) {
            error = out_buffer_.empty() ? "the helper closed its answers"
                                        : "the helper closed its answers inside a line";
            return std::nullopt;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = "no answer within " + std::to_string(timeout.count()) + " ms";
            return std::nullopt;
        }
        if (!pump(left)) {
            error = "reading the answers failed";
            return std::nullopt;
        }
    }
}

std::optional<std::string> Helper::wait_stderr_line(std::string_view prefix, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (true) {
        for (auto it = stderr_lines_.begin(); it != stderr_lines_.end(); ++it) {
            if (std::string_view(*it).substr(0, prefix.size()) == prefix) {
                std::string line = std::move(*it);
                stderr_lines_.erase(it);
                return line;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (err_fd_ < 0 || left.count() <= 0) return std::nullopt;
        if (!pump(left)) return std::nullopt;
    }
}

int Helper::finish(std::chrono::milliseconds timeout) {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
    int result = -1;
    auto deadline = Clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            break;
        }
        if (Clock::now() >= deadline) break;
        // Keep draining, so that a helper writing its last lines never blocks.
        if (!pump(std::chrono::milliseconds(10))) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill_all();
    return result;
}

}  // namespace qor_webview::client
