// Fonts through the real helper: emoji in colour, text symbols as text, and
// Chinese, Japanese and Korean characters as glyphs of their own.
#include <algorithm>
#include <set>

#include "fixture.hpp"
#include "qor_webview/client.hpp"

namespace qor_webview::e2e {
namespace {

Client start_client() {
    ClientOptions options;
    options.helper = helper_path();
    options.environment = display_status(DisplayKind::X11).display->env;
    options.rust_log = "warn";
    auto client = Client::start(options);
    if (!client) throw std::runtime_error("the helper did not start: " + client.error().text());
    return std::move(*client);
}

Picture render(Client& client, const std::string& body, float width) {
    const auto log = client.render_log("<!DOCTYPE html><meta charset=utf-8><body style='margin:0'>" + body, width, 1);
    if (!log) throw std::runtime_error(log.error().text());
    auto picture = decode_png(log->bands.at(0).png);
    if (!picture) throw std::runtime_error("not a PNG");
    return std::move(*picture);
}

// Pixels in columns [left, right) that are opaque and strongly coloured:
// channels at least 100 apart, which no grey of a monochrome outline is.
int coloured(const Picture& p, int left, int right) {
    int n = 0;
    for (int y = 0; y < p.height(); ++y) {
        for (int x = left; x < std::min(right, p.width()); ++x) {
            const auto px = p.pixel(x, y);
            if (Picture::alpha(px) < 250) continue;
            const auto [lo, hi] = std::minmax({Picture::red(px), Picture::green(px), Picture::blue(px)});
            n += hi - lo >= 100;
        }
    }
    return n;
}

TEST(Fonts, EmojiAreInColourEvenWhereATextFontHasThemAndTextSymbolsStayText) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto client = start_client();
    // 😀 is in DejaVu Sans as an outline, 🚀 is not; both must come from
    // the colour font. Each sits in a 40 px cell of its own.
    const std::string cell = "<span style='display:inline-block;width:40px;font:28px sans-serif'>";
    const auto emoji = render(client, cell + "😀</span>" + cell + "🚀</span>", 200);
    EXPECT_GE(coloured(emoji, 0, 40), 100) << "😀";
    EXPECT_GE(coloured(emoji, 40, 80), 100) << "🚀";

    // Symbols whose default is text keep it: not a coloured pixel.
    const auto text = render(client, "<p style='font:28px sans-serif;margin:0'>☀ ★ ♥ ✔ 1 # ☺</p>", 400);
    EXPECT_EQ(coloured(text, 0, text.width()), 0);
    // ... unless the emoji selector asks for colour.
    const auto selected = render(client, "<p style='font:28px sans-serif;margin:0'>♥&#xFE0F;</p>", 400);
    EXPECT_GE(coloured(selected, 0, selected.width()), 100);
    // The text selector keeps an emoji-default character as text.
    const auto as_text = render(client, "<p style='font:28px sans-serif;margin:0'>😀&#xFE0E;</p>", 400);
    EXPECT_EQ(coloured(as_text, 0, as_text.width()), 0);
}

TEST(Fonts, ALineOfChineseJapaneseAndKoreanDrawsOneShapePerCharacter) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto client = start_client();
    const std::vector<std::string> characters = {"你", "好", "世", "界", "の", "ア", "한", "국"};
    std::string line;
    for (const auto& c : characters) line += "<span style='display:inline-block;width:40px'>" + c + "</span>";
    const auto picture = render(client, "<p style='font:28px sans-serif;margin:0;white-space:nowrap'>" + line + "</p>",
                                static_cast<float>(40 * characters.size()));
    // A missing glyph is the same box every time; real glyphs differ.
    std::set<std::vector<bool>> shapes;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        std::vector<bool> shape;
        int ink = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = static_cast<int>(40 * i); x < static_cast<int>(40 * (i + 1)); ++x) {
                const bool on = Picture::alpha(picture.pixel(x, y)) > 128;
                shape.push_back(on);
                ink += on;
            }
        }
        EXPECT_GE(ink, 40) << characters[i];
        shapes.insert(std::move(shape));
    }
    EXPECT_EQ(shapes.size(), characters.size());
}

}  // namespace
}  // namespace qor_webview::e2e
