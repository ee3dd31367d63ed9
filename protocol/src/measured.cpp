// Reading the measuring script's result. Unlike a request line it is read
// in one pass, so every failure, field errors included, is positioned.

#include "qor_webview/measured.hpp"

#include <array>
#include <string>

#include "json_reader.hpp"

namespace qor_webview {
namespace {

using json::Kind;
using json::Syntax;
using json::Value;

constexpr std::array<std::string_view, 3> field_names = {"body", "width", "height"};

class MeasuredReader {
public:
    explicit MeasuredReader(std::string_view text) : reader_(text) {}

    Expected<Measured, Error> run() {
        if (!read()) return unexpected(Error::script(reader_.take_message()));
        return Measured{values_[0], values_[1], values_[2]};
    }

private:
    bool read() {
        const int c = reader_.peek_ws();
        Value root;
        if (c == '{' || c == '[') {
            if (!reader_.read_value(root, true, false)) return false;
            if (!(c == '{' ? read_object() : read_array())) return false;
        } else {
            if (!reader_.read_value(root, false, true)) return false;
            return reader_.fail_message(invalid_type(root, "struct Measured"));
        }
        if (reader_.peek_ws() >= 0) return reader_.fail_peek(Syntax::TrailingCharacters);
        return true;
    }

    bool read_object() {
        bool first = true;
        std::array<bool, 3> set{};
        for (;;) {
            json::StrRef key;
            const int ahead = reader_.next_key(first, &key);
            if (ahead < 0) return false;
            if (ahead == 0) break;
            const std::string_view k = reader_.view(key);
            std::size_t field = 0;
            while (field < field_names.size() && field_names[field] != k) ++field;
            if (field == field_names.size()) {
                if (!reader_.colon() || !reader_.skip_value()) return false;
                continue;
            }
            if (set[field]) {
                if (reader_.peek_ws() == '}') reader_.close_container();
                return reader_.fail_message("duplicate field `" + std::string(field_names[field]) + "`");
            }
            if (!reader_.colon() || !read_number(values_[field])) return false;
            set[field] = true;
        }
        reader_.close_container();
        for (std::size_t field = 0; field < set.size(); ++field) {
            if (!set[field]) return reader_.fail_message("missing field `" + std::string(field_names[field]) + "`");
        }
        return true;
    }

    bool read_array() {
        bool first = true;
        for (std::size_t i = 0; i < values_.size(); ++i) {
            const int ahead = reader_.next_element(first);
            if (ahead < 0) return false;
            if (ahead == 0) {
                reader_.close_container();
                return reader_.fail_message("invalid length " + std::to_string(i) +
                                            ", expected struct Measured with 3 elements");
            }
            if (!read_number(values_[i])) return false;
        }
        // Three elements read: only the closing bracket may follow.
        const int c = reader_.peek_ws();
        if (c == ']') {
            reader_.close_container();
            return true;
        }
        if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingList);
        if (c == ',') {
            reader_.bump();
            if (reader_.peek_ws() == ']') return reader_.fail_peek(Syntax::TrailingComma);
        }
        return reader_.fail_peek(Syntax::TrailingCharacters);
    }

    bool read_number(float& out) {
        const int c = reader_.peek_ws();
        Value value;
        const bool number = c == '-' || (c >= '0' && c <= '9');
        if (!reader_.read_value(value, false, true)) return false;
        if (!number) return reader_.fail_message(invalid_type(value, "f32"));
        out = value.f32;
        return true;
    }

    std::string invalid_type(const Value& value, std::string_view expected) const {
        return "invalid type: " + reader_.describe(value) + ", expected " + std::string(expected);
    }

    json::Reader reader_;
    std::array<float, 3> values_{};
};

}  // namespace

Expected<Measured, Error> parse_measured(std::string_view text) { return MeasuredReader(text).run(); }

}  // namespace qor_webview
