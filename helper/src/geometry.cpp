#include "geometry.hpp"

#include <cmath>
#include <limits>

namespace qor_webview_helper {

std::int32_t pixels(double v) noexcept {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return std::numeric_limits<std::int32_t>::max();
    if (v < -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

ScaleChoice scale_rule(float scale, Scaling scaling) noexcept {
    float s = scale > 1.0f ? scale : 1.0f;
    // An infinite scale has no picture to give; a huge finite one would ask
    // for windows of billions of pixels.
    if (!std::isfinite(s)) s = 1.0f;
    if (s > kMaxScale) s = kMaxScale;
    ScaleChoice c;
    if (scaling == Scaling::Zoom) {
        c.window_scale = 1;
        c.zoom = s;
    } else {
        c.zoom = 1.0;
        c.window_scale = pixels(std::ceil(s));
    }
    return c;
}

float device_limit(const ScaleChoice& s) noexcept { return std::floor(kDeviceLimit / s.device()); }

float log_height(float body, const ScaleChoice& s) noexcept {
    float h = std::ceil(body);
    if (h < 100.0f) h = 100.0f;
    if (h > 10000.0f) h = 10000.0f;
    float limit = device_limit(s);
    if (!std::isnan(limit) && limit < h) h = limit;
    return h;
}

std::int32_t log_window_width(float width, const ScaleChoice& s) noexcept {
    float w = std::floor(width);
    // The width obeys the same device limit as the height.
    float limit = device_limit(s);
    if (!std::isnan(limit) && w > limit) w = limit;
    return pixels(std::round(w * s.zf()));
}

std::int32_t log_window_height(float height, const ScaleChoice& s) noexcept {
    return pixels(std::round(std::ceil(height) * s.zf()));
}

double snapshot_ratio(std::int32_t snapshot_height, float height) noexcept {
    return static_cast<double>(snapshot_height) / static_cast<double>(height);
}

std::vector<BandSpan> band_list(float height, double ratio) {
    std::vector<BandSpan> bands;
    if (!(height > 0.0f)) return bands;
    float m = static_cast<float>(ratio);
    if (!(m > 1.0f)) m = 1.0f;
    float step = std::floor(4096.0f / m);
    // Beyond 4096 rows per CSS pixel the step would be 0 and never end.
    if (step < 1.0f) step = 1.0f;
    float top = 0.0f;
    float end;
    do {
        end = top + step;
        if (end > height) end = height;
        bands.push_back({top, end - top});
        top = end;
    } while (end < height);
    return bands;
}

BandRows band_rows(BandSpan band, double ratio, std::int32_t p) noexcept {
    std::int32_t y0 = pixels(std::round(static_cast<double>(band.top) * ratio));
    if (y0 > p) y0 = p;
    float bottom = band.top + band.height;
    std::int32_t y1 = pixels(std::round(static_cast<double>(bottom) * ratio));
    if (y1 > p) y1 = p;
    std::int32_t rows = y1 - y0;
    if (rows < 1) rows = 1;
    return {y0, rows};
}

DeviceSize device_size(std::int32_t window_width, std::int32_t window_height, const ScaleChoice& s) noexcept {
    // As the page's resize will make it: at least one pixel each way.
    std::int64_t w = window_width >= 1 ? window_width : 1;
    std::int64_t h = window_height >= 1 ? window_height : 1;
    return {w * s.window_scale, h * s.window_scale};
}

bool within_budget(const DeviceSize& size) noexcept {
    auto limit = static_cast<std::int64_t>(kDeviceLimit);
    return size.width <= limit && size.height <= limit && size.pixels() <= kPixelBudget;
}

ImageSize image_size(float width, float height, const ScaleChoice& s) noexcept {
    float limit = device_limit(s);
    auto fit = [limit](float v) {
        v = std::ceil(v);
        if (v < 1.0f) v = 1.0f;
        if (v > 10000.0f) v = 10000.0f;
        if (!std::isnan(limit) && v > limit) v = limit;
        return v;
    };
    return {fit(width), fit(height)};
}

std::int64_t window_device_pixels(std::int32_t width, std::int32_t height, std::int32_t window_scale) noexcept {
    std::int64_t scale = window_scale;
    return std::int64_t{width} * height * scale * scale;
}

WindowSize image_viewport(const ScaleChoice& s) noexcept {
    float zf = s.zf();
    return {pixels(std::round(kViewportWidth * zf)), pixels(std::round(zf * kViewportHeight))};
}

WindowSize image_window(ImageSize size, const ScaleChoice& s) noexcept {
    float zf = s.zf();
    return {pixels(std::round(std::floor(size.w) * zf)), pixels(std::round(std::ceil(size.h) * zf))};
}

}  // namespace qor_webview_helper
