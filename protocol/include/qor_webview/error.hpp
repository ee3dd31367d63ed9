// The one error type of the library, its message texts and its conversion
// into the content of a `failed` answer.
#pragma once

#include <string>
#include <variant>

#include "qor_webview/export.hpp"
#include "qor_webview/protocol.hpp"

namespace qor_webview {

class QOR_WEBVIEW_API Error {
public:
    // The cases, in their order of declaration.
    struct Unsupported {};
    struct NotMainThread {};
    struct Load { std::string message; };
    struct Script { std::string message; };
    struct Snapshot { std::string message; };
    struct MissingWebKit {};
    struct Start { std::string message; };
    struct Stopped {};
    struct Call { std::string call; std::string message; };

    using Case = std::variant<Unsupported, NotMainThread, Load, Script, Snapshot, MissingWebKit, Start,
                              Stopped, Call>;

    template <class C>
        requires std::is_constructible_v<Case, C&&>
    Error(C&& c) : case_(std::forward<C>(c)) {}

    static Error load(std::string message) { return Load{std::move(message)}; }
    static Error script(std::string message) { return Script{std::move(message)}; }
    static Error snapshot(std::string message) { return Snapshot{std::move(message)}; }

    const Case& get() const noexcept { return case_; }
    Case& get() noexcept { return case_; }
    template <class C>
    bool is() const noexcept { return std::holds_alternative<C>(case_); }

    // The error's message text, fields put in unchanged.
    std::string text() const;

    // Takes the error by value: its texts move into the failure.
    protocol::Failure into_failure() &&;

private:
    Case case_;
};

}  // namespace qor_webview
