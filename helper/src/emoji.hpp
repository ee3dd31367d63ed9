// Colour for emoji that a text font also draws.
//
// WebKit takes each character from the first font of the family list whose
// character map has it, so a text font with outline emoji (DejaVu Sans has
// 😀 and its neighbours) wins over the colour emoji font, and fontconfig
// cannot change that: WebKit asks the font file itself, not fontconfig's
// character sets. What WebKit does honour is `font-variant-emoji: emoji` on
// an element. This script, run in every log and image page once its
// document is parsed, wraps each run of characters whose default
// presentation is emoji (not followed by the text selector U+FE0E), with
// its modifiers, joiners, selectors and tags, in a `qor-emoji` element
// with that style; text-style characters (☀ ★ ♥ ✔, digits, #) are left
// alone and stay text unless followed by U+FE0F, which WebKit honours.
// Script, style and form text is never touched.
#pragma once

#include <string_view>

namespace qor_webview_helper::scripts {

inline constexpr std::string_view kEmojiPresentation = R"JS((() => {
const run = /(?:\p{Emoji_Presentation}(?!\uFE0E)|\p{Extended_Pictographic}\uFE0F)(?:\p{Emoji_Modifier}|\uFE0F|\u20E3|\u200D\p{Extended_Pictographic}\uFE0F?|[\u{E0020}-\u{E007F}]|\p{Emoji_Presentation}(?!\uFE0E))*/gu;
const skip = new Set(['SCRIPT', 'STYLE', 'TEXTAREA', 'TITLE', 'NOSCRIPT', 'TEMPLATE', 'OPTION']);
const root = document.body || document.documentElement;
if (!root) return;
const found = [];
const walker = document.createTreeWalker(root, NodeFilter.SHOW_TEXT);
for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    const parent = node.parentElement;
    if (!parent || parent.namespaceURI !== 'http://www.w3.org/1999/xhtml' || skip.has(parent.tagName)) continue;
    if (node.data.search(run) >= 0) found.push(node);
}
for (const node of found) {
    const text = node.data;
    const pieces = document.createDocumentFragment();
    let at = 0;
    for (const match of text.matchAll(run)) {
        if (match.index > at) pieces.append(text.slice(at, match.index));
        const emoji = document.createElement('qor-emoji');
        emoji.style.setProperty('font-variant-emoji', 'emoji');
        emoji.textContent = match[0];
        pieces.append(emoji);
        at = match.index + match[0].length;
    }
    if (at < text.length) pieces.append(text.slice(at));
    node.replaceWith(pieces);
}
})();)JS";

}  // namespace qor_webview_helper::scripts
