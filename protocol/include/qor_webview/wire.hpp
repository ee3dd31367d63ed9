// The parent's side of the wire: request lines it writes, answer lines it
// reads. The helper's side of the same forms is in protocol.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qor_webview/export.hpp"
#include "qor_webview/expected.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview::protocol {

// The request as one line, without its line feed: compact JSON, "type"
// first, then the fields in declaration order. Texts are escaped exactly as
// answer texts are and floats printed exactly as answer floats are, so every
// finite float reads back as the same value. NaN and infinities print as
// null, which the helper refuses ("invalid type: null, expected f32"): a
// caller that cannot rule them out checks first (the client does). Texts
// must be valid UTF-8 (see `valid_utf8`); a line that is not ends the
// helper's request stream.
QOR_WEBVIEW_API std::string encode_request(const Request& request);

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
QOR_WEBVIEW_API bool valid_utf8(std::string_view text) noexcept;

// Why an answer line could not be read.
struct AnswerError {
    std::string message;
};

// Reads one answer line (without its line feed) into a `Response`. Keys may
// stand in any order and unknown keys are skipped; every field the answer's
// type needs must be there with the right kind of JSON value. A null number
// reads as NaN (the helper prints NaN and infinities as null).
QOR_WEBVIEW_API Expected<Response, AnswerError> parse_answer(std::string_view line);

// Strict standard base64 with padding; nullopt for any other character,
// a bad length or misplaced padding.
QOR_WEBVIEW_API std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);

}  // namespace qor_webview::protocol
