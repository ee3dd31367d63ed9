// The chat view under the tests' Xvfb: --screenshot renders the first screen
// through the pool and the real helper, and writes what the window shows.
#include <algorithm>

#include "fixture.hpp"
#include "run.hpp"

namespace qor_webview::e2e {
namespace {

// The window's default size, in CSS pixels.
constexpr int window_width = 600;
constexpr int window_height = 500;

struct Ink {
    int text = 0;    // dark pixels: glyphs
    int colour = 0;  // saturated ones: avatars, links, emoji
    int rows = 0;    // rows of the picture with any text pixel
};

Ink ink(const Picture& picture) {
    Ink found;
    for (int y = 0; y < picture.height(); ++y) {
        bool text_row = false;
        for (int x = 0; x < picture.width(); ++x) {
            const auto p = picture.pixel(x, y);
            const int r = Picture::red(p), g = Picture::green(p), b = Picture::blue(p);
            if (Picture::alpha(p) != 255) continue;
            if (std::max({r, g, b}) < 100) {
                ++found.text;
                text_row = true;
            }
            if (std::max({r, g, b}) - std::min({r, g, b}) > 80) ++found.colour;
        }
        found.rows += text_row ? 1 : 0;
    }
    return found;
}

// Runs the view with --screenshot at a scale and reads the picture it wrote.
std::optional<Picture> screenshot(int scale) {
    const auto status = display_status(DisplayKind::X11);
    if (status.display == nullptr) {
        ADD_FAILURE() << status.reason;
        return std::nullopt;
    }
    const TempDir dir;
    const std::string file = dir / "screen.png";
    RunOptions options;
    options.env = status.display->env;
    options.env.emplace_back("GDK_SCALE", std::to_string(scale));
    // Software drawing, so that no GL driver is needed.
    options.env.emplace_back("GSK_RENDERER", "cairo");
    const auto result = run_program({QOR_CHAT_VIEW_PATH, "--helper", helper_path(), "--screenshot", file}, options);
    EXPECT_EQ(result.status, 0) << result.command << "\n" << result.err;
    EXPECT_EQ(result.out, "");  // links are printed only when clicked
    EXPECT_EQ(result.err.find("entry "), std::string::npos) << result.err;
    const std::string bytes = read_whole_file(file);
    auto picture = decode_png(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    EXPECT_TRUE(picture) << file << " is not a PNG picture (" << bytes.size() << " bytes)";
    return picture;
}

TEST(ChatView, ScreenshotShowsTheFirstEntriesRendered) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const auto picture = screenshot(1);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), window_width);
    EXPECT_EQ(picture->height(), window_height);
    // Placeholders are pale grey: text and colour come from rendered entries,
    // and from top to bottom of the window.
    const auto found = ink(*picture);
    EXPECT_GT(found.text, window_width * window_height / 100);
    EXPECT_GT(found.colour, window_width * window_height / 200);
    EXPECT_GT(found.rows, window_height / 4);
}

TEST(ChatView, ScreenshotAtScaleTwoHasTwiceThePixelsEachWay) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const auto picture = screenshot(2);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 2 * window_width);
    EXPECT_EQ(picture->height(), 2 * window_height);
    const auto found = ink(*picture);
    EXPECT_GT(found.text, 4 * window_width * window_height / 100);
    EXPECT_GT(found.colour, 4 * window_width * window_height / 200);
    EXPECT_GT(found.rows, 2 * window_height / 4);
}

}  // namespace
}  // namespace qor_webview::e2e
