#include "json_reader.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "float_format.hpp"
#include "qor_webview/internal/utf8.hpp"
#include "scan.hpp"

namespace qor_webview::json {

std::string_view syntax_text(Syntax code) noexcept {
    switch (code) {
        case Syntax::EofWhileParsingList: return "EOF while parsing a list";
        case Syntax::EofWhileParsingObject: return "EOF while parsing an object";
        case Syntax::EofWhileParsingString: return "EOF while parsing a string";
        case Syntax::EofWhileParsingValue: return "EOF while parsing a value";
        case Syntax::ExpectedColon: return "expected `:`";
        case Syntax::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case Syntax::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case Syntax::ExpectedSomeIdent: return "expected ident";
        case Syntax::ExpectedSomeValue: return "expected value";
        case Syntax::ExpectedDoubleQuote: return "expected `\"`";
        case Syntax::InvalidEscape: return "invalid escape";
        case Syntax::InvalidNumber: return "invalid number";
        case Syntax::NumberOutOfRange: return "number out of range";
        case Syntax::InvalidUnicodeCodePoint: return "invalid unicode code point";
        case Syntax::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case Syntax::KeyMustBeAString: return "key must be a string";
        case Syntax::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case Syntax::TrailingComma: return "trailing comma";
        case Syntax::TrailingCharacters: return "trailing characters";
        case Syntax::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
        case Syntax::RecursionLimitExceeded: return "recursion limit exceeded";
    }
    return "invalid json";
}

namespace {

bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The nearest float to a finite double, infinite beyond the float range.
float narrow(double d) noexcept {
    // Halfway between the largest float and the next power of two: from
    // there on the nearest value is infinity.
    constexpr double overflow_edge = 0x1.ffffffp127;
    const double a = std::fabs(d);
    if (a >= overflow_edge) return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    if (a > static_cast<double>(std::numeric_limits<float>::max()))
        return d > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
    return static_cast<float>(d);
}

// Whether a number that does not fit a double is too large (rather than
// too small): the decimal place of its first significant digit decides.
bool too_large(std::string_view number) noexcept {
    std::size_t i = number.front() == '-' ? 1 : 0;
    long long place = 0;
    bool significant = false;
    while (i < number.size() && is_digit(static_cast<unsigned char>(number[i]))) {
        if (significant || number[i] != '0') {
            significant = true;
            ++place;
        }
        ++i;
    }
    if (i < number.size() && number[i] == '.') {
        ++i;
        while (i < number.size() && is_digit(static_cast<unsigned char>(number[i]))) {
            if (significant) break;
            if (number[i] != '0') {
                significant = true;
                break;
            }
            --place;
            ++i;
        }
        while (i < number.size() && is_digit(static_cast<unsigned char>(number[i]))) ++i;
    }
    if (!significant) return false;
    long long exponent = 0;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        bool negative = false;
        if (number[i] == '+' || number[i] == '-') negative = number[i++] == '-';
        for (; i < number.size(); ++i) exponent = std::min(exponent * 10 + (number[i] - '0'), 1'000'000'000LL);
        if (negative) exponent = -exponent;
    }
    return place + exponent > 0;
}

void append_debug_quoted(std::string& out, std::string_view s) {
    constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{";
                    if (c >= 0x10) out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 0xF]);
                    out.push_back('}');
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

}  // namespace

Reader::Reader(std::string_view text) noexcept
    : text_(text), bytes_(reinterpret_cast<const unsigned char*>(text.data())) {}

int Reader::peek_ws() noexcept {
    const std::size_t n = text_.size();
    while (pos_ < n) {
        const unsigned char c = bytes_[pos_];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c;
        ++pos_;
    }
    return -1;
}

// ------------------------------------------------------------------ errors

std::string Reader::position_suffix(std::size_t at) const {
    const std::string_view before = text_.substr(0, at);
    const std::size_t last_feed = before.rfind('\n');
    const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
    return " at line " + std::to_string(line) + " column " + std::to_string(at - line_start);
}

bool Reader::fail_at(Syntax code, std::size_t at) {
    message_.assign(syntax_text(code));
    message_ += position_suffix(at);
    return false;
}

// Columns count the bytes of the line up to and including the last one the
// reader consumed; a peeking error also counts the byte it looked at.
bool Reader::fail(Syntax code) { return fail_at(code, pos_); }

bool Reader::fail_peek(Syntax code) { return fail_at(code, std::min(pos_ + 1, text_.size())); }

bool Reader::fail_message(std::string message) {
    message_ = std::move(message);
    message_ += position_suffix(pos_);
    return false;
}

bool Reader::fail_in_object(std::string message) {
    if (peek_ws() == '}') close_container();
    return fail_message(std::move(message));
}

std::string Reader::invalid_type(const Value& value, std::string_view expected) const {
    std::string text = "invalid type: ";
    text += describe(value);
    text += ", expected ";
    text += expected;
    return text;
}

// ------------------------------------------------------------------ values

bool Reader::read_value(Value& value, Containers containers, Strings strings) {
    const int c = peek_ws();
    switch (c) {
        case -1: return fail_peek(Syntax::EofWhileParsingValue);
        case 'n':
            bump();
            value.kind = Kind::Null;
            return read_ident("ull");
        case 't':
            bump();
            value.kind = Kind::Bool;
            value.boolean = true;
            return read_ident("rue");
        case 'f':
            bump();
            value.kind = Kind::Bool;
            value.boolean = false;
            return read_ident("alse");
        case '-': bump(); return read_number(value, Sign::Negative);
        case '"':
            bump();
            value.kind = Kind::String;
            return read_string(strings == Strings::Keep ? &value.str : nullptr);
        case '[':
        case '{':
            value.kind = c == '[' ? Kind::Seq : Kind::Map;
            if (containers == Containers::Recognise) return true;
            if (depth_ >= depth_limit) return fail_peek(Syntax::RecursionLimitExceeded);
            ++depth_;
            bump();
            return true;
        default:
            if (is_digit(static_cast<unsigned char>(c))) return read_number(value, Sign::Positive);
            return fail_peek(Syntax::ExpectedSomeValue);
    }
}

bool Reader::skip_value() {
    Value value;
    if (!read_value(value, Containers::Open, Strings::Check)) return false;
    if (value.kind == Kind::Seq || value.kind == Kind::Map) return finish_container(value.kind);
    return true;
}

bool Reader::finish_container(Kind kind) {
    // One frame per container open inside this one; the depth limit bounds
    // their number, so no frame is ever pushed past the end.
    constexpr std::uint8_t is_object = 1;
    constexpr std::uint8_t is_first = 2;
    std::array<std::uint8_t, depth_limit + 1> frames;
    std::size_t top = 0;
    frames[top++] = static_cast<std::uint8_t>((kind == Kind::Map ? is_object : 0) | is_first);
    while (top > 0) {
        std::uint8_t& frame = frames[top - 1];
        bool first = (frame & is_first) != 0;
        const bool in_object = (frame & is_object) != 0;
        const int ahead = in_object ? next_key(first, nullptr) : next_element(first);
        if (ahead < 0) return false;
        if (!first) frame = static_cast<std::uint8_t>(frame & ~is_first);
        if (ahead == 0) {
            close_container();
            --top;
            continue;
        }
        if (in_object && !colon()) return false;
        Value value;
        if (!read_value(value, Containers::Open, Strings::Check)) return false;
        if (value.kind == Kind::Seq || value.kind == Kind::Map)
            frames[top++] = static_cast<std::uint8_t>((value.kind == Kind::Map ? is_object : 0) | is_first);
    }
    return true;
}

int Reader::next_element(bool& first) {
    int c = peek_ws();
    if (c == ']') return 0;
    if (c < 0) { fail_peek(Syntax::EofWhileParsingList); return -1; }
    if (!first) {
        if (c != ',') { fail_peek(Syntax::ExpectedListCommaOrEnd); return -1; }
        bump();
        c = peek_ws();
        if (c == ']') { fail_peek(Syntax::TrailingComma); return -1; }
        if (c < 0) { fail_peek(Syntax::EofWhileParsingValue); return -1; }
    }
    first = false;
    return 1;
}

int Reader::next_key(bool& first, StrRef* key) {
    int c = peek_ws();
    if (c == '}') return 0;
    if (c < 0) { fail_peek(Syntax::EofWhileParsingObject); return -1; }
    if (!first) {
        if (c != ',') { fail_peek(Syntax::ExpectedObjectCommaOrEnd); return -1; }
        bump();
        c = peek_ws();
        if (c == '}') { fail_peek(Syntax::TrailingComma); return -1; }
        if (c < 0) { fail_peek(Syntax::EofWhileParsingValue); return -1; }
    }
    first = false;
    if (c != '"') { fail_peek(Syntax::KeyMustBeAString); return -1; }
    bump();
    return read_string(key) ? 1 : -1;
}

bool Reader::colon() {
    const int c = peek_ws();
    if (c == ':') {
        bump();
        return true;
    }
    return fail_peek(c < 0 ? Syntax::EofWhileParsingObject : Syntax::ExpectedColon);
}

bool Reader::read_ident(std::string_view rest) {
    for (const char expected : rest) {
        if (pos_ == text_.size()) return fail(Syntax::EofWhileParsingValue);
        if (text_[pos_++] != expected) return fail(Syntax::ExpectedSomeIdent);
    }
    return true;
}

// ----------------------------------------------------------------- numbers

bool Reader::read_number(Value& value, Sign sign) {
    const bool negative = sign == Sign::Negative;
    const std::size_t n = text_.size();
    const std::size_t start = negative ? pos_ - 1 : pos_;
    if (pos_ == n) return fail(Syntax::EofWhileParsingValue);

    std::uint64_t significand = 0;
    bool overflow = false;
    const unsigned char lead = bytes_[pos_++];
    if (lead == '0') {
        if (pos_ < n && is_digit(bytes_[pos_])) return fail_peek(Syntax::InvalidNumber);
    } else if (is_digit(lead)) {
        significand = lead - '0';
        constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        while (pos_ < n && is_digit(bytes_[pos_])) {
            const unsigned digit = bytes_[pos_++] - '0';
            if (!overflow) {
                if (significand > (max - digit) / 10)
                    overflow = true;
                else
                    significand = significand * 10 + digit;
            }
        }
    } else {
        return fail(Syntax::InvalidNumber);
    }

    bool integral = true;
    if (pos_ < n && bytes_[pos_] == '.') {
        ++pos_;
        const std::size_t first_digit = pos_;
        while (pos_ < n && is_digit(bytes_[pos_])) ++pos_;
        if (pos_ == first_digit)
            return fail_peek(pos_ < n ? Syntax::InvalidNumber : Syntax::EofWhileParsingValue);
        integral = false;
    }
    if (pos_ < n && (bytes_[pos_] == 'e' || bytes_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < n && (bytes_[pos_] == '+' || bytes_[pos_] == '-')) ++pos_;
        if (pos_ == n) return fail(Syntax::EofWhileParsingValue);
        if (!is_digit(bytes_[pos_++])) return fail(Syntax::InvalidNumber);
        while (pos_ < n && is_digit(bytes_[pos_])) ++pos_;
        integral = false;
    }

    if (integral && !overflow) {
        // Integers convert straight to the nearest float, never through a
        // double, so that no value is rounded twice.
        constexpr std::uint64_t signed_limit = std::uint64_t{1} << 63;
        if (!negative) {
            value.kind = Kind::Unsigned;
            value.magnitude = significand;
            value.f32 = static_cast<float>(significand);
        } else if (significand == 0) {
            value.kind = Kind::Float;
            value.real = -0.0;
            value.f32 = -0.0f;
        } else if (significand <= signed_limit) {
            value.kind = Kind::Signed;
            value.magnitude = significand;
            value.f32 = -static_cast<float>(significand);
        } else {
            value.kind = Kind::Float;
            value.real = -static_cast<double>(significand);
            value.f32 = -static_cast<float>(significand);
        }
        return true;
    }

    const std::string_view number = text_.substr(start, pos_ - start);
    const char* const first = number.data();
    const char* const last = first + number.size();
    double real = 0;
    const auto parsed = std::from_chars(first, last, real);
    if (parsed.ec == std::errc::result_out_of_range) {
        if (too_large(number)) return fail(Syntax::NumberOutOfRange);
        real = negative ? -0.0 : 0.0;
    } else if (parsed.ec != std::errc{} || parsed.ptr != last) {
        return fail(Syntax::InvalidNumber);
    }
    value.kind = Kind::Float;
    value.real = real;
    if (integral) {
        // Too long for 64 bits, yet still an integer: round it to a float
        // directly; only overflow can put it out of the float range.
        float single = 0;
        const auto narrowed = std::from_chars(first, last, single);
        value.f32 = narrowed.ec == std::errc::result_out_of_range
                        ? (negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity())
                        : single;
    } else {
        value.f32 = narrow(real);
    }
    return true;
}

// ----------------------------------------------------------------- strings

bool Reader::read_string(StrRef* out) {
    const std::size_t n = text_.size();
    std::size_t run_start = pos_;
    std::string* decoded = nullptr;
    for (;;) {
        pos_ = scan::find_string_special(bytes_, pos_, n);
        if (pos_ == n) return fail(Syntax::EofWhileParsingString);
        const unsigned char c = bytes_[pos_];
        if (c == '"') {
            if (out != nullptr) {
                if (decoded == nullptr) {
                    *out = StrRef{run_start, pos_ - run_start, StrRef::in_text};
                } else {
                    decoded->append(text_.substr(run_start, pos_ - run_start));
                    out->offset = 0;
                    out->size = decoded->size();
                }
            }
            ++pos_;
            return true;
        }
        if (c == '\\') {
            if (out != nullptr) {
                if (decoded == nullptr) {
                    decoded = &decoded_.emplace_back();
                    out->owned = static_cast<std::uint32_t>(decoded_.size() - 1);
                }
                decoded->append(text_.substr(run_start, pos_ - run_start));
            }
            ++pos_;
            if (!read_escape(decoded)) return false;
            run_start = pos_;
            continue;
        }
        if (c < 0x20) {
            ++pos_;
            return fail(Syntax::ControlCharacterWhileParsingString);
        }
        const std::size_t length = utf8::sequence_length(bytes_ + pos_, n - pos_);
        if (length == 0) {
            ++pos_;
            return fail(Syntax::InvalidUnicodeCodePoint);
        }
        pos_ += length;
    }
}

bool Reader::read_hex(std::uint32_t& unit) {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return fail(Syntax::EofWhileParsingString);
    }
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = bytes_[pos_++];
        std::uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return fail(Syntax::InvalidEscape);
        unit = unit << 4 | digit;
    }
    return true;
}

bool Reader::read_escape(std::string* out) {
    const std::size_t n = text_.size();
    if (pos_ == n) return fail(Syntax::EofWhileParsingString);
    char plain;
    switch (bytes_[pos_++]) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
            std::uint32_t unit;
            if (!read_hex(unit)) return false;
            if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(Syntax::LoneLeadingSurrogateInHexEscape);
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                // A leading surrogate must be followed by the escape of a
                // trailing one.
                for (const char expected : {'\\', 'u'}) {
                    if (pos_ == n) return fail(Syntax::EofWhileParsingString);
                    if (text_[pos_++] != expected) return fail(Syntax::UnexpectedEndOfHexEscape);
                }
                std::uint32_t trail;
                if (!read_hex(trail)) return false;
                if (trail < 0xDC00 || trail > 0xDFFF) return fail(Syntax::LoneLeadingSurrogateInHexEscape);
                unit = 0x10000 + ((unit - 0xD800) << 10 | (trail - 0xDC00));
            }
            if (out != nullptr) append_utf8(*out, unit);
            return true;
        }
        default: return fail(Syntax::InvalidEscape);
    }
    if (out != nullptr) out->push_back(plain);
    return true;
}

std::string_view Reader::view(const StrRef& s) const noexcept {
    if (s.owned != StrRef::in_text) return decoded_[s.owned];
    return text_.substr(s.offset, s.size);
}

std::string Reader::take(const StrRef& s) {
    if (s.owned != StrRef::in_text) return std::move(decoded_[s.owned]);
    return std::string(text_.substr(s.offset, s.size));
}

std::string Reader::describe(const Value& value) const {
    switch (value.kind) {
        case Kind::Null: return "null";
        case Kind::Bool: return value.boolean ? "boolean `true`" : "boolean `false`";
        case Kind::Unsigned: return "integer `" + std::to_string(value.magnitude) + "`";
        case Kind::Signed: return "integer `-" + std::to_string(value.magnitude) + "`";
        case Kind::Float: {
            char text[detail::float_text_capacity];
            const std::size_t size = detail::format_f64(text, value.real);
            return "floating point `" + std::string(text, size) + "`";
        }
        case Kind::String: {
            std::string out = "string ";
            append_debug_quoted(out, view(value.str));
            return out;
        }
        case Kind::Seq: return "sequence";
        case Kind::Map: return "map";
    }
    return "value";
}

}  // namespace qor_webview::json
