// Entries without the network, through the real helper: with
// `allow_network` false nothing an entry names reaches a loopback server,
// while data: (and in pages that run scripts, blob:) pictures still draw
// and a standards-mode page keeps its layout; with it true the same entry
// fetches as before.
#include <algorithm>

#include "fixture.hpp"
#include "real_helper.hpp"
#include "qor_webview/client.hpp"
#include "qor_webview/pool.hpp"
#include "run.hpp"

namespace qor_webview::e2e {
namespace {

using namespace std::chrono_literals;

// A 4 x 4 green PNG.
constexpr std::string_view green_png =
    "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAQAAAAECAIAAAAmkwkpAAAAD0lEQVR4nGNg+M+AQMRxAJ6jD/Flt2QIAAAAAElFTkSuQmCC";

// Every way of loading that an entry has, each at a path of its own under
// `tag`; a green data: picture at the top left and, where scripts run, a
// blue blob: one beside it. The form is submitted at the load event: a
// navigation begun while the document loads stops the loads not yet begun
// (<object> and <embed> start late), so sooner would race them. (<link rel=preconnect> is not here: WebKit
// opens its connection whatever the policy; see the README.)
std::string every_load(const LocalServer& server, const std::string& tag) {
    const std::string s = server.url() + tag;
    const std::string ws = "ws://127.0.0.1:" + std::to_string(server.port()) + "/" + tag;
    return "<style>@import url(" + s + "/import.css); @font-face{font-family:F;src:url(" + s +
           "/font.woff)} .b{background:url(" + s + "/bg.png);font-family:F} ul{list-style-image:url(" + s +
           "/list.png)}</style>"
           "<img src=\"" + std::string(green_png) +
           "\" style=\"position:absolute;left:0;top:0;width:40px;height:40px\">"
           "<img id=blob style=\"position:absolute;left:40px;top:0;width:40px;height:40px\">"
           "<img src=\"" + s + "/img.png\"><img srcset=\"" + s + "/srcset.png 1x\"><picture><source srcset=\"" + s +
           "/source.png\"><img></picture><link rel=stylesheet href=\"" + s + "/style.css\">"
           "<link rel=preload as=image href=\"" + s + "/preload.png\"><link rel=prefetch href=\"" + s +
           "/prefetch\"><link rel=icon href=\"" + s + "/icon.png\"><link rel=modulepreload href=\"" + s +
           "/module.js\"><div class=b>x</div><ul><li>a</ul><iframe src=\"" + s + "/frame\"></iframe>"
           "<video poster=\"" + s + "/poster.png\" src=\"" + s + "/video.mp4\"></video><audio preload=auto src=\"" + s +
           "/audio.mp3\"></audio><object data=\"" + s + "/object\"></object><embed src=\"" + s + "/embed\">"
           "<input type=image src=\"" + s + "/input.png\"><svg width=10 height=10><image href=\"" + s +
           "/svg.png\" width=10 height=10 /></svg><script src=\"" + s + "/script.js\"></script>"
           "<form id=f action=\"" + s + "/form\"><input name=q value=1></form><script>"
           "document.getElementById('blob').src = URL.createObjectURL(new Blob(["
           "'<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"><rect width=\"4\" height=\"4\" "
           "fill=\"blue\"/></svg>'], {type: 'image/svg+xml'}));"
           "fetch('" + s + "/fetch').catch(() => {}); new Image().src = '" + s + "/new-image.png';"
           "try { new WebSocket('" + ws + "/ws') } catch (e) {}"
           "var x = new XMLHttpRequest(); x.open('GET', '" + s + "/xhr'); x.send();"
           "navigator.sendBeacon('" + s + "/beacon', 'x'); new EventSource('" + s + "/events');"
           "import('" + s + "/import.js').catch(() => {}); addEventListener('load', () => document.getElementById('f').submit());"
           "</script>";
}

// What each kind of page surely fetches of `every_load` when allowed
// (render_log pages run no scripts; the form's submission may come after
// the picture is taken, or not at all).
std::vector<std::string> fetched(const std::string& tag, bool scripts) {
    std::vector<std::string> paths = {"/img.png", "/srcset.png", "/source.png", "/style.css", "/import.css",
                                      "/font.woff", "/bg.png", "/list.png", "/frame", "/poster.png",
                                      "/object", "/embed", "/input.png", "/svg.png", "/preload.png"};
    if (scripts) paths.insert(paths.end(), {"/script.js", "/fetch", "/new-image.png", "/ws", "/xhr"});
    for (auto& path : paths) path = "/" + tag + path;
    return paths;
}

bool is_colour(std::uint32_t pixel, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const auto near = [](int a, int b) { return std::abs(a - b) <= 8; };
    return Picture::alpha(pixel) == 255 && near(Picture::red(pixel), r) && near(Picture::green(pixel), g) &&
           near(Picture::blue(pixel), b);
}

// A moment for requests still on their way to arrive before "none came".
void let_requests_arrive() { std::this_thread::sleep_for(1s); }

TEST(Offline, NothingAnEntryNamesIsFetchedAndDataPicturesStillDraw) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    LocalServer server;
    ASSERT_TRUE(server.running());
    auto client = Client::start(real_helper(false));
    ASSERT_TRUE(client) << client.error().text();

    auto log = client->render_log(every_load(server, "log"), 600, 1);
    ASSERT_TRUE(log) << log.error().text();
    auto band = decode_png(log->bands.at(0).png);
    ASSERT_TRUE(band);
    EXPECT_TRUE(is_colour(band->pixel(20, 20), 0, 255, 0)) << std::hex << band->pixel(20, 20);

    auto image = client->render_image(every_load(server, "image"), 1);
    ASSERT_TRUE(image) << image.error().text();
    auto picture = decode_png(*image);
    ASSERT_TRUE(picture);
    EXPECT_TRUE(is_colour(picture->pixel(20, 20), 0, 255, 0)) << std::hex << picture->pixel(20, 20);
    EXPECT_TRUE(is_colour(picture->pixel(60, 20), 0, 0, 255)) << std::hex << picture->pixel(60, 20);

    // Submitted requests get the client's policy too.
    ASSERT_TRUE(client->submit(protocol::RenderLog{every_load(server, "submitted"), 600, 1}));
    ASSERT_TRUE(client->collect());

    let_requests_arrive();
    EXPECT_EQ(server.connections(), 0);
    EXPECT_TRUE(server.paths().empty()) << server.paths().front();
}

TEST(Offline, WithTheNetworkAllowedTheSameEntriesFetchAsBefore) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    LocalServer server;
    ASSERT_TRUE(server.running());
    // Allowed by the client's default, and by a call against an offline default.
    auto client = Client::start(real_helper(true));
    ASSERT_TRUE(client) << client.error().text();
    ASSERT_TRUE(client->render_log(every_load(server, "log"), 600, 1));
    auto offline = Client::start(real_helper(false));
    ASSERT_TRUE(offline) << offline.error().text();
    RenderOptions allowed;
    allowed.allow_network = true;
    ASSERT_TRUE(offline->render_image(every_load(server, "image"), 1, allowed));

    EXPECT_TRUE(server.wait_for(fetched("log", false), 10s));
    EXPECT_TRUE(server.wait_for(fetched("image", true), 10s));
    const auto seen = server.paths();
    for (const auto& path : fetched("image", true))
        EXPECT_TRUE(std::find(seen.begin(), seen.end(), path) != seen.end()) << path;
}

TEST(Offline, ThePoolTakesTheChoicePerCall) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    LocalServer server;
    ASSERT_TRUE(server.running());
    PoolOptions options;
    options.client = real_helper(true);
    options.max_helpers = 1;
    auto pool = Pool::start(std::move(options));
    ASSERT_TRUE(pool) << pool.error().text();
    CallOptions offline;
    offline.allow_network = false;
    auto image = pool->render_image(every_load(server, "offline"), 1, offline);
    ASSERT_TRUE(image) << image.error().text();
    auto picture = decode_png(*image);
    ASSERT_TRUE(picture);
    EXPECT_TRUE(is_colour(picture->pixel(60, 20), 0, 0, 255)) << std::hex << picture->pixel(60, 20);
    ASSERT_TRUE(pool->render_log(every_load(server, "offline-log"), 600, 1, offline));
    let_requests_arrive();
    EXPECT_EQ(server.connections(), 0);

    ASSERT_TRUE(pool->render_log(every_load(server, "default"), 600, 1));
    EXPECT_TRUE(server.wait_for(fetched("default", false), 10s));
}

// Pictures in line boxes of their own: in standards mode each line is
// taller than its picture (room for descenders), in quirks mode not.
std::string rows_of_pictures() {
    std::string rows;
    for (int i = 0; i < 12; ++i)
        rows += "<div><img src=\"" + std::string(green_png) + "\" style=\"width:20px;height:20px\"></div>";
    return rows;
}

TEST(Offline, AStandardsModePageKeepsItsLayout) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto allowed = Client::start(real_helper(true));
    auto offline = Client::start(real_helper(false));
    ASSERT_TRUE(allowed && offline);
    for (const std::string doctype :
         {"<!DOCTYPE html>", "\xEF\xBB\xBF<!-- first -->\n<!doctype HTML>", "<!DOCTYPE html><!-- after -->"}) {
        SCOPED_TRACE(doctype);
        const std::string html = doctype + rows_of_pictures();
        auto standards = allowed->render_log(html, 300, 1);
        auto kept = offline->render_log(html, 300, 1);
        ASSERT_TRUE(standards && kept);
        EXPECT_EQ(kept->height, standards->height);
    }
    // The entry tells the modes apart: without a doctype it is shorter.
    auto quirks = offline->render_log(rows_of_pictures(), 300, 1);
    auto standards = offline->render_log("<!DOCTYPE html>" + rows_of_pictures(), 300, 1);
    ASSERT_TRUE(quirks && standards);
    EXPECT_LT(quirks->height, standards->height);
}

TEST(Offline, AnEntrysOwnPolicyStillApplies) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    auto offline = Client::start(real_helper(false));
    ASSERT_TRUE(offline);
    // Its own policy forbids data: pictures, which the client's allows:
    // both are enforced, so the picture does not draw.
    const std::string html = "<!DOCTYPE html><meta http-equiv=\"Content-Security-Policy\" content=\"img-src 'none'\">"
                             "<img src=\"" + std::string(green_png) + "\" style=\"display:block;width:40px;height:40px\">";
    auto log = offline->render_log(html, 300, 1);
    ASSERT_TRUE(log) << log.error().text();
    auto band = decode_png(log->bands.at(0).png);
    ASSERT_TRUE(band);
    EXPECT_FALSE(is_colour(band->pixel(20, 20), 0, 255, 0));
}

TEST(Offline, TheRendererTakesOffline) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    LocalServer server;
    ASSERT_TRUE(server.running());
    const TempDir folder;
    write_whole_file(folder / "entry.html", every_load(server, "cli"));
    RunOptions run;
    if (const auto status = display_status(DisplayKind::X11); status.display != nullptr) run.env = status.display->env;
    const auto result = run_program({QOR_RENDER_PATH, "--helper", helper_path(), "--offline", "-q", "-o",
                                     folder / "out.png", folder / "entry.html"},
                                    run);
    ASSERT_EQ(result.status, 0) << result.err;
    let_requests_arrive();
    EXPECT_EQ(server.connections(), 0);
}

}  // namespace
}  // namespace qor_webview::e2e
