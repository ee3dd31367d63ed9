// Pictures as answers carry them: a surface written as a PNG file, and one
// band cut out of a snapshot. Kept in a header so that the profiled helper's
// phase timings reach in here, and so that cairo alone can test it.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "cairo_names.hpp"
#include "geometry.hpp"
#include "owners.hpp"
#include "profile.hpp"
#include "qor_webview/error.hpp"
#include "qor_webview/expected.hpp"

namespace qor_webview_helper {

namespace picture_detail {

// Called from inside cairo's C code, which no exception may cross.
inline cairo_status_t append_chunk(void* closure, const unsigned char* data, unsigned int length) noexcept {
    auto* bytes = static_cast<std::vector<std::uint8_t>*>(closure);
    try {
        bytes->insert(bytes->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        return CAIRO_STATUS_NO_MEMORY;
    } catch (const std::length_error&) {
        return CAIRO_STATUS_NO_MEMORY;
    }
    return CAIRO_STATUS_SUCCESS;
}

inline qor_webview::Error cut_error(cairo_status_t status) {
    return qor_webview::Error::snapshot("failed to cut the snapshot: " + cairo_status_name(status));
}

}  // namespace picture_detail

// A surface as the bytes of a PNG file.
inline qor_webview::Expected<std::vector<std::uint8_t>, qor_webview::Error> png(cairo_surface_t* surface) {
    QOR_PROFILE_SCOPE("png");
    std::vector<std::uint8_t> bytes;
    cairo_status_t status = cairo_surface_write_to_png_stream(surface, picture_detail::append_chunk, &bytes);
    if (status != CAIRO_STATUS_SUCCESS)
        return qor_webview::unexpected(qor_webview::Error::snapshot(
            "failed to encode the snapshot as png: Cairo error: " + cairo_status_name(status)));
    return bytes;
}

// Snapshot rows [y0, y0 + rows), the snapshot's full width, as a surface of
// their own.
inline qor_webview::Expected<Surface, qor_webview::Error> cut_band(cairo_surface_t* snapshot, BandRows rows) {
    using picture_detail::cut_error;
    Surface strip(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(snapshot), rows.rows));
    if (auto s = cairo_surface_status(strip.get()); s != CAIRO_STATUS_SUCCESS) return qor_webview::unexpected(cut_error(s));
    cairo_surface_set_device_scale(snapshot, 1.0, 1.0);
    QOR_PROFILE_SCOPE("cut");
    Context cr(cairo_create(strip.get()));
    if (auto s = cairo_status(cr.get()); s != CAIRO_STATUS_SUCCESS) return qor_webview::unexpected(cut_error(s));
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    if (auto s = cairo_surface_status(snapshot); s != CAIRO_STATUS_SUCCESS) return qor_webview::unexpected(cut_error(s));
    cairo_set_source_surface(cr.get(), snapshot, 0.0, -static_cast<double>(rows.y0));
    if (auto s = cairo_status(cr.get()); s != CAIRO_STATUS_SUCCESS) return qor_webview::unexpected(cut_error(s));
    cairo_paint(cr.get());
    if (auto s = cairo_status(cr.get()); s != CAIRO_STATUS_SUCCESS) return qor_webview::unexpected(cut_error(s));
    return strip;
}

}  // namespace qor_webview_helper
