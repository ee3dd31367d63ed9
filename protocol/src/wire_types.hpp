// The "type" of each request and answer on the wire, by its alternative in
// Request or Response. A table is built from the variant itself, so an
// alternative without a name here does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "qor_webview/protocol.hpp"

namespace qor_webview::protocol {

constexpr std::string_view wire_type(std::type_identity<RenderLog>) { return "render_log"; }
constexpr std::string_view wire_type(std::type_identity<RenderImage>) { return "render_image"; }
constexpr std::string_view wire_type(std::type_identity<Evaluate>) { return "evaluate"; }

constexpr std::string_view wire_type(std::type_identity<Ready>) { return "ready"; }
constexpr std::string_view wire_type(std::type_identity<Log>) { return "log"; }
constexpr std::string_view wire_type(std::type_identity<Image>) { return "image"; }
constexpr std::string_view wire_type(std::type_identity<Text>) { return "text"; }
constexpr std::string_view wire_type(std::type_identity<Failed>) { return "failed"; }

// The names of Variant's alternatives, in their order.
template <class Variant>
inline constexpr auto wire_types = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<std::string_view, sizeof...(I)>{
        wire_type(std::type_identity<std::variant_alternative_t<I, Variant>>{})...};
}(std::make_index_sequence<std::variant_size_v<Variant>>{});

// The name of the alternative that `value` holds.
template <class Variant>
constexpr std::string_view wire_type_of(const Variant& value) noexcept {
    return wire_types<Variant>[value.index()];
}

}  // namespace qor_webview::protocol
