#include "float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "qor_webview/protocol.hpp"

namespace qor_webview::detail {
namespace {

template <class T>
std::size_t format_shortest(char* const out, T value) noexcept {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    char* p = out;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (value == 0) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p + 3 - out);
    }

    // The scientific form of to_chars gives the shortest digits that read
    // back as the same value, and their exponent, whatever the locale.
    char sci[float_text_capacity];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* const end = res.ptr;
    const char* const e_mark = static_cast<const char*>(std::memchr(sci, 'e', static_cast<std::size_t>(end - sci)));

    char digits[float_text_capacity];
    std::size_t count = 0;
    for (const char* q = sci; q < e_mark; ++q) {
        if (*q != '.') digits[count++] = *q;
    }
    while (count > 1 && digits[count - 1] == '0') --count;

    const char* exp_begin = e_mark + 1;
    bool exp_negative = false;
    if (*exp_begin == '+' || *exp_begin == '-') {
        exp_negative = *exp_begin == '-';
        ++exp_begin;
    }
    int exponent = 0;
    std::from_chars(exp_begin, end, exponent);
    if (exp_negative) exponent = -exponent;

    if (exponent >= -6 && exponent <= 12) {
        if (exponent < 0) {
            *p++ = '0';
            *p++ = '.';
            for (int i = 0; i < -exponent - 1; ++i) *p++ = '0';
            std::memcpy(p, digits, count);
            p += count;
        } else {
            const auto before_point = static_cast<std::size_t>(exponent) + 1;
            if (count > before_point) {
                std::memcpy(p, digits, before_point);
                p += before_point;
                *p++ = '.';
                std::memcpy(p, digits + before_point, count - before_point);
                p += count - before_point;
            } else {
                std::memcpy(p, digits, count);
                p += count;
                for (std::size_t i = count; i < before_point; ++i) *p++ = '0';
                *p++ = '.';
                *p++ = '0';
            }
        }
    } else {
        *p++ = digits[0];
        if (count > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, count - 1);
            p += count - 1;
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        p = std::to_chars(p, out + float_text_capacity, exponent < 0 ? -exponent : exponent).ptr;
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace

std::size_t format_f32(char* out, float value) noexcept { return format_shortest(out, value); }

std::size_t format_f64(char* out, double value) noexcept { return format_shortest(out, value); }

}  // namespace qor_webview::detail

namespace qor_webview::protocol {

void append_f32(std::string& out, float value) {
    char text[detail::float_text_capacity];
    out.append(text, detail::format_f32(text, value));
}

}  // namespace qor_webview::protocol
