// The arithmetic of the pipelines: scale rule, pixel conversion, heights,
// bands and window sizes. Single precision wherever the answers report CSS
// pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace qor_webview_helper {

enum class Scaling : std::uint8_t { Window = 0, Zoom = 1 };

// A float becoming a 32-bit pixel count: NaN is 0, out-of-range values
// saturate, everything else is truncated toward zero.
std::int32_t pixels(double value) noexcept;

// The largest device size of a window in either direction.
inline constexpr float kDeviceLimit = 32767.0f;

struct ScaleChoice {
    std::int32_t window_scale = 1;
    double zoom = 1.0;
    float zf() const noexcept { return static_cast<float>(zoom); }
    // Window scale times zoom, in single precision.
    float device() const noexcept { return static_cast<float>(window_scale) * zf(); }
};

// The largest scale served. Far beyond any real display, and it keeps a
// window's pixels within what an unscaled window of the largest size holds.
inline constexpr float kMaxScale = 16.0f;

// Values not above 1, NaN and infinities count as 1; larger finite values are
// lowered to kMaxScale.
ScaleChoice scale_rule(float scale, Scaling scaling) noexcept;

// The CSS size that fits the device limit at `device` scale (NaN when the
// scale is not usable, which leaves the other limits alone).
float device_limit(const ScaleChoice& s) noexcept;

// The height of a log entry's picture from the measured body height.
float log_height(float body, const ScaleChoice& s) noexcept;

// The window width of a log entry.
std::int32_t log_window_width(float width, const ScaleChoice& s) noexcept;

// The window height of a log entry `height` CSS pixels high.
std::int32_t log_window_height(float height, const ScaleChoice& s) noexcept;

// Snapshot rows per CSS pixel of a picture `height` CSS pixels high.
double snapshot_ratio(std::int32_t snapshot_height, float height) noexcept;

struct BandSpan {
    float top;
    float height;
};

// The band list of a picture H CSS pixels high whose snapshot has `ratio`
// snapshot rows per CSS pixel; every band covers at most 4096 rows.
std::vector<BandSpan> band_list(float height, double ratio);

// Snapshot rows [y0, y0 + rows) of a band.
struct BandRows {
    std::int32_t y0;
    std::int32_t rows;
};
BandRows band_rows(BandSpan band, double ratio, std::int32_t snapshot_height) noexcept;

// A window's size in device pixels: window pixels times the window scale
// (the zoom is already in the window pixels).
struct DeviceSize {
    std::int64_t width;
    std::int64_t height;
    std::int64_t pixels() const noexcept { return width * height; }
};
DeviceSize device_size(std::int32_t window_width, std::int32_t window_height, const ScaleChoice& s) noexcept;

// The most device pixels a page may show. WebKit's copy of the window's
// contents and the snapshot each hold 4 bytes for each of them (the window
// never draws, so it keeps none), so this bounds what one request can
// allocate; beyond 32767 device pixels either way WebKit cannot take a
// snapshot at all.
inline constexpr std::int64_t kPixelBudget = std::int64_t{1} << 26;
bool within_budget(const DeviceSize& size) noexcept;

// The device pixels of a window of `width` × `height` window pixels at
// `window_scale`.
std::int64_t window_device_pixels(std::int32_t width, std::int32_t height, std::int32_t window_scale) noexcept;

// The picture size of an image request from the measured size (CSS pixels).
struct ImageSize {
    float w;
    float h;
};
ImageSize image_size(float width, float height, const ScaleChoice& s) noexcept;

// A window's size in window pixels.
struct WindowSize {
    std::int32_t width;
    std::int32_t height;
};

// The viewport an image request lays its HTML out in, 800 × 600 CSS pixels.
inline constexpr float kViewportWidth = 800.0f;
inline constexpr float kViewportHeight = 600.0f;
WindowSize image_viewport(const ScaleChoice& s) noexcept;

// The window that holds the whole picture of an image request.
WindowSize image_window(ImageSize size, const ScaleChoice& s) noexcept;

}  // namespace qor_webview_helper
