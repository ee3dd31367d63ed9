// Request lines as the parent writes them, answer lines as it reads them.

#include "qor_webview/wire.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "json_reader.hpp"
#include "wire_types.hpp"
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

using json::Containers;
using json::Kind;
using json::Strings;
using json::Value;

// Reads the one JSON object of an answer line. Each field is remembered as
// it is met; which of them the answer needs is decided once "type" is known.
class AnswerReader {
public:
    explicit AnswerReader(std::string_view line) : reader_(line) {}

    Expected<Response, AnswerError> run() {
        if (!read_line()) return fail();
        if (!type_) return error("missing field `type`");
        constexpr const auto& types = wire_types<Response>;
        const auto named = std::find(types.begin(), types.end(), *type_);
        if (named == types.end()) return error("unknown answer type `" + *type_ + "`");
        return make(static_cast<std::size_t>(named - types.begin()), std::make_index_sequence<types.size()>{});
    }

private:
    static Unexpected<AnswerError> error(std::string message) { return unexpected(AnswerError{std::move(message)}); }
    Unexpected<AnswerError> fail() { return error(reader_.take_message()); }

    // The answer of the alternative at `index`, from the fields read.
    template <std::size_t... I>
    Expected<Response, AnswerError> make(std::size_t index, std::index_sequence<I...>) {
        std::optional<Expected<Response, AnswerError>> answer;
        (void)((index == I && (answer.emplace(make(std::type_identity<std::variant_alternative_t<I, Response>>{})),
                               true)) ||
               ...);
        return std::move(*answer);
    }

    Expected<Response, AnswerError> make(std::type_identity<Ready>) { return Response{Ready{}}; }
    Expected<Response, AnswerError> make(std::type_identity<Log>) {
        if (!width_) return error("missing field `width`");
        if (!height_) return error("missing field `height`");
        if (!tiles_) return error("missing field `tiles`");
        if (!links_) return error("missing field `links`");
        return Response{Log{*width_, *height_, std::move(*tiles_), std::move(*links_)}};
    }
    Expected<Response, AnswerError> make(std::type_identity<Image>) {
        if (!png_) return error("missing field `png`");
        return Response{Image{std::move(*png_)}};
    }
    Expected<Response, AnswerError> make(std::type_identity<Text>) {
        if (!text_) return error("missing field `text`");
        return Response{Text{std::move(*text_)}};
    }
    Expected<Response, AnswerError> make(std::type_identity<Failed>) {
        if (!failure_) return error("missing field `error`");
        return Response{Failed{std::move(*failure_)}};
    }

    bool read_line() {
        if (reader_.peek_ws() != '{') {
            Value value;
            if (!reader_.read_value(value, Containers::Recognise, Strings::Check)) return false;
            return reader_.fail_message("an answer must be a JSON object");
        }
        if (!read_object([this](std::string_view key) { return answer_field(key); })) return false;
        if (reader_.peek_ws() >= 0) return reader_.fail_peek(json::Syntax::TrailingCharacters);
        return true;
    }

    // Opens the object ahead and calls `field` for each key, with the reader
    // standing after the colon; `field` reads the value.
    template <class Field>
    bool read_object(Field field) {
        Value value;
        if (!reader_.read_value(value, Containers::Open, Strings::Check)) return false;
        if (value.kind != Kind::Map) return reader_.fail_invalid_type(value, "a map");
        return reader_.for_each_member(field);
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
        if (!reader_.read_value(value, Containers::Recognise, Strings::Keep)) return false;
        if (value.kind != Kind::String) return reader_.fail_invalid_type(value, "a string");
        out = reader_.take(value.str);
        return true;
    }

    // The helper writes a NaN or infinite number as null (JSON has no
    // other way to say it); null reads back as NaN.
    bool read_float(std::optional<float>& out) {
        Value value;
        if (!reader_.read_value(value, Containers::Recognise, Strings::Keep)) return false;
        if (value.kind == Kind::Null) {
            out = std::numeric_limits<float>::quiet_NaN();
            return true;
        }
        if (!value.is_number()) return reader_.fail_invalid_type(value, "f32");
        out = value.f32;
        return true;
    }

    bool read_tiles() {
        Value value;
        if (!reader_.read_value(value, Containers::Open, Strings::Check)) return false;
        if (value.kind != Kind::Seq) return reader_.fail_invalid_type(value, "a sequence");
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
