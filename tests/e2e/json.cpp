#include "json.hpp"

#include <charconv>
#include <cmath>

namespace qor_webview::e2e {

namespace {

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<Json> whole() {
        skip_space();
        auto value = read_value(0);
        skip_space();
        if (!value || pos_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    static constexpr int max_depth = 256;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    void skip_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    std::optional<Json> read_value(int depth) {
        if (at_end() || depth > max_depth) return std::nullopt;
        switch (peek()) {
            case '{': return read_object(depth);
            case '[': return read_array(depth);
            case '"': {
                auto s = read_string();
                if (!s) return std::nullopt;
                return Json{std::move(*s)};
            }
            case 't': return literal("true") ? std::optional<Json>(Json{true}) : std::nullopt;
            case 'f': return literal("false") ? std::optional<Json>(Json{false}) : std::nullopt;
            case 'n': return literal("null") ? std::optional<Json>(Json{nullptr}) : std::nullopt;
            default: return read_number();
        }
    }

    std::optional<Json> read_object(int depth) {
        ++pos_;
        Json::Object object;
        skip_space();
        if (!at_end() && peek() == '}') {
            ++pos_;
            return Json{std::move(object)};
        }
        for (;;) {
            skip_space();
            if (at_end() || peek() != '"') return std::nullopt;
            auto key = read_string();
            if (!key) return std::nullopt;
            skip_space();
            if (at_end() || peek() != ':') return std::nullopt;
            ++pos_;
            skip_space();
            auto value = read_value(depth + 1);
            if (!value) return std::nullopt;
            object.push_back(Json::Member{std::move(*key), std::move(*value)});
            skip_space();
            if (at_end()) return std::nullopt;
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() != '}') return std::nullopt;
            ++pos_;
            return Json{std::move(object)};
        }
    }

    std::optional<Json> read_array(int depth) {
        ++pos_;
        Json::Array array;
        skip_space();
        if (!at_end() && peek() == ']') {
            ++pos_;
            return Json{std::move(array)};
        }
        for (;;) {
            skip_space();
            auto value = read_value(depth + 1);
            if (!value) return std::nullopt;
            array.push_back(std::move(*value));
            skip_space();
            if (at_end()) return std::nullopt;
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() != ']') return std::nullopt;
            ++pos_;
            return Json{std::move(array)};
        }
    }

    std::optional<Json> read_number() {
        const std::size_t start = pos_;
        auto digits = [&] {
            const std::size_t from = pos_;
            while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_;
            return pos_ > from;
        };
        if (!at_end() && peek() == '-') ++pos_;
        if (at_end()) return std::nullopt;
        if (peek() == '0') {
            ++pos_;
        } else if (!digits()) {
            return std::nullopt;
        }
        if (!at_end() && peek() == '.') {
            ++pos_;
            if (!digits()) return std::nullopt;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
            if (!digits()) return std::nullopt;
        }
        Json::Number number;
        number.text = std::string(text_.substr(start, pos_ - start));
        const auto [ptr, ec] =
            std::from_chars(number.text.data(), number.text.data() + number.text.size(), number.value);
        if (ptr != number.text.data() + number.text.size()) return std::nullopt;
        if (ec == std::errc::result_out_of_range) {
            number.value = number.text.front() == '-' ? -HUGE_VAL : HUGE_VAL;
        } else if (ec != std::errc{}) {
            return std::nullopt;
        }
        return Json{std::move(number)};
    }

    std::optional<unsigned> read_hex4() {
        if (text_.size() - pos_ < 4) return std::nullopt;
        unsigned value = 0;
        const char* first = text_.data() + pos_;
        const auto [ptr, ec] = std::from_chars(first, first + 4, value, 16);
        if (ec != std::errc{} || ptr != first + 4) return std::nullopt;
        pos_ += 4;
        return value;
    }

    static void append_utf8(std::string& out, unsigned cp) {
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

    // Length of the valid UTF-8 sequence at pos_, 0 if invalid.
    std::size_t utf8_length() const {
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text_[pos_ + i]); };
        const std::size_t left = text_.size() - pos_;
        const unsigned c = b(0);
        if (c < 0x80) return 1;
        const auto cont = [&](std::size_t i) { return i < left && (b(i) & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
        if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(1) || !cont(2)) return 0;
            if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
            if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
            return 3;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return 0;
            if (c == 0xF0 && b(1) < 0x90) return 0;
            if (c == 0xF4 && b(1) >= 0x90) return 0;
            return 4;
        }
        return 0;
    }

    std::optional<std::string> read_string() {
        ++pos_;
        std::string out;
        for (;;) {
            if (at_end()) return std::nullopt;
            const char c = peek();
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                const std::size_t n = utf8_length();
                if (n == 0) return std::nullopt;
                out.append(text_.substr(pos_, n));
                pos_ += n;
                continue;
            }
            ++pos_;
            if (at_end()) return std::nullopt;
            const char e = peek();
            ++pos_;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    auto cp = read_hex4();
                    if (!cp) return std::nullopt;
                    if (*cp >= 0xDC00 && *cp <= 0xDFFF) return std::nullopt;
                    if (*cp >= 0xD800 && *cp <= 0xDBFF) {
                        if (!literal("\\u")) return std::nullopt;
                        auto low = read_hex4();
                        if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                        *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    append_utf8(out, *cp);
                    break;
                }
                default: return std::nullopt;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

const Json* Json::get(std::string_view key) const {
    const auto* o = object();
    if (o == nullptr) return nullptr;
    for (const auto& [k, v] : *o) {
        if (k == key) return &v;
    }
    return nullptr;
}

std::optional<std::string> Json::text_at(std::initializer_list<std::string_view> keys) const {
    const Json* at = this;
    for (const auto key : keys) {
        at = at->get(key);
        if (at == nullptr) return std::nullopt;
    }
    if (const auto* s = at->string()) return *s;
    return std::nullopt;
}

std::optional<Json> parse_json(std::string_view text) { return JsonReader(text).whole(); }

std::optional<std::string> answer_type(std::string_view line) {
    const auto json = parse_json(line);
    if (!json || json->object() == nullptr || json->object()->empty()) return std::nullopt;
    const auto& [key, value] = json->object()->front();
    if (key != "type" || value.string() == nullptr) return std::nullopt;
    return *value.string();
}

}  // namespace qor_webview::e2e
