// PNG writing and band cutting of snapshots, with cairo alone: the failures
// a snapshot can meet become "snapshot" answers with cairo's status name.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "picture.hpp"

namespace qor_webview_helper {
namespace {

using qor_webview::protocol::Failure;
using qor_webview::protocol::FailureKind;

Failure failure_of(qor_webview::Error error) { return std::move(error).into_failure(); }

// An opaque snapshot 2 pixels wide whose row y is painted in grey level y.
Surface rows_snapshot(int height) {
    Surface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 2, height));
    cairo_surface_flush(s.get());
    auto* data = cairo_image_surface_get_data(s.get());
    const int stride = cairo_image_surface_get_stride(s.get());
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + y * stride);
        row[0] = row[1] = 0xFF000000u | static_cast<std::uint32_t>(y) * 0x010101u;
    }
    cairo_surface_mark_dirty(s.get());
    return s;
}

TEST(Picture, SurfaceInAnErrorStateIsASnapshotFailureNamingTheStatus) {
    const Surface broken(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, -1, 10));
    ASSERT_EQ(cairo_surface_status(broken.get()), CAIRO_STATUS_INVALID_SIZE);
    auto written = png(broken.get());
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(failure_of(std::move(written).error()),
              (Failure{FailureKind::Snapshot, "failed to encode the snapshot as png: Cairo error: Invalid Size"}));

    const Surface fine = rows_snapshot(3);
    const auto bytes = png(fine.get());
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes->begin(), bytes->begin() + 4), (std::vector<std::uint8_t>{0x89, 'P', 'N', 'G'}));
}

TEST(Picture, BandIsCutFromItsRowsOrFailsAsASnapshotFailure) {
    Surface snapshot = rows_snapshot(8);
    cairo_surface_set_device_scale(snapshot.get(), 2.0, 2.0);  // offsets count snapshot pixels all the same
    auto band = cut_band(snapshot.get(), BandRows{5, 2});
    ASSERT_TRUE(band.has_value());
    ASSERT_EQ(cairo_image_surface_get_width(band->get()), 2);
    ASSERT_EQ(cairo_image_surface_get_height(band->get()), 2);
    cairo_surface_flush(band->get());
    const auto* data = cairo_image_surface_get_data(band->get());
    const int stride = cairo_image_surface_get_stride(band->get());
    EXPECT_EQ(*reinterpret_cast<const std::uint32_t*>(data), 0xFF050505u);
    EXPECT_EQ(*reinterpret_cast<const std::uint32_t*>(data + stride), 0xFF060606u);

    // A band surface that cannot be made (beyond what cairo can hold).
    auto too_tall = cut_band(snapshot.get(), BandRows{0, 40000});
    ASSERT_FALSE(too_tall.has_value());
    EXPECT_EQ(failure_of(std::move(too_tall).error()),
              (Failure{FailureKind::Snapshot, "failed to cut the snapshot: Invalid Size"}));

    // A snapshot in an error state.
    Surface broken(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4, -4));
    auto from_broken = cut_band(broken.get(), BandRows{0, 2});
    ASSERT_FALSE(from_broken.has_value());
    EXPECT_EQ(failure_of(std::move(from_broken).error()),
              (Failure{FailureKind::Snapshot, "failed to cut the snapshot: Invalid Size"}));
}

}  // namespace
}  // namespace qor_webview_helper
