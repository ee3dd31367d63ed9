#include "replies.hpp"

#include <cmath>
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

// An answer line turned into what its request expects.
Expected<Reply, Error> decode_reply(std::string_view call, const std::string& line) {
    auto parsed = protocol::parse_answer(line);
    if (!parsed) return failure(call_error(call, "unreadable answer: " + parsed.error().message));
    const std::string_view type = protocol::wire_type_of(*parsed);
    const auto misfit = [&] { return failure(call_error(call, "the helper answered `" + std::string(type) + "`")); };
    return std::visit(
        overloaded{
            [&](protocol::Failed& failed) -> Expected<Reply, Error> {
                std::string message = std::move(failed.error.message);
                switch (failed.error.kind) {
                    case protocol::FailureKind::Load: return failure(Error::Load{std::move(message)});
                    case protocol::FailureKind::Script: return failure(Error::Script{std::move(message)});
                    case protocol::FailureKind::Snapshot: return failure(Error::Snapshot{std::move(message)});
                    case protocol::FailureKind::Start: return failure(Error::Start{std::move(message)});
                }
                return misfit();
            },
            [&](protocol::Log& log) -> Expected<Reply, Error> {
                if (call != "render_log") return misfit();
                LogPicture picture;
                picture.width = log.width;
                picture.height = log.height;
                picture.links = std::move(log.links);
                picture.bands.reserve(log.tiles.size());
                for (std::size_t i = 0; i < log.tiles.size(); ++i) {
                    auto& tile = log.tiles[i];
                    auto png = protocol::decode_base64(tile.png);
                    if (!png)
                        return failure(call_error(call, "band " + std::to_string(i) + " is not valid base64"));
                    std::string().swap(tile.png);
                    picture.bands.push_back(LogBand{tile.top, tile.height, std::move(*png)});
                }
                return Reply{std::move(picture)};
            },
            [&](protocol::Image& image) -> Expected<Reply, Error> {
                if (call != "render_image") return misfit();
                auto png = protocol::decode_base64(image.png);
                if (!png) return failure(call_error(call, "the picture is not valid base64"));
                return Reply{ImagePicture{std::move(*png)}};
            },
            [&](protocol::Text& text) -> Expected<Reply, Error> {
                if (call != "evaluate") return misfit();
                return Reply{ScriptText{std::move(text.text)}};
            },
            [&](protocol::Ready&) -> Expected<Reply, Error> { return misfit(); },
        },
        *parsed);
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
