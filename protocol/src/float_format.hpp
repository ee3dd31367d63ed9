// Shortest round-trip printing of floats in the layout of answer lines.
#pragma once

#include <cstddef>

namespace qor_webview::detail {

// Room enough for any float or double in this layout.
inline constexpr std::size_t float_text_capacity = 48;

// Writes `value` at `out` ("800.0", "1e-7", "3.4028235e+38", "-0.0",
// "null") and returns the number of characters written.
std::size_t format_f32(char* out, float value) noexcept;

// The same layout for a double, used where the reader describes a number.
std::size_t format_f64(char* out, double value) noexcept;

}  // namespace qor_webview::detail
