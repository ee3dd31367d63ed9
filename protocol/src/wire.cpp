// Request lines as the parent writes them, answer lines as it reads them.

#include "qor_webview/wire.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

#include "json_reader.hpp"
#include "qor_webview/internal/utf8.hpp"

namespace qor_webview::protocol {

// ----------------------------------------------------------------- requests

std::string encode_request(const Request& request) {
    std::string out;
    std::visit(
        [&out](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, RenderLog>) {
                out.reserve(r.html.size() + 80);
                out += R"({"type":"render_log","html":)";
                append_json_string(out, r.html);
                out += R"(,"width":)";
                append_f32(out, r.width);
                out += R"(,"scale":)";
                append_f32(out, r.scale);
            } else if constexpr (std::is_same_v<R, RenderImage>) {
                out.reserve(r.html.size() + 64);
                out += R"({"type":"render_image","html":)";
                append_json_string(out, r.html);
                out += R"(,"scale":)";
                append_f32(out, r.scale);
            } else {
                static_assert(std::is_same_v<R, Evaluate>);
                std::size_t size = r.result.size() + 48;
                for (const auto& script : r.scripts) size += script.size() + 3;
                out.reserve(size);
                out += R"({"type":"evaluate","scripts":[)";
                for (std::size_t i = 0; i < r.scripts.size(); ++i) {
                    if (i > 0) out.push_back(',');
                    append_json_string(out, r.scripts[i]);
                }
                out += R"(],"result":)";
                append_json_string(out, r.result);
            }
            out.push_back('}');
        },
        request);
    return out;
}

bool valid_utf8(std::string_view text) noexcept { return utf8::valid(text); }

// ------------------------------------------------------------------ answers

namespace {

using json::Kind;
using json::Value;

// Reads the one JSON object of an answer line. Each field is remembered as
// it is met; which of them the answer needs is decided once "type" is known.
class AnswerReader {
public:
    explicit AnswerReader(std::string_view line) : reader_(line) {}

    Expected<Response, AnswerError> run() {
        if (!read_line()) return fail();
        if (!type_) return error("missing field `type`");
        const std::string_view type = *type_;
        if (type == "ready") return Response{Ready{}};
        if (type == "log") {
            if (!width_) return error("missing field `width`");
            if (!height_) return error("missing field `height`");
            if (!tiles_) return error("missing field `tiles`");
            if (!links_) return error("missing field `links`");
            return Response{Log{*width_, *height_, std::move(*tiles_), std::move(*links_)}};
        }
        if (type == "image") {
            if (!png_) return error("missing field `png`");
            return Response{Image{std::move(*png_)}};
        }
        if (type == "text") {
            if (!text_) return error("missing field `text`");
            return Response{Text{std::move(*text_)}};
        }
        if (type == "failed") {
            if (!failure_) return error("missing field `error`");
            return Response{Failed{std::move(*failure_)}};
        }
        std::string message = "unknown answer type `";
        message += type;
        message += '`';
        return error(std::move(message));
    }

private:
    static Unexpected<AnswerError> error(std::string message) { return unexpected(AnswerError{std::move(message)}); }
    Unexpected<AnswerError> fail() { return error(reader_.take_message()); }

    bool read_line() {
        if (reader_.peek_ws() != '{') {
            Value value;
            if (!reader_.read_value(value, false, false)) return false;
            return reader_.fail_message("an answer must be a JSON object");
        }
        bool ok = read_object([this](std::string_view key) { return answer_field(key); });
        if (!ok) return false;
        if (reader_.peek_ws() >= 0) return reader_.fail_peek(json::Syntax::TrailingCharacters);
        return true;
    }

    // Opens the object ahead and calls `field` for each key, with the reader
    // standing after the colon; `field` reads the value.
    template <class Field>
    bool read_object(Field field) {
        Value value;
        if (!reader_.read_value(value, true, false)) return false;
        if (value.kind != Kind::Map) return reader_.fail_message("invalid type: " + reader_.describe(value) + ", expected a map");
        bool first = true;
        for (;;) {
            json::StrRef key;
            const int ahead = reader_.next_key(first, &key);
            if (ahead < 0) return false;
            if (ahead == 0) break;
            // The key's text may be storage that reading the value reuses.
            const std::string name(reader_.view(key));
            if (!reader_.colon() || !field(name)) return false;
        }
        reader_.close_container();
        return true;
    }

    bool answer_field(std::string_view key) {
        if (key == "type") return once(type_, key) && read_string(type_);
        if (key == "width") return once(width_, key) && read_float(width_);
        if (key == "height") return once(height_, key) && read_float(height_);
        if (key == "links") return once(links_, key) && read_string(links_);
        if (key == "png") return once(png_, key) && read_string(png_);
        if (key == "text") return once(text_, key) && read_string(text_);
        if (key == "tiles") return once(tiles_, key) && read_tiles();
        if (key == "error") return once(failure_, key) && read_failure();
        return reader_.skip_value();
    }

    template <class T>
    bool once(const std::optional<T>& field, std::string_view key) {
        if (!field) return true;
        return reader_.fail_message("duplicate field `" + std::string(key) + "`");
    }

    bool read_string(std::optional<std::string>& out) {
        Value value;
        if (!reader_.read_value(value, false, true)) return false;
        if (value.kind != Kind::String) return invalid_type(value, "a string");
        out = reader_.take(value.str);
        return true;
    }

    bool read_float(std::optional<float>& out) {
        Value value;
        if (!reader_.read_value(value, false, true)) return false;
        if (value.kind == Kind::Null) {
            out = std::numeric_limits<float>::quiet_NaN();
            return true;
        }
        if (!value.is_number()) return invalid_type(value, "f32");
        out = value.f32;
        return true;
    }

    bool read_tiles() {
        Value value;
        if (!reader_.read_value(value, true, false)) return false;
        if (value.kind != Kind::Seq) return invalid_type(value, "a sequence");
        tiles_.emplace();
        bool first = true;
        for (;;) {
            const int ahead = reader_.next_element(first);
            if (ahead < 0) return false;
            if (ahead == 0) break;
            std::optional<float> top, height;
            std::optional<std::string> png;
            const bool ok = read_object([&](std::string_view key) {
                if (key == "top") return once(top, key) && read_float(top);
                if (key == "height") return once(height, key) && read_float(height);
                if (key == "png") return once(png, key) && read_string(png);
                return reader_.skip_value();
            });
            if (!ok) return false;
            if (!top) return reader_.fail_message("missing field `top`");
            if (!height) return reader_.fail_message("missing field `height`");
            if (!png) return reader_.fail_message("missing field `png`");
            tiles_->push_back(Band{*top, *height, std::move(*png)});
        }
        reader_.close_container();
        return true;
    }

    bool read_failure() {
        std::optional<std::string> kind, message;
        const bool ok = read_object([&](std::string_view key) {
            if (key == "kind") return once(kind, key) && read_string(kind);
            if (key == "message") return once(message, key) && read_string(message);
            return reader_.skip_value();
        });
        if (!ok) return false;
        if (!kind) return reader_.fail_message("missing field `kind`");
        if (!message) return reader_.fail_message("missing field `message`");
        static constexpr std::array kinds = {FailureKind::Start, FailureKind::Load, FailureKind::Script,
                                             FailureKind::Snapshot};
        for (const FailureKind k : kinds) {
            if (wire_name(k) == *kind) {
                failure_ = Failure{k, std::move(*message)};
                return true;
            }
        }
        return reader_.fail_message("unknown variant `" + *kind +
                                    "`, expected one of `start`, `load`, `script`, `snapshot`");
    }

    bool invalid_type(const Value& value, std::string_view expected) {
        return reader_.fail_message("invalid type: " + reader_.describe(value) + ", expected " + std::string(expected));
    }

    json::Reader reader_;
    std::optional<std::string> type_;
    std::optional<float> width_;
    std::optional<float> height_;
    std::optional<std::vector<Band>> tiles_;
    std::optional<std::string> links_;
    std::optional<std::string> png_;
    std::optional<std::string> text_;
    std::optional<Failure> failure_;
};

}  // namespace

Expected<Response, AnswerError> parse_answer(std::string_view line) { return AnswerReader(line).run(); }

}  // namespace qor_webview::protocol
