// Reading the measuring script's result. Unlike a request line it is read
// in one pass, so every failure, field errors included, is positioned.

#include "qor_webview/measured.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "json_reader.hpp"

namespace qor_webview {
namespace {

using json::Containers;
using json::Strings;
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
            if (!reader_.read_value(root, Containers::Open, Strings::Check)) return false;
            if (!(c == '{' ? read_object() : read_array())) return false;
        } else {
            if (!reader_.read_value(root, Containers::Recognise, Strings::Keep)) return false;
            return reader_.fail_invalid_type(root, "struct Measured");
        }
        if (reader_.peek_ws() >= 0) return reader_.fail_peek(Syntax::TrailingCharacters);
        return true;
    }

    bool read_object() {
        std::array<bool, field_names.size()> set{};
        std::size_t field = 0;  // the key's field, field_names.size() for another key
        // A repeated field is an error of the object, found before its colon.
        const auto check = [&](std::string_view key) {
            field =
                static_cast<std::size_t>(std::find(field_names.begin(), field_names.end(), key) - field_names.begin());
            return field == field_names.size() || !set[field] ||
                   reader_.fail_in_object("duplicate field `" + std::string(field_names[field]) + "`");
        };
        const auto member = [&](std::string_view) {
            if (field == field_names.size()) return reader_.skip_value();
            set[field] = true;
            return read_number(values_[field]);
        };
        if (!reader_.for_each_member(member, check)) return false;
        // Unlike a request, the missing field is named right after the
        // closing brace, before any trailing text is looked at.
        for (std::size_t i = 0; i < set.size(); ++i) {
            if (!set[i]) return reader_.fail_message("missing field `" + std::string(field_names[i]) + "`");
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
        if (!reader_.read_value(value, Containers::Recognise, Strings::Keep)) return false;
        if (!number) return reader_.fail_invalid_type(value, "f32");
        out = value.f32;
        return true;
    }

    json::Reader reader_;
    std::array<float, 3> values_{};
};

}  // namespace

Expected<Measured, Error> parse_measured(std::string_view text) { return MeasuredReader(text).run(); }

}  // namespace qor_webview
