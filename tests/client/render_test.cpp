// The command-line renderer end to end: real files in, PNG files out,
// compared with what the client gets for the same entries.
#include <algorithm>
#include <filesystem>

#include "fixture.hpp"
#include "qor_webview/client.hpp"
#include "run.hpp"

namespace qor_webview::e2e {
namespace {

namespace fs = std::filesystem;

const std::string render_program = QOR_RENDER_PATH;

EnvOverrides display_env() {
    const auto status = display_status(DisplayKind::X11);
    return status.display != nullptr ? status.display->env : EnvOverrides{};
}

RunResult render(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), {render_program, "--helper", helper_path()});
    if (options.env.empty()) options.env = display_env();
    return run_program(args, options);
}

// The renderer's own lines on standard error (GTK and WebKit may add theirs).
std::vector<std::string> error_lines(const std::string& err) {
    std::vector<std::string> lines;
    for (const auto& line : split_lines(err)) {
        if (line.starts_with("qor_webview_render: ")) lines.push_back(line);
    }
    return lines;
}

std::optional<Picture> read_png(const std::string& path) {
    const std::string bytes = read_whole_file(path);
    return decode_png(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

bool same_pixels(const Picture& whole, const Picture& band, int top) {
    if (band.width() != whole.width() || top + band.height() > whole.height()) return false;
    for (int y = 0; y < band.height(); ++y) {
        for (int x = 0; x < band.width(); ++x) {
            if (whole.pixel(x, top + y) != band.pixel(x, y)) return false;
        }
    }
    return true;
}

TEST(RenderCommand, AFolderOfExamplesBecomesPicturesThatMatchTheAnswers) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir out;
    const std::string examples = std::string(QOR_SOURCE_DIR) + "/examples";
    const auto result = render({"-w", "600", "-s", "2", "--bands", "-o", out.path(), examples});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(error_lines(result.err).empty()) << result.err;

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(examples)) {
        if (entry.path().extension() == ".html") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 2u);
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), names.size() + 1) << result.out;
    EXPECT_TRUE(lines.back().starts_with(std::to_string(names.size()) + " files: " + std::to_string(names.size()) +
                                         " rendered, 0 failed, "))
        << lines.back();

    ClientOptions options;
    options.helper = helper_path();
    options.environment = display_env();
    options.rust_log = "warn";
    auto client = Client::start(options);
    ASSERT_TRUE(client.has_value()) << client.error().text();
    bool some_cut = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string html = read_whole_file(examples + "/" + names[i] + ".html");
        const auto log = client->render_log(html, 600, 2);
        ASSERT_TRUE(log.has_value()) << log.error().text();
        int width = 0, height = 0;
        for (const auto& band : log->bands) {
            const auto picture = decode_png(band.png);
            ASSERT_TRUE(picture.has_value());
            width = std::max(width, picture->width());
            height += picture->height();
        }
        const auto whole = read_png(out / (names[i] + ".png"));
        ASSERT_TRUE(whole.has_value());
        EXPECT_EQ(whole->width(), width);
        EXPECT_EQ(whole->height(), height);

        // The bands written beside the picture are the picture, cut.
        int top = 0;
        for (std::size_t b = 0; b < log->bands.size(); ++b) {
            const auto band = read_png(out / (names[i] + ".band-" + std::to_string(b) + ".png"));
            ASSERT_TRUE(band.has_value()) << b;
            EXPECT_TRUE(same_pixels(*whole, *band, top)) << "band " << b;
            top += band->height();
        }
        EXPECT_FALSE(fs::exists(out / (names[i] + ".band-" + std::to_string(log->bands.size()) + ".png")));
        some_cut = some_cut || log->bands.size() > 1;

        const auto links = parse_links(log->links);
        ASSERT_TRUE(links.has_value());
        const std::string expected = "[" + std::to_string(i + 1) + "/" + std::to_string(names.size()) + "] " +
                                     examples + "/" + names[i] + ".html -> " + out.path() + "/" + names[i] +
                                     ".png: " + std::to_string(width) + "x" + std::to_string(height) + " px (600x";
        EXPECT_TRUE(lines[i].starts_with(expected)) << lines[i] << "\nexpected: " << expected;
        const std::string counts = std::to_string(log->bands.size()) + (log->bands.size() == 1 ? " band, " : " bands, ") +
                                   std::to_string(links->size()) + (links->size() == 1 ? " link, " : " links, ");
        EXPECT_NE(lines[i].find(counts), std::string::npos) << lines[i] << "\nexpected: " << counts;
        EXPECT_TRUE(lines[i].ends_with(" ms")) << lines[i];
    }
    EXPECT_TRUE(some_cut) << "no example is tall enough to be cut into bands";
}

// Each line without its time and with the output folder as "OUT": all that
// may differ between two runs.
std::vector<std::string> without_times(const std::string& out, const std::string& folder) {
    std::vector<std::string> lines;
    for (auto line : split_lines(out)) {
        if (const auto comma = line.rfind(", "); comma != std::string::npos) line.resize(comma);
        if (const auto at = line.find(folder); at != std::string::npos) line.replace(at, folder.size(), "OUT");
        lines.push_back(line);
    }
    return lines;
}

TEST(RenderCommand, SeveralHelpersWriteTheSamePicturesInTheSameOrder) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const std::string examples = std::string(QOR_SOURCE_DIR) + "/examples";
    const TempDir one, three;
    const auto alone = render({"-j", "1", "-w", "600", "-s", "2", "-o", one.path(), examples});
    const auto pooled = render({"-j", "3", "-w", "600", "-s", "2", "-o", three.path(), examples});
    ASSERT_EQ(alone.status, 0) << alone.err;
    ASSERT_EQ(pooled.status, 0) << pooled.err;
    EXPECT_EQ(without_times(pooled.out, three.path()), without_times(alone.out, one.path()));
    std::size_t pictures = 0;
    for (const auto& entry : fs::directory_iterator(one.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(read_whole_file(three / name), read_whole_file(one / name)) << name;
        ++pictures;
    }
    EXPECT_GE(pictures, 9u);  // tall.html among them, stitched from two bands
}

TEST(RenderCommand, BadFilesAreReportedOneLineEachAndTheOthersStillRendered) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir in, out;
    write_whole_file(in / "a.html", "<p>first</p>");
    write_whole_file(in / "bad.html", "<p>caf\xe9 in Latin-1</p>");
    write_whole_file(in / "z.html", "<p>last</p>");
    const auto result = render({"-o", out.path(), in / "a.html", in / "bad.html", in / "missing.html", in / "z.html"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(error_lines(result.err),
              (std::vector<std::string>{
                  "qor_webview_render: " + (in / "bad.html") +
                      ": the web view call render_log failed: the html is not valid UTF-8",
                  "qor_webview_render: " + (in / "missing.html") + ": no such file",
              }))
        << result.err;
    for (const char* name : {"a.png", "z.png"}) {
        const auto picture = read_png(out / name);
        ASSERT_TRUE(picture.has_value()) << name;
        EXPECT_EQ(picture->width(), 800);
        EXPECT_EQ(picture->height(), 100);
    }
    EXPECT_FALSE(fs::exists(out / "bad.png"));
    EXPECT_FALSE(fs::exists(out / "missing.png"));
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 3u) << result.out;
    EXPECT_TRUE(lines[0].starts_with("[1/4] " + (in / "a.html") + " -> ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("[4/4] " + (in / "z.html") + " -> ")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("4 files: 2 rendered, 2 failed, ")) << lines[2];
}

TEST(RenderCommand, AnImageFromStandardInputGoesToTheNamedFile) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir out;
    RunOptions options;
    options.input = "<body style=\"margin:0\"><div style=\"width:1000px;height:700px;background:rgb(0,128,0)\">";
    const auto result = render({"--image", "-s", "1.5", "-o", out / "green.png"}, options);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto picture = read_png(out / "green.png");
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width(), 2000);  // window scale 2 on X11 for a scale of 1.5
    EXPECT_EQ(picture->height(), 1400);
    EXPECT_EQ(picture->pixel(10, 10), 0xFF008000u);
    EXPECT_TRUE(result.out.starts_with("standard input -> " + (out / "green.png") + ": 2000x1400 px, ")) << result.out;
}

TEST(RenderCommand, WithoutADisplayItStartsItsOwnServer) {
    if (display_status(DisplayKind::X11).skip) GTEST_SKIP() << "Xvfb is not installed";
    const TempDir in, out;
    write_whole_file(in / "entry.html", "<p>no display here</p>");
    RunOptions options;
    options.env = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
    const auto result = render({"-o", out.path(), in / "entry.html"}, options);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto picture = read_png(out / "entry.png");
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->height(), 100);
}

TEST(RenderCommand, EvaluateRunsTheScriptsInOrderThenPrintsTheText) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir in;
    write_whole_file(in / "define.js", "globalThis.twice = (s) => s + '\\n\"' + s;");
    RunOptions options;
    options.input = "globalThis.word = twice('a');";
    const auto result = render({"--evaluate", "twice(word)", in / "define.js", "-"}, options);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 1u) << result.out;
    // The text is quoted and escaped: a line feed in it stays on one line.
    EXPECT_TRUE(lines[0].starts_with(R"(evaluate (2 scripts) -> "a\n\"a\n\"a\n\"a", )")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" ms")) << lines[0];

    // Quiet: the bare text; no scripts at all is fine.
    const auto quiet = render({"-q", "-e", "6 * 7"});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "42\n");

    write_whole_file(in / "throws.js", "throw new Error('nope')");
    const auto failed = render({"-e", "1", in / "throws.js"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    const auto errors = error_lines(failed.err);
    ASSERT_EQ(errors.size(), 1u) << failed.err;
    EXPECT_TRUE(errors[0].starts_with("qor_webview_render: evaluate: ")) << errors[0];

    const auto missing = render({"-e", "1", in / "missing.js"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(error_lines(missing.err),
              std::vector<std::string>{"qor_webview_render: " + (in / "missing.js") + ": no such file"});
}

TEST(RenderCommand, AWrongCommandLineIsOneLineAndStatusTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--width", "abc"}, {"--scale"}, {"--colour"}, {"--evaluate"}, {"--evaluate", "1", "--image"}}) {
        const auto result = run_program([&] {
            std::vector<std::string> all = {render_program};
            all.insert(all.end(), args.begin(), args.end());
            return all;
        }());
        EXPECT_EQ(result.status, 2) << result.command;
        const auto lines = split_lines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_TRUE(lines[0].starts_with("qor_webview_render: ") && lines[0].ends_with(" (see --help)")) << lines[0];
    }
}

}  // namespace
}  // namespace qor_webview::e2e
