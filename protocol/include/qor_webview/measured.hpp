// What the measuring script reports about a laid-out document.
#pragma once

#include <string_view>

#include "qor_webview/error.hpp"
#include "qor_webview/expected.hpp"
#include "qor_webview/export.hpp"

namespace qor_webview {

struct Measured {
    float body = 0;    // the body's scroll height, 0 without a body
    float width = 0;   // largest scroll/offset width of body and root
    float height = 0;  // largest scroll/offset height of body and root
    friend bool operator==(const Measured&, const Measured&) = default;
};

// Reads the measuring script's JSON text. Every failure is the `Script` case,
// its message ending with the reader's position.
QOR_WEBVIEW_API Expected<Measured, Error> parse_measured(std::string_view text);

}  // namespace qor_webview
