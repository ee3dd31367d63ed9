// Lazy images and frames loaded as eager ones.
//
// A lazily loaded image or frame is fetched only once it comes near the
// viewport, and a picture's window grows to the whole document just before
// its snapshot: the fetch then starts too late to be drawn. This script, run
// in every frame of log and image pages from the start of each document,
// makes every image and frame eager, so that it loads with the document and
// the load waits for it. All that the document holds when the parser is
// done are handled then, before the document can count as loaded; those
// added or made lazy later as they come (watching the parser itself would
// cost a record per element of a long document).
//
// An image becomes eager when its attribute says so. A frame that WebKit has
// held back does not reliably paint once its attribute changes, so it is
// replaced by an eager copy, which loads as if the parser had made it: a page
// script that kept a reference to the lazy frame keeps one to a detached one.
#pragma once

#include <string_view>

namespace qor_webview_helper::scripts {

inline constexpr std::string_view kEagerLoading = R"JS((() => {
const eager = (element) => {
    if ((element.localName !== 'img' && element.localName !== 'iframe') ||
        element.namespaceURI !== 'http://www.w3.org/1999/xhtml' ||
        (element.getAttribute('loading') || '').toLowerCase() !== 'lazy') {
        return;
    }
    if (element.localName === 'iframe' && element.isConnected) {
        const copy = element.cloneNode(true);
        copy.setAttribute('loading', 'eager');
        element.replaceWith(copy);
    } else {
        element.setAttribute('loading', 'eager');
    }
};
const later = new MutationObserver((records) => {
    for (const record of records) {
        if (record.type === 'attributes') {
            eager(record.target);
            continue;
        }
        for (const node of record.addedNodes) {
            if (node.nodeType !== Node.ELEMENT_NODE) continue;
            eager(node);
            if (node.firstElementChild) node.querySelectorAll('img[loading], iframe[loading]').forEach(eager);
        }
    }
});
document.addEventListener('DOMContentLoaded', () => {
    document.querySelectorAll('img[loading], iframe[loading]').forEach(eager);
    later.observe(document, { childList: true, subtree: true, attributes: true, attributeFilter: ['loading'] });
}, { capture: true, once: true });
})();)JS";

}  // namespace qor_webview_helper::scripts
