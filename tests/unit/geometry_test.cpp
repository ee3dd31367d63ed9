#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cairo_names.hpp"
#include "geometry.hpp"

namespace qor_webview_helper {
namespace {

TEST(Pixels, SaturatesAndTruncates) {
    EXPECT_EQ(pixels(std::nan("")), 0);
    EXPECT_EQ(pixels(2147483648.0), 2147483647);
    EXPECT_EQ(pixels(1e300), 2147483647);
    EXPECT_EQ(pixels(-2147483649.0), -2147483647 - 1);
    EXPECT_EQ(pixels(-1e300), -2147483647 - 1);
    EXPECT_EQ(pixels(2147483647.9), 2147483647);
    EXPECT_EQ(pixels(-2.9), -2);
    EXPECT_EQ(pixels(2.9), 2);
}

TEST(ScaleRule, WindowAndZoom) {
    auto w = scale_rule(1.5f, Scaling::Window);
    EXPECT_EQ(w.window_scale, 2);
    EXPECT_EQ(w.zoom, 1.0);
    auto z = scale_rule(1.5f, Scaling::Zoom);
    EXPECT_EQ(z.window_scale, 1);
    EXPECT_EQ(z.zoom, 1.5);
    for (float s : {0.0f, -3.0f, 1.0f, std::nanf(""), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
        EXPECT_EQ(scale_rule(s, Scaling::Window).window_scale, 1) << s;
        EXPECT_EQ(scale_rule(s, Scaling::Zoom).zoom, 1.0) << s;
    }
    // A huge finite scale is served at the largest scale.
    EXPECT_EQ(scale_rule(5000, Scaling::Window).window_scale, 16);
    EXPECT_EQ(scale_rule(1e30f, Scaling::Zoom).zoom, 16.0);
    EXPECT_EQ(scale_rule(15.5f, Scaling::Window).window_scale, 16);
    EXPECT_EQ(scale_rule(15.5f, Scaling::Zoom).zoom, 15.5);
}

TEST(LogHeight, Limits) {
    auto one = scale_rule(1, Scaling::Window);
    EXPECT_EQ(log_height(20, one), 100.0f);
    EXPECT_EQ(log_height(100.2f, one), 101.0f);
    EXPECT_EQ(log_height(25000, one), 10000.0f);
    auto zoom4 = scale_rule(4, Scaling::Zoom);
    EXPECT_EQ(log_height(9000, zoom4), 8191.0f);  // 32767 / 4
    auto window3 = scale_rule(3, Scaling::Window);
    EXPECT_EQ(log_height(20000, window3), 10000.0f);
    EXPECT_EQ(log_height(5000, scale_rule(2, Scaling::Window)), 5000.0f);
}

TEST(LogWidth, FloorsScalesAndStaysOnTheDevice) {
    auto one = scale_rule(1, Scaling::Window);
    EXPECT_EQ(log_window_width(600.7f, one), 600);
    EXPECT_EQ(log_window_width(0, one), 0);
    EXPECT_EQ(log_window_width(-5, one), -5);
    EXPECT_EQ(log_window_width(std::nanf(""), one), 0);
    EXPECT_EQ(log_window_width(600, scale_rule(2, Scaling::Zoom)), 1200);
    EXPECT_EQ(log_window_width(1e9f, one), 32767);
    EXPECT_EQ(log_window_width(1e9f, scale_rule(2, Scaling::Window)), 16383);
    EXPECT_LE(log_window_width(1e9f, scale_rule(3, Scaling::Zoom)), 32767);
}

TEST(Bands, WorkedExample) {
    auto bands = band_list(5000, 2.0);
    ASSERT_EQ(bands.size(), 3u);
    EXPECT_EQ(bands[0].top, 0);
    EXPECT_EQ(bands[0].height, 2048);
    EXPECT_EQ(bands[1].top, 2048);
    EXPECT_EQ(bands[2].top, 4096);
    EXPECT_EQ(bands[2].height, 904);
    auto r0 = band_rows(bands[0], 2.0, 10000);
    auto r2 = band_rows(bands[2], 2.0, 10000);
    EXPECT_EQ(r0.y0, 0);
    EXPECT_EQ(r0.rows, 4096);
    EXPECT_EQ(r2.y0, 8192);
    EXPECT_EQ(r2.rows, 1808);
}

TEST(Bands, Edges) {
    EXPECT_TRUE(band_list(0, 1.0).empty());
    EXPECT_TRUE(band_list(std::nanf(""), 1.0).empty());
    auto exact = band_list(4096, 1.0);
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(exact[0].height, 4096);
    auto short_entry = band_list(100, 1.0);
    ASSERT_EQ(short_entry.size(), 1u);
    EXPECT_EQ(short_entry[0].height, 100);
    // A snapshot smaller than asked: r below 1, step 4096, rows scaled down.
    auto small = band_list(5000, 0.5);
    ASSERT_EQ(small.size(), 2u);
    EXPECT_EQ(band_rows(small[1], 0.5, 2500).y0, 2048);
    EXPECT_EQ(band_rows(small[1], 0.5, 2500).rows, 452);
    // More than 4096 rows per CSS pixel still ends, one CSS pixel a band.
    auto dense = band_list(3, 5000.0);
    ASSERT_EQ(dense.size(), 3u);
    EXPECT_EQ(dense[2].top, 2);
    // Rows never run past the snapshot and are at least one.
    auto clipped = band_rows({90, 10}, 1.0, 50);
    EXPECT_EQ(clipped.y0, 50);
    EXPECT_EQ(clipped.rows, 1);
}

TEST(ImageSize, Limits) {
    auto one = scale_rule(1, Scaling::Window);
    auto empty = image_size(0, 0, one);
    EXPECT_EQ(empty.w, 1);
    EXPECT_EQ(empty.h, 1);
    auto wide = image_size(25000, 640.5f, one);
    EXPECT_EQ(wide.w, 10000);
    EXPECT_EQ(wide.h, 641);
    auto z = image_size(800, 1234.2f, scale_rule(1.5f, Scaling::Zoom));
    EXPECT_EQ(z.h, 1235);
    auto w3 = image_size(20000, 20000, scale_rule(3, Scaling::Window));
    EXPECT_EQ(w3.w, 10000);
    auto w4 = image_size(20000, 20000, scale_rule(4, Scaling::Window));
    EXPECT_EQ(w4.w, 8191);
}

TEST(PixelBudget, DeviceSizeAndItsLimits) {
    const auto window = scale_rule(16.0f, Scaling::Window);
    const auto zoom = scale_rule(16.0f, Scaling::Zoom);
    // Window pixels count times the window scale; zoomed pixels are window pixels already.
    EXPECT_EQ(device_size(2047, 128, window).pixels(), 32752 * 2048);
    EXPECT_EQ(device_size(32752, 2048, zoom).width, 32752);
    // As the resize makes it: at least one pixel each way.
    EXPECT_EQ(device_size(0, -5, window).height, 16);
    EXPECT_TRUE(within_budget(device_size(2047, 128, window)));
    EXPECT_FALSE(within_budget(device_size(2047, 129, window)));
    EXPECT_TRUE(within_budget({8192, 8192}));
    EXPECT_FALSE(within_budget({8192, 8193}));
    // A side over the device limit fails whatever the area.
    EXPECT_TRUE(within_budget({32767, 1}));
    EXPECT_FALSE(within_budget({32768, 1}));
    EXPECT_FALSE(within_budget({1, 32768}));
    EXPECT_FALSE(within_budget(device_size(2147483647, 2147483647, window)));
}

TEST(CairoNames, StatusesAndTypes) {
    EXPECT_EQ(cairo_status_name(1), "No Memory");
    EXPECT_EQ(cairo_status_name(10), "Cairo : Read Error");
    EXPECT_EQ(cairo_status_name(41), "Win32Gdi Error");
    EXPECT_EQ(cairo_status_name(42), "Unknown 42");
    EXPECT_EQ(cairo_status_name(44), "LastStatus");
    EXPECT_EQ(cairo_status_name(45), "Unknown 45");
    EXPECT_EQ(surface_type_name(0), "Image");
    EXPECT_EQ(surface_type_name(3), "Xlib");
    EXPECT_EQ(surface_type_name(24), "Cogl");
    EXPECT_EQ(surface_type_name(25), "__Unknown(25)");
}

}  // namespace
}  // namespace qor_webview_helper
