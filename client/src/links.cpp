// Reading the links text of a log entry into link areas.

#include <algorithm>
#include <array>
#include <string>

#include "json_reader.hpp"
#include "qor_webview/client.hpp"
#include "replies.hpp"

namespace qor_webview {
namespace {

using json::Containers;
using json::Kind;
using json::Strings;

// The fields of a link, in the order a missing one is named.
constexpr std::array<std::string_view, 5> link_fields = {"href", "left", "top", "width", "height"};

// Reads one link object, just opened, into `area`.
bool read_link(json::Reader& reader, LinkArea& area) {
    const std::array<double*, link_fields.size()> numbers = {nullptr, &area.left, &area.top, &area.width,
                                                              &area.height};
    std::array<bool, link_fields.size()> seen{};
    const auto member = [&](std::string_view key) {
        const auto field =
            static_cast<std::size_t>(std::find(link_fields.begin(), link_fields.end(), key) - link_fields.begin());
        if (field == link_fields.size()) return reader.skip_value();
        seen[field] = true;
        json::Value value;
        if (!reader.read_value(value, Containers::Recognise, field == 0 ? Strings::Keep : Strings::Check))
            return false;
        if (field == 0) {
            if (value.kind != Kind::String) return reader.fail_invalid_type(value, "a string");
            area.href = reader.take(value.str);
            return true;
        }
        switch (value.kind) {
            case Kind::Unsigned: *numbers[field] = static_cast<double>(value.magnitude); return true;
            case Kind::Signed: *numbers[field] = -static_cast<double>(value.magnitude); return true;
            case Kind::Float: *numbers[field] = value.real; return true;
            default: return reader.fail_invalid_type(value, "a number");
        }
    };
    if (!reader.for_each_member(member)) return false;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) return reader.fail_message("missing field `" + std::string(link_fields[i]) + "`");
    }
    return true;
}

bool read_links(json::Reader& reader, std::vector<LinkArea>& areas) {
    json::Value root;
    if (!reader.read_value(root, Containers::Open, Strings::Check)) return false;
    if (root.kind != Kind::Seq) return reader.fail_invalid_type(root, "a sequence");
    bool first = true;
    for (;;) {
        const int ahead = reader.next_element(first);
        if (ahead < 0) return false;
        if (ahead == 0) break;
        json::Value item;
        if (!reader.read_value(item, Containers::Open, Strings::Check)) return false;
        if (item.kind != Kind::Map) return reader.fail_invalid_type(item, "a map");
        if (!read_link(reader, areas.emplace_back())) return false;
    }
    reader.close_container();
    if (reader.peek_ws() >= 0) return reader.fail_peek(json::Syntax::TrailingCharacters);
    return true;
}

}  // namespace

Expected<std::vector<LinkArea>, Error> parse_links(std::string_view links) {
    json::Reader reader(links);
    std::vector<LinkArea> areas;
    if (!read_links(reader, areas))
        return unexpected(detail::call_error("render_log", "unreadable links: " + reader.take_message()));
    return areas;
}

}  // namespace qor_webview
