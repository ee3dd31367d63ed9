// Visiting a variant with one lambda per alternative: an alternative that no
// lambda takes is a compile error, so a new request or answer type cannot be
// forgotten at a dispatch.
#pragma once

namespace qor_webview::detail {

template <class... Fs>
struct overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
overloaded(Fs...) -> overloaded<Fs...>;

}  // namespace qor_webview::detail
