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
#include <utility>
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

// What read_value does with an array or object ahead: opens it, or only
// names its kind and leaves it unread.
enum class Containers : bool { Recognise, Open };
// What read_value does with a string: keeps it for view() and take(), or
// only checks it.
enum class Strings : bool { Check, Keep };

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

    // Reads the value ahead. An array or object is opened (its depth
    // counted) and left for the caller to go through or to finish, or only
    // recognised, with nothing consumed. A string is kept for view() and
    // take(), or only checked.
    bool read_value(Value& value, Containers containers, Strings strings);

    // Reads and drops one whole value.
    bool skip_value();

    // Reads the rest of a container just opened (Seq or Map), without
    // keeping anything.
    bool finish_container(Kind kind);

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

    // Walks the members of the object just opened, its closing brace
    // included. For each key, `check(key)` runs first, with the reader
    // standing right after the key, and may stop the walk with an error of
    // its own; then the colon is read and `member(key)` reads (or skips) the
    // value. Both return false on error. The key is a view that the next
    // string read may invalidate: look at it before reading the value.
    template <class Member, class Check>
    bool for_each_member(Member&& member, Check&& check) {
        bool first = true;
        for (;;) {
            StrRef key;
            const int ahead = next_key(first, &key);
            if (ahead < 0) return false;
            if (ahead == 0) break;
            const std::string_view text = view(key);
            if (!check(text) || !colon() || !member(text)) return false;
        }
        close_container();
        return true;
    }
    template <class Member>
    bool for_each_member(Member&& member) {
        return for_each_member(std::forward<Member>(member), [](std::string_view) { return true; });
    }

    // Fails with an error about the object as a whole (a duplicate key),
    // placed where the reader stands once it has looked for the object's
    // end.
    bool fail_in_object(std::string message);

    // "invalid type: <the value>, expected <expected>".
    std::string invalid_type(const Value& value, std::string_view expected) const;
    bool fail_invalid_type(const Value& value, std::string_view expected) {
        return fail_message(invalid_type(value, expected));
    }

    std::string_view view(const StrRef& s) const noexcept;
    // The string as an owned text; decoded strings are moved out, so each
    // is taken at most once.
    std::string take(const StrRef& s);

private:
    // The reader's description of a value in "invalid type" messages.
    std::string describe(const Value& value) const;

    bool read_ident(std::string_view rest);
    enum class Sign : bool { Positive, Negative };
    bool read_number(Value& value, Sign sign);
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
