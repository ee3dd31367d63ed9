// A strict, non-recursive JSON reader over one text held in memory.
//
// It reads the way the decoders need it: a value at a time, containers
// element by element, with nesting bounded by a depth count rather than by the
// native stack. Strings without escapes stay views into the text; only
// escaped ones are decoded into storage of their own. Every syntax error is
// positioned; the first error ends the reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qor_webview::json {

enum class Syntax : std::uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    ExpectedDoubleQuote,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidUnicodeCodePoint,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimitExceeded,
};

std::string_view syntax_text(Syntax code) noexcept;

// Arrays and objects open at once, the outermost included.
inline constexpr std::size_t depth_limit = 127;

// A string read from the text: a view into it, or decoded storage.
struct StrRef {
    static constexpr std::uint32_t in_text = UINT32_MAX;
    std::size_t offset = 0;
    std::size_t size = 0;
    std::uint32_t owned = in_text;  // index into the reader's decoded strings
};

enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Seq, Map };

struct Value {
    Kind kind = Kind::Null;
    bool boolean = false;
    std::uint64_t magnitude = 0;  // Unsigned: the value; Signed: its magnitude
    double real = 0;              // Float
    float f32 = 0;                // any number, as the nearest single-precision value
    StrRef str;                   // String

    bool is_number() const noexcept {
        return kind == Kind::Unsigned || kind == Kind::Signed || kind == Kind::Float;
    }
};

class Reader {
public:
    explicit Reader(std::string_view text) noexcept;

    // Skips whitespace and returns the next byte, or -1 at the end.
    int peek_ws() noexcept;
    // Steps over the byte that peek_ws returned.
    void bump() noexcept { ++pos_; }

    // Records an error positioned where the reader stands, or counting the
    // byte it has looked at; both return false for `return fail(...)`.
    bool fail(Syntax code);
    bool fail_peek(Syntax code);
    bool fail_message(std::string message);
    std::string take_message() { return std::move(message_); }

    // Reads the value ahead. With `open`, an array or object is opened (its
    // depth counted) and left for the caller to go through or to finish;
    // without, it is only recognised and nothing is consumed. With `keep`,
    // a string is kept for view() and take(); otherwise only checked.
    bool read_value(Value& value, bool open, bool keep);

    // Reads and drops one whole value.
    bool skip_value();

    // Reads the rest of a container just opened, without keeping anything.
    bool finish_container(bool object);

    // In an open array: 1 when an element lies ahead, 0 before the closing
    // bracket, -1 on error. `first` tracks whether a comma is due.
    int next_element(bool& first);
    // In an open object: 1 when a key was read (into `key` if not null),
    // 0 before the closing brace, -1 on error.
    int next_key(bool& first, StrRef* key);
    bool colon();
    // Steps over the closing bracket or brace that next_element or
    // next_key stopped at.
    void close_container() noexcept {
        ++pos_;
        --depth_;
    }

    std::string_view view(const StrRef& s) const noexcept;
    // The string as an owned text; decoded strings are moved out, so each
    // is taken at most once.
    std::string take(const StrRef& s);

    // The reader's description of a value in "invalid type" messages.
    std::string describe(const Value& value) const;

private:
    bool read_ident(std::string_view rest);
    bool read_number(Value& value, bool negative);
    bool read_string(StrRef* out);
    bool read_escape(std::string* out);
    bool read_hex(std::uint32_t& unit);
    bool fail_at(Syntax code, std::size_t at);
    std::string position_suffix(std::size_t at) const;

    std::string_view text_;
    const unsigned char* bytes_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
    std::string message_;
    std::vector<std::string> decoded_;
};

}  // namespace qor_webview::json
