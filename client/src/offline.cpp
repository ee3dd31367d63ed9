#include "offline.hpp"

#include <variant>

namespace qor_webview::detail {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

bool starts_with_nocase(std::string_view text, std::string_view lower) {
    if (text.size() < lower.size()) return false;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

constexpr std::size_t none = std::string_view::npos;

// The end of a comment that starts at `at` ("<!--"), as the HTML parser
// ends it: "-->", "--!>", or at once for "<!-->" and "<!--->"; npos when
// it runs to the end of the text.
std::size_t comment_end(std::string_view html, std::size_t at) {
    const std::size_t body = at + 4;
    if (html.substr(body, 1) == ">") return body + 1;
    if (html.substr(body, 2) == "->") return body + 2;
    const std::size_t plain = html.find("-->", body);
    const std::size_t bang = html.find("--!>", body);
    if (plain == none && bang == none) return none;
    return plain < bang ? plain + 3 : bang + 4;
}

}  // namespace

// Everything an entry names stays unfetched: images, fonts and style sheets
// only from data: and blob: URLs, inline styles and scripts, nothing else.
// form-action and base-uri have no fallback to default-src.
const std::string_view offline_policy =
    "default-src 'none'; img-src data: blob:; style-src 'unsafe-inline' data: blob:; font-src data: blob:; "
    "script-src 'unsafe-inline'; form-action 'none'; base-uri 'none'";

std::string_view offline_meta() {
    static const std::string meta =
        "<meta http-equiv=\"Content-Security-Policy\" content=\"" + std::string(offline_policy) + "\">";
    return meta;
}

std::size_t policy_position(std::string_view html) {
    std::size_t at = html.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    bool doctype_seen = false;
    for (;;) {
        while (at < html.size() && blank(html[at])) ++at;
        const std::string_view rest = html.substr(at);
        std::size_t end = none;
        if (rest.starts_with("<!--")) {
            end = comment_end(html, at);
        } else if (!doctype_seen && starts_with_nocase(rest, "<!doctype")) {
            // '>' ends a doctype even inside its quoted identifiers.
            end = html.find('>', at);
            if (end != none) ++end;
            doctype_seen = true;
        } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
            // A bogus comment (an XML declaration, "<!foo>", a second
            // doctype, which the parser drops): up to the first '>'.
            end = html.find('>', at);
            if (end != none) ++end;
        } else {
            return at;
        }
        // A comment or doctype that runs to the end holds everything: the
        // policy goes in front of it, where it is still markup.
        if (end == none) return at;
        at = end;
    }
}

std::string without_network(std::string_view html) {
    const std::size_t at = policy_position(html);
    std::string out;
    const std::string_view meta = offline_meta();
    out.reserve(html.size() + meta.size());
    out.append(html.substr(0, at)).append(meta).append(html.substr(at));
    return out;
}

void restrict_network(protocol::RenderLog& request, bool allow_network) {
    if (!allow_network) request.html = without_network(request.html);
}

void restrict_network(protocol::RenderImage& request, bool allow_network) {
    if (!allow_network) request.html = without_network(request.html);
}

void restrict_network(protocol::Request& request, bool allow_network) {
    std::visit([allow_network](auto& r) { restrict_network(r, allow_network); }, request);
}

}  // namespace qor_webview::detail
