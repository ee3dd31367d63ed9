// The page scripts the pipelines run, each the body of an async function.
#pragma once

#include <string_view>

namespace qor_webview_helper::scripts {

// Reports the body's scroll height and the document's width and height, once
// fonts are ready (waiting at most a second).
inline constexpr std::string_view kMeasure = R"JS(
await Promise.race([document.fonts.ready, new Promise((resolve) => setTimeout(resolve, 1000))]);
const body = document.body;
const html = document.documentElement;
return JSON.stringify({
    body: body ? body.scrollHeight : 0,
    width: Math.max(body ? body.scrollWidth : 0, html.scrollWidth, body ? body.offsetWidth : 0, html.offsetWidth),
    height: Math.max(body ? body.scrollHeight : 0, html.scrollHeight, body ? body.offsetHeight : 0, html.offsetHeight),
});
)JS";

// Lists the visible rectangles of every anchor with an href, its own and its
// descendants'.
inline constexpr std::string_view kLinks = R"JS(
const areas = [];
for (const anchor of document.querySelectorAll('a[href]')) {
    const href = anchor.getAttribute('href');
    const rects = [...anchor.getClientRects()];
    for (const child of anchor.querySelectorAll('*')) {
        rects.push(...child.getClientRects());
    }
    for (const rect of rects) {
        if (rect.width > 0 && rect.height > 0) {
            areas.push({ href, left: rect.left, top: rect.top, width: rect.width, height: rect.height });
        }
    }
}
return JSON.stringify(areas);
)JS";

// The texts are fixed to the byte (a line feed first, every line ended by
// one); the sizes catch an edit that changes them, even of white space only.
static_assert(kMeasure.size() == 468);
static_assert(kLinks.size() == 518);

}  // namespace qor_webview_helper::scripts
