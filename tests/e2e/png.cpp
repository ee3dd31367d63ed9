#include "png.hpp"

#include <cairo.h>

#include <cstring>

#include "owners.hpp"
#include "qor_webview/wire.hpp"

namespace qor_webview::e2e {

std::uint32_t Picture::pixel(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
}

std::optional<Picture> decode_png(std::span<const std::uint8_t> bytes) {
    struct Source {
        std::span<const std::uint8_t> rest;
    } source{bytes};
    const auto read = [](void* closure, unsigned char* data, unsigned int length) -> cairo_status_t {
        auto* s = static_cast<Source*>(closure);
        if (s->rest.size() < length) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(data, s->rest.data(), length);
        s->rest = s->rest.subspan(length);
        return CAIRO_STATUS_SUCCESS;
    };
    qor_webview_helper::Surface png(cairo_image_surface_create_from_png_stream(read, &source));
    if (cairo_surface_status(png.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    const int width = cairo_image_surface_get_width(png.get());
    const int height = cairo_image_surface_get_height(png.get());
    // Painted onto an ARGB32 surface, so that every PNG colour type reads
    // the same way (pictures without alpha come out opaque).
    qor_webview_helper::Surface argb(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    {
        qor_webview_helper::Context cr(cairo_create(argb.get()));
        cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
        cairo_set_source_surface(cr.get(), png.get(), 0, 0);
        cairo_paint(cr.get());
    }
    cairo_surface_flush(argb.get());
    std::optional<Picture> picture;
    if (cairo_surface_status(argb.get()) == CAIRO_STATUS_SUCCESS) {
        picture.emplace();
        picture->width_ = width;
        picture->height_ = height;
        picture->pixels_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        const unsigned char* data = cairo_image_surface_get_data(argb.get());
        const int stride = cairo_image_surface_get_stride(argb.get());
        for (int y = 0; y < height; ++y) {
            std::memcpy(picture->pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width),
                        data + static_cast<std::ptrdiff_t>(y) * stride, static_cast<std::size_t>(width) * 4);
        }
    }
    return picture;
}

std::optional<Picture> decode_png_base64(std::string_view text) {
    // The library's strict decoder, the one parents read answers with; its
    // encoder is held to an independent reference by the unit tests.
    const auto bytes = protocol::decode_base64(text);
    if (!bytes) return std::nullopt;
    return decode_png(*bytes);
}

std::string solid_png(int width, int height, std::uint32_t colour) {
    qor_webview_helper::Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    {
        qor_webview_helper::Context cr(cairo_create(surface.get()));
        cairo_set_source_rgba(cr.get(), Picture::red(colour) / 255.0, Picture::green(colour) / 255.0,
                              Picture::blue(colour) / 255.0, Picture::alpha(colour) / 255.0);
        cairo_paint(cr.get());
    }
    std::string bytes;
    const auto write = [](void* closure, const unsigned char* data, unsigned int length) -> cairo_status_t {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    };
    if (cairo_surface_write_to_png_stream(surface.get(), write, &bytes) != CAIRO_STATUS_SUCCESS) bytes.clear();
    return bytes;
}

}  // namespace qor_webview::e2e
