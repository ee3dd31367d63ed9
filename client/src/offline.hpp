// Entries that cannot reach the network: the client puts a
// Content-Security-Policy into the HTML it sends, and WebKit enforces it.
// Internal to the library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "qor_webview/protocol.hpp"

namespace qor_webview::detail {

// The policy's text and the element that carries it.
extern const std::string_view offline_policy;
std::string_view offline_meta();

// Where the policy goes: after a leading byte order mark, blanks, comments
// and doctype, so that the doctype still comes first and a standards-mode
// page stays in standards mode; before anything else, which the parser
// then puts into the head, after the policy.
std::size_t policy_position(std::string_view html);

// The HTML with `offline_meta()` at `policy_position`.
std::string without_network(std::string_view html);

// Puts the policy into a render request's HTML unless `allow_network`;
// evaluations are scripts, not HTML, and stay as they are.
void restrict_network(protocol::RenderLog& request, bool allow_network);
void restrict_network(protocol::RenderImage& request, bool allow_network);
inline void restrict_network(protocol::Evaluate&, bool) {}
void restrict_network(protocol::Request& request, bool allow_network);

}  // namespace qor_webview::detail
