// What the client makes of requests and answers: the name of each call,
// what keeps a request off the wire, and the reply an answer line gives.
#pragma once

#include <cstddef>
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

// The answer each request expects on the wire, and what the client hands
// back for it. A request without its line here does not build.
template <class R>
struct Answer;
template <>
struct Answer<protocol::RenderLog> {
    using Wire = protocol::Log;
    using Value = LogPicture;
};
template <>
struct Answer<protocol::RenderImage> {
    using Wire = protocol::Image;
    using Value = ImagePicture;
};
template <>
struct Answer<protocol::Evaluate> {
    using Wire = protocol::Text;
    using Value = ScriptText;
};
template <class R>
using AnswerTo = typename Answer<R>::Value;

// An answer line turned into what a request of type R expects.
template <class R>
Expected<AnswerTo<R>, Error> decode_reply(const std::string& line);

// The same for a request known by its position in `protocol::Request`.
Expected<Reply, Error> decode_reply(std::size_t request_index, const std::string& line);

}  // namespace qor_webview::detail
