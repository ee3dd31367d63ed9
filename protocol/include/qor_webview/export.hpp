// Marks the library's public interface. The library is compiled with every
// other symbol hidden, so that a shared build exports this interface only.
#pragma once

#define QOR_WEBVIEW_API __attribute__((visibility("default")))
