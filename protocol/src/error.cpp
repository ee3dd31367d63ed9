#include "qor_webview/error.hpp"

#include <type_traits>
#include <utility>

namespace qor_webview {

std::string Error::text() const {
    return std::visit(
        [](const auto& c) -> std::string {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, Unsupported>) {
                return "rendering html is not supported on this platform";
            } else if constexpr (std::is_same_v<C, NotMainThread>) {
                return "the web view must be used on the main thread";
            } else if constexpr (std::is_same_v<C, Load>) {
                return "failed to load the html: " + c.message;
            } else if constexpr (std::is_same_v<C, Script>) {
                return "failed to measure the html: " + c.message;
            } else if constexpr (std::is_same_v<C, Snapshot>) {
                return "failed to take a snapshot of the html: " + c.message;
            } else if constexpr (std::is_same_v<C, MissingWebKit>) {
                return "WebKitGTK 4.1 is not installed. Install libwebkit2gtk-4.1-0 (Ubuntu, Debian) or "
                       "webkit2gtk4.1 (Fedora).";
            } else if constexpr (std::is_same_v<C, Start>) {
                return "failed to start the web view: " + c.message;
            } else if constexpr (std::is_same_v<C, Stopped>) {
                return "the web view thread stopped";
            } else {
                static_assert(std::is_same_v<C, Call>);
                return "the web view call " + c.call + " failed: " + c.message;
            }
        },
        case_);
}

protocol::Failure Error::into_failure() && {
    using protocol::FailureKind;
    // The four cases with a stage of their own carry their detail without
    // the prefix, which the kind stands for; the rest travel whole as start
    // failures.
    if (auto* c = std::get_if<Load>(&case_)) return {FailureKind::Load, std::move(c->message)};
    if (auto* c = std::get_if<Script>(&case_)) return {FailureKind::Script, std::move(c->message)};
    if (auto* c = std::get_if<Snapshot>(&case_)) return {FailureKind::Snapshot, std::move(c->message)};
    if (auto* c = std::get_if<Start>(&case_)) return {FailureKind::Start, std::move(c->message)};
    return {FailureKind::Start, text()};
}

}  // namespace qor_webview
