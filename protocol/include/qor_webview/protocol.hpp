// The wire: request lines the parent writes, answer lines the helper writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qor_webview/export.hpp"
#include "qor_webview/expected.hpp"

namespace qor_webview::protocol {

// ---------------------------------------------------------------- requests

struct RenderLog {
    std::string html;
    float width = 0;
    float scale = 0;
    friend bool operator==(const RenderLog&, const RenderLog&) = default;
};

struct RenderImage {
    std::string html;
    float scale = 0;
    friend bool operator==(const RenderImage&, const RenderImage&) = default;
};

struct Evaluate {
    std::vector<std::string> scripts;
    std::string result;
    friend bool operator==(const Evaluate&, const Evaluate&) = default;
};

using Request = std::variant<RenderLog, RenderImage, Evaluate>;

// Why a request line could not be decoded; `message` is the text that follows
// "unreadable request: " in the answer.
struct DecodeError {
    std::string message;
};

// Decodes one request line (without its terminator). Pure; never throws for
// any input, and works in time linear in the line's length.
QOR_WEBVIEW_API Expected<Request, DecodeError> parse_request(std::string_view line);

// ----------------------------------------------------------------- answers

enum class FailureKind : std::uint8_t { Start, Load, Script, Snapshot };

// The wire name of a kind: "start", "load", "script" or "snapshot".
QOR_WEBVIEW_API std::string_view wire_name(FailureKind kind) noexcept;

struct Failure {
    FailureKind kind = FailureKind::Start;
    std::string message;
    friend bool operator==(const Failure&, const Failure&) = default;
};

struct Band {
    float top = 0;
    float height = 0;
    std::string png;  // base64 text
    friend bool operator==(const Band&, const Band&) = default;
};

struct Ready {
    friend bool operator==(const Ready&, const Ready&) = default;
};

struct Log {
    float width = 0;
    float height = 0;
    std::vector<Band> tiles;
    std::string links;  // JSON text, carried as one string
    friend bool operator==(const Log&, const Log&) = default;
};

struct Image {
    std::string png;  // base64 text
    friend bool operator==(const Image&, const Image&) = default;
};

struct Text {
    std::string text;
    friend bool operator==(const Text&, const Text&) = default;
};

struct Failed {
    Failure error;
    friend bool operator==(const Failed&, const Failed&) = default;
};

using Response = std::variant<Ready, Log, Image, Text, Failed>;

// An I/O error of `write_answer`: an operating-system error number, or 0 for
// a write that wrote nothing ("failed to write whole buffer").
struct QOR_WEBVIEW_API IoError {
    int code = 0;
    // "failed to write whole buffer", or the system's description of the
    // error number followed by " (os error N)". Independent of the locale.
    std::string text() const;
};

// The system's description of an error number, then " (os error N)".
QOR_WEBVIEW_API std::string os_error_text(int code);

// Writes `response` as one answer line on `fd`, piece by piece, straight to
// the descriptor; never closes, flushes or syncs it. Main thread only.
QOR_WEBVIEW_API Expected<void, IoError> write_answer(int fd, const Response& response);

// Appends the answer-line form of a single-precision float ("800.0", "1e-7",
// "null" for NaN and infinities) to `out`.
QOR_WEBVIEW_API void append_f32(std::string& out, float value);

// Appends `text` as a JSON string with the answer lines' escaping.
QOR_WEBVIEW_API void append_json_string(std::string& out, std::string_view text);

// Standard base64 with padding; the text is sized once, filled in one pass.
QOR_WEBVIEW_API std::string encode_png(std::span<const std::uint8_t> bytes);

}  // namespace qor_webview::protocol
