// What the client makes of requests and answers: the name of each call,
// what keeps a request off the wire, and the reply an answer line gives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "qor_webview/client.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview::detail {

// A `Call` error naming the call.
Error call_error(std::string_view call, std::string message);

// The call's name in errors: the request's type on the wire.
std::string_view call_name(const protocol::Request& request);

// Why a request cannot go on the wire as it is, if it cannot. A scale that
// is not finite is made 1 on the way, as the helper would take it.
std::optional<std::string> unsendable(protocol::Request& request);

// An answer line turned into what the request `call` expects.
Expected<Reply, Error> decode_reply(std::string_view call, const std::string& line);

}  // namespace qor_webview::detail
