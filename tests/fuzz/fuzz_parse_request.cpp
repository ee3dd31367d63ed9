// Any line decodes to a request or to an error; never a crash. An error
// read from the line ends with its position, one found later does not.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qor_webview/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto decoded = qor_webview::protocol::parse_request(line);
    if (!decoded) {
        const std::string& message = decoded.error().message;
        if (message.empty()) std::abort();
        const bool positioned = message.find(" at line ") != std::string::npos;
        const bool field_error = message.starts_with("missing field") || message.starts_with("duplicate field") ||
                                 message.starts_with("invalid type") || message.starts_with("invalid length");
        if (!positioned && !field_error) std::abort();
    }
    return 0;
}
