// Any text reads to a measurement or to a positioned script error.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qor_webview/measured.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto measured = qor_webview::parse_measured(text);
    if (!measured) {
        const auto* script = std::get_if<qor_webview::Error::Script>(&measured.error().get());
        if (script == nullptr || script->message.find(" at line ") == std::string::npos) std::abort();
    }
    return 0;
}
