#include "replies.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "qor_webview/internal/overloaded.hpp"
#include "qor_webview/wire.hpp"
#include "wire_types.hpp"

namespace qor_webview::detail {
namespace {

Unexpected<Error> failure(Error error) { return unexpected(std::move(error)); }

}  // namespace

Error call_error(std::string_view call, std::string message) {
    return Error::Call{std::string(call), std::move(message)};
}

namespace {

LogPicture decoded(protocol::Log& log, std::optional<Error>& error) {
    LogPicture picture;
    picture.width = log.width;
    picture.height = log.height;
    picture.links = std::move(log.links);
    picture.bands.reserve(log.tiles.size());
    for (std::size_t i = 0; i < log.tiles.size(); ++i) {
        auto& tile = log.tiles[i];
        auto png = protocol::decode_base64(tile.png);
        if (!png) {
            error = call_error("render_log", "band " + std::to_string(i) + " is not valid base64");
            return {};
        }
        std::string().swap(tile.png);
        picture.bands.push_back(LogBand{tile.top, tile.height, std::move(*png)});
    }
    return picture;
}

ImagePicture decoded(protocol::Image& image, std::optional<Error>& error) {
    auto png = protocol::decode_base64(image.png);
    if (!png) {
        error = call_error("render_image", "the picture is not valid base64");
        return {};
    }
    return ImagePicture{std::move(*png)};
}

ScriptText decoded(protocol::Text& text, std::optional<Error>&) { return ScriptText{std::move(text.text)}; }

Error failure_error(protocol::Failure failure) {
    std::string message = std::move(failure.message);
    switch (failure.kind) {
        case protocol::FailureKind::Load: return Error::Load{std::move(message)};
        case protocol::FailureKind::Script: return Error::Script{std::move(message)};
        case protocol::FailureKind::Snapshot: return Error::Snapshot{std::move(message)};
        case protocol::FailureKind::Start: break;
    }
    return Error::Start{std::move(message)};
}

template <std::size_t... I>
Expected<Reply, Error> decode_by_index(std::size_t index, const std::string& line, std::index_sequence<I...>) {
    using Decoder = Expected<Reply, Error> (*)(const std::string&);
    static constexpr Decoder decoders[] = {+[](const std::string& l) -> Expected<Reply, Error> {
        using R = std::variant_alternative_t<I, protocol::Request>;
        auto reply = decode_reply<R>(l);
        if (!reply) return failure(std::move(reply).error());
        return Reply{std::move(*reply)};
    }...};
    return decoders[index](line);
}

}  // namespace

template <class R>
Expected<AnswerTo<R>, Error> decode_reply(const std::string& line) {
    const std::string_view call = protocol::wire_type(std::type_identity<R>{});
    auto parsed = protocol::parse_answer(line);
    if (!parsed) return failure(call_error(call, "unreadable answer: " + parsed.error().message));
    if (auto* failed = std::get_if<protocol::Failed>(&*parsed)) return failure(failure_error(std::move(failed->error)));
    auto* answer = std::get_if<typename Answer<R>::Wire>(&*parsed);
    if (answer == nullptr)
        return failure(call_error(call, "the helper answered `" + std::string(protocol::wire_type_of(*parsed)) + "`"));
    std::optional<Error> error;
    auto value = decoded(*answer, error);
    if (error) return failure(std::move(*error));
    return value;
}

template Expected<LogPicture, Error> decode_reply<protocol::RenderLog>(const std::string&);
template Expected<ImagePicture, Error> decode_reply<protocol::RenderImage>(const std::string&);
template Expected<ScriptText, Error> decode_reply<protocol::Evaluate>(const std::string&);

Expected<Reply, Error> decode_reply(std::size_t request_index, const std::string& line) {
    return decode_by_index(request_index, line, std::make_index_sequence<std::variant_size_v<protocol::Request>>{});
}

std::string_view call_name(const protocol::Request& request) { return protocol::wire_type_of(request); }

// Why a request cannot go on the wire as it is, if it cannot.
std::optional<std::string> unsendable(protocol::Request& request) {
    using Why = std::optional<std::string>;
    const auto text_ok = [](std::string_view text) { return protocol::valid_utf8(text); };
    const auto scale_fix = [](float& scale) {
        if (!std::isfinite(scale)) scale = 1.0f;
    };
    return std::visit(overloaded{
                          [&](protocol::RenderLog& r) -> Why {
                              if (!std::isfinite(r.width)) return "the width is not a finite number";
                              scale_fix(r.scale);
                              if (!text_ok(r.html)) return "the html is not valid UTF-8";
                              return std::nullopt;
                          },
                          [&](protocol::RenderImage& r) -> Why {
                              scale_fix(r.scale);
                              if (!text_ok(r.html)) return "the html is not valid UTF-8";
                              return std::nullopt;
                          },
                          [&](const protocol::Evaluate& e) -> Why {
                              for (std::size_t i = 0; i < e.scripts.size(); ++i) {
                                  if (!text_ok(e.scripts[i]))
                                      return "script " + std::to_string(i) + " is not valid UTF-8";
                              }
                              if (!text_ok(e.result)) return "the result script is not valid UTF-8";
                              return std::nullopt;
                          },
                      },
                      request);
}

}  // namespace qor_webview::detail
