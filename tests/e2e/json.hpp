// A strict JSON reader of the test's own, for the answer lines: it checks
// the helper's output independently of the library's reader, keeps keys in
// order (the first must be "type") and numbers as written.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qor_webview::e2e {

// A parsed JSON value. Objects keep their keys in order, numbers keep their
// text as written (answers print floats in a fixed form).
struct Json {
    struct Number {
        std::string text;
        double value = 0;
    };
    struct Member;  // a key and its value, defined once Json is complete
    using Array = std::vector<Json>;
    using Object = std::vector<Member>;
    std::variant<std::nullptr_t, bool, Number, std::string, Array, Object> value;

    bool is_null() const { return std::holds_alternative<std::nullptr_t>(value); }
    const std::string* string() const { return std::get_if<std::string>(&value); }
    const Number* number() const { return std::get_if<Number>(&value); }
    const Array* array() const { return std::get_if<Array>(&value); }
    const Object* object() const { return std::get_if<Object>(&value); }
    // The value of `key` in an object, nullptr if absent or not an object.
    const Json* get(std::string_view key) const;
    // A string found by following keys through nested objects, nullopt if
    // any step is missing or the end is not a string.
    std::optional<std::string> text_at(std::initializer_list<std::string_view> keys) const;
};

struct Json::Member {
    std::string first;
    Json second;
};

// Parses a whole JSON text (strict: one value, whitespace around it only,
// valid escapes, surrogate pairs joined). nullopt if it is not valid JSON.
std::optional<Json> parse_json(std::string_view text);

// The answer's "type", nullopt if the line is not an answer.
std::optional<std::string> answer_type(std::string_view line);

}  // namespace qor_webview::e2e
