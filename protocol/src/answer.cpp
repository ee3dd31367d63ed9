// Answer lines: their exact bytes, and writing them onto the answers pipe.

#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>

#include <string.h>
#include <unistd.h>

#include "float_format.hpp"
#include "qor_webview/protocol.hpp"
#include "scan.hpp"

namespace qor_webview::protocol {
namespace {

// The escape of one byte that a JSON string must not carry as it is.
std::size_t escape_byte(unsigned char c, char* out) noexcept {
    out[0] = '\\';
    switch (c) {
        case '"': out[1] = '"'; return 2;
        case '\\': out[1] = '\\'; return 2;
        case 0x08: out[1] = 'b'; return 2;
        case 0x09: out[1] = 't'; return 2;
        case 0x0A: out[1] = 'n'; return 2;
        case 0x0C: out[1] = 'f'; return 2;
        case 0x0D: out[1] = 'r'; return 2;
        default: {
            constexpr char hex[] = "0123456789abcdef";
            out[1] = 'u';
            out[2] = '0';
            out[3] = '0';
            out[4] = hex[c >> 4];
            out[5] = hex[c & 0xF];
            return 6;
        }
    }
}

// Puts an answer onto the descriptor in order. Punctuation, keys, numbers,
// escapes and short runs of text are gathered in a small local buffer so
// that a line full of escapes does not cost a system call per escape; any
// longer run of text is written straight from the answer's own memory,
// after what was gathered before it.
class LineWriter {
public:
    explicit LineWriter(int fd) noexcept : fd_(fd) {}

    bool put(std::string_view piece) noexcept { return put(piece.data(), piece.size()); }

    bool put(const char* data, std::size_t size) noexcept {
        if (size >= direct_size) return flush() && write_all(data, size);
        if (used_ + size > sizeof gathered_ && !flush()) return false;
        std::memcpy(gathered_ + used_, data, size);
        used_ += size;
        return true;
    }

    bool number(float value) noexcept {
        char text[detail::float_text_capacity];
        return put(text, detail::format_f32(text, value));
    }

    bool text(std::string_view value) noexcept {
        if (!put("\"")) return false;
        const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
        const std::size_t n = value.size();
        std::size_t i = 0;
        for (;;) {
            const std::size_t special = scan::find_escape(bytes, i, n);
            if (special > i && !put(value.data() + i, special - i)) return false;
            if (special == n) break;
            char escape[6];
            if (!put(escape, escape_byte(bytes[special], escape))) return false;
            i = special + 1;
        }
        return put("\"");
    }

    bool flush() noexcept {
        const std::size_t size = used_;
        used_ = 0;
        return size == 0 || write_all(gathered_, size);
    }

    IoError error() const noexcept { return IoError{error_}; }

private:
    static constexpr std::size_t direct_size = 1024;

    bool write_all(const char* data, std::size_t size) noexcept {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written > 0) {
                data += written;
                size -= static_cast<std::size_t>(written);
            } else if (written == 0) {
                error_ = 0;
                return false;
            } else if (errno != EINTR) {
                error_ = errno;
                return false;
            }
        }
        return true;
    }

    int fd_;
    int error_ = 0;
    std::size_t used_ = 0;
    char gathered_[4096];
};

bool write_body(LineWriter& out, const Ready&) { return out.put("{\"type\":\"ready\"}\n"); }

bool write_body(LineWriter& out, const Log& log) {
    if (!out.put("{\"type\":\"log\",\"width\":") || !out.number(log.width) || !out.put(",\"height\":") ||
        !out.number(log.height) || !out.put(",\"tiles\":["))
        return false;
    bool first = true;
    for (const Band& band : log.tiles) {
        if (!out.put(first ? "{\"top\":" : ",{\"top\":") || !out.number(band.top) || !out.put(",\"height\":") ||
            !out.number(band.height) || !out.put(",\"png\":") || !out.text(band.png) || !out.put("}"))
            return false;
        first = false;
    }
    return out.put("],\"links\":") && out.text(log.links) && out.put("}\n");
}

bool write_body(LineWriter& out, const Image& image) {
    return out.put("{\"type\":\"image\",\"png\":") && out.text(image.png) && out.put("}\n");
}

bool write_body(LineWriter& out, const Text& text) {
    return out.put("{\"type\":\"text\",\"text\":") && out.text(text.text) && out.put("}\n");
}

bool write_body(LineWriter& out, const Failed& failed) {
    return out.put("{\"type\":\"failed\",\"error\":{\"kind\":\"") && out.put(wire_name(failed.error.kind)) &&
           out.put("\",\"message\":") && out.text(failed.error.message) && out.put("}}\n");
}

}  // namespace

std::string_view wire_name(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::Start: return "start";
        case FailureKind::Load: return "load";
        case FailureKind::Script: return "script";
        case FailureKind::Snapshot: return "snapshot";
    }
    return "start";
}

std::string os_error_text(int code) {
    // The English description, whatever the locale GTK has set.
    // A number the C library does not know gets the "Unknown error N"
    // text it would print itself, so that every code reads alike.
    const char* description = ::strerrordesc_np(code);
    std::string text = description != nullptr ? std::string(description) : "Unknown error " + std::to_string(code);
    text += " (os error ";
    text += std::to_string(code);
    text += ')';
    return text;
}

std::string IoError::text() const {
    // No error number: a write took nothing without saying why.
    if (code == 0) return "failed to write whole buffer";
    return os_error_text(code);
}

Expected<void, IoError> write_answer(int fd, const Response& response) {
    LineWriter out(fd);
    const bool written = std::visit([&out](const auto& answer) { return write_body(out, answer); }, response);
    if (!written || !out.flush()) return unexpected(out.error());
    return {};
}

void append_json_string(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    out.push_back('"');
    std::size_t i = 0;
    for (;;) {
        const std::size_t special = scan::find_escape(bytes, i, n);
        out.append(text.data() + i, special - i);
        if (special == n) break;
        char escape[6];
        out.append(escape, escape_byte(bytes[special], escape));
        i = special + 1;
    }
    out.push_back('"');
}

}  // namespace qor_webview::protocol
