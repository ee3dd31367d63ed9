// Decoding of request lines.
//
// The line is read in full first, up to its last byte: the tag is checked
// the moment it is met, and the values of every key that names a field of
// some request are set aside in order (strings as views into the line where
// possible). The fields are filled from what was set aside only afterwards,
// so their errors come after every reading error, trailing text included,
// and carry no position.

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json_reader.hpp"
#include "qor_webview/protocol.hpp"
#include "wire_types.hpp"

namespace qor_webview::protocol {
namespace {

using json::Containers;
using json::Kind;
using json::StrRef;
using json::Strings;
using json::Value;

// The alternatives of Request, by their index in it.
enum class Variant : std::uint8_t { RenderLog, RenderImage, Evaluate };
constexpr std::size_t variant_count = std::variant_size_v<Request>;

template <Variant v, class T>
constexpr bool names_alternative = std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(v), Request>, T>;
static_assert(static_cast<std::size_t>(Variant::Evaluate) + 1 == variant_count, "one Variant per request type");
static_assert(names_alternative<Variant::RenderLog, RenderLog> && names_alternative<Variant::RenderImage, RenderImage> &&
              names_alternative<Variant::Evaluate, Evaluate>);

// Every field of every request type.
enum class Field : std::uint8_t { Html, Width, Scale, Scripts, Result };
constexpr std::size_t field_count = static_cast<std::size_t>(Field::Result) + 1;

constexpr std::array<std::string_view, field_count> field_names = {"html", "width", "scale", "scripts", "result"};
static_assert(std::ranges::none_of(field_names, &std::string_view::empty), "a name for every field");

std::string_view name(Field field) { return field_names[static_cast<std::size_t>(field)]; }

std::optional<Field> field_named(std::string_view key) {
    for (std::size_t i = 0; i < field_names.size(); ++i) {
        if (field_names[i] == key) return static_cast<Field>(i);
    }
    return std::nullopt;
}

// The most fields a request type has (RenderLog's three).
constexpr std::size_t max_fields = 3;

struct Shape {
    // "struct variant Request::... with m elements": the wording of a short
    // array in the error texts parents already match on, kept word for word.
    std::string_view struct_text;
    std::array<Field, max_fields> fields;  // the first `count` are the type's, in order
    std::size_t count;
};

constexpr std::array<Shape, variant_count> shapes = {{
    {"struct variant Request::RenderLog with 3 elements", {Field::Html, Field::Width, Field::Scale}, 3},
    {"struct variant Request::RenderImage with 2 elements", {Field::Html, Field::Scale, Field::Html}, 2},
    {"struct variant Request::Evaluate with 2 elements", {Field::Scripts, Field::Result, Field::Html}, 2},
}};
static_assert(std::ranges::none_of(shapes, [](const Shape& s) { return s.count == 0 || s.count > max_fields; }),
              "a shape for every request type");

const Shape& shape(Variant v) { return shapes[static_cast<std::size_t>(v)]; }

bool has_field(Variant v, Field f) {
    const Shape& s = shape(v);
    for (std::size_t i = 0; i < s.count; ++i) {
        if (s.fields[i] == f) return true;
    }
    return false;
}

// A value set aside for a field: the value itself and, for an array, its
// string elements or the first element that is not a string.
struct FieldValue {
    Value value;
    std::size_t first_item = 0;
    std::size_t item_count = 0;
    std::optional<Value> odd_item;
};

struct Entry {
    Field field;
    FieldValue value;
};

class Decoder {
public:
    explicit Decoder(std::string_view line) : reader_(line) {}

    // Trailing text is a reading error like any other, so it is found
    // before any field is filled and wins over the field errors.
    Expected<Request, DecodeError> run() {
        if (!read_line()) return failure(reader_.take_message());
        if (reader_.peek_ws() >= 0) {
            reader_.fail_peek(json::Syntax::TrailingCharacters);
            return failure(reader_.take_message());
        }
        return fill();
    }

private:
    static Unexpected<DecodeError> failure(std::string message) { return unexpected(DecodeError{std::move(message)}); }

    // ------------------------------------------------------------ reading

    bool read_line() {
        const int c = reader_.peek_ws();
        if (c == '{' || c == '[') {
            array_form_ = c == '[';
            Value root;
            if (!reader_.read_value(root, Containers::Open, Strings::Check)) return false;
            if (!(c == '{' ? read_object() : read_array())) return false;
        } else {
            Value value;
            if (!reader_.read_value(value, Containers::Recognise, Strings::Keep)) return false;
            return reader_.fail_invalid_type(value, "internally tagged enum Request");
        }
        return true;
    }

    bool read_object() {
        // A second tag is an error of the object, found before its colon.
        const auto check = [this](std::string_view key) {
            return key != "type" || !variant_ || reader_.fail_in_object("duplicate field `type`");
        };
        const auto member = [this](std::string_view key) {
            if (key == "type") return read_tag();
            // Filling stops at the second entry of a field at the latest,
            // so only the first two are kept, and only the first one's
            // value.
            const auto field = field_named(key);
            const std::size_t seen = field ? times_seen_[static_cast<std::size_t>(*field)]++ : 2;
            if (seen == 0) return read_field_value(entries_.emplace_back(Entry{*field, {}}).value);
            if (seen == 1) entries_.push_back(Entry{*field, {}});
            return reader_.skip_value();
        };
        if (!reader_.for_each_member(member, check)) return false;
        if (!variant_) return reader_.fail_message("missing field `type`");
        return true;
    }

    bool read_array() {
        bool first = true;
        int ahead = reader_.next_element(first);
        if (ahead < 0) return false;
        if (ahead == 0) {
            reader_.close_container();
            return reader_.fail_message("missing field `type`");
        }
        if (!read_tag()) return false;
        const std::size_t wanted = shape(*variant_).count;
        for (;;) {
            ahead = reader_.next_element(first);
            if (ahead < 0) return false;
            if (ahead == 0) break;
            if (elements_ < wanted) {
                if (!read_field_value(positional_[elements_])) return false;
            } else if (!reader_.skip_value()) {
                return false;
            }
            ++elements_;
        }
        reader_.close_container();
        return true;
    }

    bool read_tag() {
        Value value;
        if (!reader_.read_value(value, Containers::Recognise, Strings::Keep)) return false;
        if (value.kind != Kind::String) return reader_.fail_invalid_type(value, "variant identifier");
        const std::string_view tag = reader_.view(value.str);
        constexpr const auto& tags = protocol::wire_types<Request>;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (tags[i] == tag) {
                variant_ = static_cast<Variant>(i);
                return true;
            }
        }
        std::string message = "unknown variant `" + std::string(tag) + "`, expected one of ";
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (i > 0) message += ", ";
            (message += '`') += tags[i];
            message += '`';
        }
        return reader_.fail_message(std::move(message));
    }

    bool read_field_value(FieldValue& held) {
        if (!reader_.read_value(held.value, Containers::Open, Strings::Keep)) return false;
        if (held.value.kind == Kind::Map) return reader_.finish_container(Kind::Map);
        if (held.value.kind != Kind::Seq) return true;
        held.first_item = items_.size();
        bool first = true;
        for (;;) {
            const int ahead = reader_.next_element(first);
            if (ahead < 0) return false;
            if (ahead == 0) break;
            Value item;
            // Once an element is not a string, the rest are only checked.
            const Strings strings = held.odd_item ? Strings::Check : Strings::Keep;
            if (!reader_.read_value(item, Containers::Open, strings)) return false;
            if (item.kind == Kind::Seq || item.kind == Kind::Map) {
                if (!reader_.finish_container(item.kind)) return false;
            }
            if (held.odd_item) continue;
            if (item.kind == Kind::String) {
                items_.push_back(item.str);
                ++held.item_count;
            } else {
                held.odd_item = item;
            }
        }
        reader_.close_container();
        return true;
    }

    // ------------------------------------------------------------ filling

    struct Fields {
        std::string html;
        float width = 0;
        float scale = 0;
        std::vector<std::string> scripts;
        std::string result;
        std::array<bool, field_count> set{};
    };

    // Tests one set-aside value against its field and moves it in; returns
    // the error text, or nothing.
    std::optional<std::string> set(Fields& out, Field field, const FieldValue& held) {
        const Value& v = held.value;
        switch (field) {
            case Field::Html:
            case Field::Result:
                if (v.kind != Kind::String) return reader_.invalid_type(v, "a string");
                (field == Field::Html ? out.html : out.result) = reader_.take(v.str);
                break;
            case Field::Width:
            case Field::Scale:
                if (!v.is_number()) return reader_.invalid_type(v, "f32");
                (field == Field::Width ? out.width : out.scale) = v.f32;
                break;
            case Field::Scripts:
                if (v.kind != Kind::Seq) return reader_.invalid_type(v, "a sequence");
                if (held.odd_item) return reader_.invalid_type(*held.odd_item, "a string");
                out.scripts.reserve(held.item_count);
                for (std::size_t i = 0; i < held.item_count; ++i)
                    out.scripts.push_back(reader_.take(items_[held.first_item + i]));
                break;
        }
        out.set[static_cast<std::size_t>(field)] = true;
        return std::nullopt;
    }

    Expected<Request, DecodeError> fill() {
        const Variant variant = *variant_;
        const Shape& s = shape(variant);
        Fields fields;
        if (array_form_) {
            for (std::size_t i = 0; i < s.count; ++i) {
                if (i >= elements_)
                    return failure("invalid length " + std::to_string(elements_) + ", expected " +
                                   std::string(s.struct_text));
                if (auto error = set(fields, s.fields[i], positional_[i])) return failure(std::move(*error));
            }
            if (elements_ > s.count)
                return failure("invalid length " + std::to_string(elements_) + ", expected " +
                               std::to_string(s.count) + " elements in sequence");
        } else {
            for (const Entry& entry : entries_) {
                if (!has_field(variant, entry.field)) continue;
                if (fields.set[static_cast<std::size_t>(entry.field)])
                    return failure("duplicate field `" + std::string(name(entry.field)) + "`");
                if (auto error = set(fields, entry.field, entry.value)) return failure(std::move(*error));
            }
            for (std::size_t i = 0; i < s.count; ++i) {
                if (!fields.set[static_cast<std::size_t>(s.fields[i])])
                    return failure("missing field `" + std::string(name(s.fields[i])) + "`");
            }
        }
        switch (variant) {
            case Variant::RenderLog: return Request{RenderLog{std::move(fields.html), fields.width, fields.scale}};
            case Variant::RenderImage: return Request{RenderImage{std::move(fields.html), fields.scale}};
            case Variant::Evaluate: return Request{Evaluate{std::move(fields.scripts), std::move(fields.result)}};
        }
        return failure("unknown variant");  // not reached: the switch names every Variant
    }

    json::Reader reader_;
    std::optional<Variant> variant_;
    bool array_form_ = false;
    std::vector<Entry> entries_;          // object form
    std::array<std::size_t, field_count> times_seen_{};
    std::array<FieldValue, max_fields> positional_;  // array form
    std::size_t elements_ = 0;            // array form: field elements present
    std::vector<StrRef> items_;           // string elements of set-aside arrays
};

}  // namespace

Expected<Request, DecodeError> parse_request(std::string_view line) { return Decoder(line).run(); }

}  // namespace qor_webview::protocol
