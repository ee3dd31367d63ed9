// The client against the real helper on a private Xvfb: typed results
// checked against their decoded pixels, failed answers as their errors, the
// helper dying, pipelining, and clean ends.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <dirent.h>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "fixture.hpp"
#include "real_helper.hpp"
#include "qor_webview/client.hpp"

namespace qor_webview::e2e {
namespace {

using Clock = std::chrono::steady_clock;

Client start(ClientOptions options = real_helper()) {
    auto client = Client::start(std::move(options));
    if (!client) throw std::runtime_error("the helper did not start: " + client.error().text());
    return std::move(*client);
}

Milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<Milliseconds>(Clock::now() - start);
}

template <class C, class T>
const C* error_case(const Expected<T, Error>& result) {
    return result ? nullptr : std::get_if<C>(&result.error().get());
}

bool gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Waits up to `limit` for every process in `pids` to be gone.
bool all_gone(const std::vector<pid_t>& pids, Duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (std::all_of(pids.begin(), pids.end(), gone)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::all_of(pids.begin(), pids.end(), gone);
}

std::string command_name(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n - 1;
}

// 0xAARRGGBB of an opaque colour.
constexpr std::uint32_t opaque(std::uint32_t rgb) { return 0xFF000000u | rgb; }

// ------------------------------------------------------------ the requests

TEST(ClientHelper, ALogEntryComesAsBandsOfItsPixelsWithItsLinks) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    const auto log = client.render_log(
        "<!doctype html><body style=\"margin:0\">"
        "<div style=\"width:300px;height:150px;background:rgb(255,0,0)\"></div>"
        "<a href=\"https://x.example/a?b=1&amp;c\" style=\"display:block;width:50px;height:20px;"
        "background:rgb(0,0,255)\"></a></body>",
        400.5f, 2);
    ASSERT_TRUE(log.has_value()) << log.error().text();
    EXPECT_EQ(log->width, 400.5f);  // echoed as asked
    EXPECT_EQ(log->height, 170.0f);
    ASSERT_EQ(log->bands.size(), 1u);
    EXPECT_EQ(log->bands[0].top, 0.0f);
    EXPECT_EQ(log->bands[0].height, 170.0f);
    const auto picture = decode_png(log->bands[0].png);
    ASSERT_TRUE(picture.has_value());
    // Window scale 2: two device pixels per CSS pixel each way.
    EXPECT_EQ(picture->width(), 800);
    EXPECT_EQ(picture->height(), 340);
    EXPECT_EQ(picture->pixel(20, 20), opaque(0xFF0000));
    EXPECT_EQ(picture->pixel(599, 299), opaque(0xFF0000));
    EXPECT_EQ(picture->pixel(20, 320), opaque(0x0000FF));
    EXPECT_EQ(Picture::alpha(picture->pixel(700, 20)), 0);  // the background is left transparent
    EXPECT_EQ(Picture::alpha(picture->pixel(150, 320)), 0);

    const auto links = parse_links(log->links);
    ASSERT_TRUE(links.has_value()) << log->links;
    ASSERT_EQ(links->size(), 1u);
    EXPECT_EQ((*links)[0], (LinkArea{"https://x.example/a?b=1&c", 0, 150, 50, 20}));
}

TEST(ClientHelper, ATallEntryIsCutIntoBandsThatStackUp) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    const auto log = client.render_log(
        "<body style=\"margin:0\"><div style=\"height:4100px;background:rgb(255,0,0)\"></div>"
        "<div style=\"height:900px;background:rgb(0,0,255)\"></div></body>",
        200, 1);
    ASSERT_TRUE(log.has_value()) << log.error().text();
    EXPECT_EQ(log->height, 5000.0f);
    ASSERT_EQ(log->bands.size(), 2u);
    EXPECT_EQ(log->bands[0].top, 0.0f);
    EXPECT_EQ(log->bands[0].height, 4096.0f);
    EXPECT_EQ(log->bands[1].top, 4096.0f);
    EXPECT_EQ(log->bands[1].height, 904.0f);
    const auto first = decode_png(log->bands[0].png);
    const auto second = decode_png(log->bands[1].png);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->width(), 200);
    EXPECT_EQ(first->height(), 4096);
    EXPECT_EQ(second->width(), 200);
    EXPECT_EQ(second->height(), 904);
    EXPECT_EQ(first->pixel(10, 4095), opaque(0xFF0000));
    EXPECT_EQ(second->pixel(10, 3), opaque(0xFF0000));  // CSS row 4099
    EXPECT_EQ(second->pixel(10, 4), opaque(0x0000FF));  // CSS row 4100
    EXPECT_EQ(second->pixel(199, 903), opaque(0x0000FF));
    EXPECT_EQ(log->links, "[]");
}

TEST(ClientHelper, AnImageIsOnePictureOfTheWholeContent) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    const std::string html =
        "<body style=\"margin:0\"><div style=\"width:1000px;height:700px;background:rgb(0,128,0)\"></div></body>";
    const auto png = client.render_image(html, 1);
    ASSERT_TRUE(png.has_value()) << png.error().text();
    const auto picture = decode_png(*png);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width(), 1000);
    EXPECT_EQ(picture->height(), 700);
    EXPECT_EQ(picture->pixel(500, 350), opaque(0x008000));
    EXPECT_EQ(picture->pixel(999, 699), opaque(0x008000));

    const auto doubled = decode_png(client.render_image(html, 2).value());
    ASSERT_TRUE(doubled.has_value());
    EXPECT_EQ(doubled->width(), 2000);
    EXPECT_EQ(doubled->height(), 1400);
    // JSON cannot carry a NaN scale; the client sends 1, as the helper reads NaN.
    const auto nan_scale = decode_png(client.render_image(html, std::nanf("")).value());
    ASSERT_TRUE(nan_scale.has_value());
    EXPECT_EQ(nan_scale->width(), 1000);
}

TEST(ClientHelper, EvaluateGivesTheResultTextAndThePageKeepsItsState) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    EXPECT_EQ(client.evaluate({"var n = 40", "n += 1 // a comment on the last line"}, "n + 1").value(), "42");
    EXPECT_EQ(client.evaluate({}, "n").value(), "41");
    EXPECT_EQ(client.evaluate({}, "'caf\xc3\xa9 \"quoted\"\\n' + String.fromCharCode(9)").value(),
              "caf\xc3\xa9 \"quoted\"\n\t");
}

// ------------------------------------------------------------ failed kinds

TEST(ClientHelper, AThrowingScriptIsAScriptError) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    const auto text = client.evaluate({"var before = 1", "throw new Error('boom')", "before = 2"}, "before");
    const auto* script = error_case<Error::Script>(text);
    ASSERT_NE(script, nullptr) << (text ? *text : text.error().text());
    EXPECT_NE(script->message.find("boom"), std::string::npos) << script->message;
    // The scripts before the failure ran, the one after it did not.
    EXPECT_EQ(client.evaluate({}, "before").value(), "1");
}

// User and system time that a process has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    // After the name: state, then fields 4 to 13, then utime and stime.
    std::vector<std::string> fields;
    std::size_t at = close + 2;
    while (at < text.size() && fields.size() < 13) {
        const auto end = std::min(text.find(' ', at), text.size());
        fields.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (fields.size() < 13) return 0;
    long utime = 0, stime = 0;
    std::from_chars(fields[11].data(), fields[11].data() + fields[11].size(), utime);
    std::from_chars(fields[12].data(), fields[12].data() + fields[12].size(), stime);
    return utime + stime;
}

// The web processes that the helper has started.
std::vector<pid_t> web_processes(pid_t helper) {
    std::vector<pid_t> found;
    for (const pid_t pid : descendants(helper)) {
        if (command_name(pid).starts_with("WebKitWebProces")) found.push_back(pid);
    }
    return found;
}

TEST(ClientHelper, AWebProcessEndingDuringTheLoadIsALoadError) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    // The page's own script (image pages run them) holds the load for seven
    // seconds; the web process is killed meanwhile, as a crash would end it.
    ASSERT_TRUE(client
                    .submit(protocol::RenderImage{"<script>const t = Date.now(); while (Date.now() - t < 7000) {}</script>"
                                                  "<p>slow</p>",
                                                  1})
                    .has_value());
    // Only the web process that runs the script is killed: one that is still
    // starting up is not a page's, and killing that one aborts WebKit itself.
    std::vector<pid_t> victims;
    std::vector<pid_t> busy_before;
    // A busy machine may take seconds to start the web process.
    const auto deadline = Clock::now() + std::chrono::seconds(6);
    while (victims.empty() && Clock::now() < deadline) {
        const auto candidates = web_processes(client.pid());
        std::vector<long> before;
        for (const pid_t pid : candidates) before.push_back(cpu_ticks(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<pid_t> busy;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            // Busy for a third of two 300 ms windows in a row at least (ticks
            // are hundredths of a second), which start-up alone is not.
            if (cpu_ticks(candidates[i]) - before[i] < 10) continue;
            busy.push_back(candidates[i]);
            if (std::ranges::find(busy_before, candidates[i]) != busy_before.end()) victims.push_back(candidates[i]);
        }
        busy_before = std::move(busy);
    }
    ASSERT_FALSE(victims.empty()) << "no busy web process found";
    for (const pid_t pid : victims) ::kill(pid, SIGKILL);
    const auto reply = client.collect();
    const auto* load = error_case<Error::Load>(reply);
    ASSERT_NE(load, nullptr) << (reply ? "an answer came" : reply.error().text());
    EXPECT_TRUE(load->message.starts_with("the web process ended: ")) << load->message;
    // The page is replaced and the helper goes on.
    const auto png = client.render_image("<p>after</p>", 1);
    EXPECT_TRUE(png.has_value()) << png.error().text();
}

TEST(ClientHelper, AWebProcessThatHangsDuringTheSnapshotIsASnapshotError) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    // The second resize, to the measured size, wakes the page's handler,
    // which keeps the web process busy past the snapshot's time limit.
    const auto begun = Clock::now();
    const auto png = client.render_image(
        "<body style=\"margin:0\"><div style=\"height:900px\">tall</div>"
        "<script>addEventListener('resize', () => { const t = Date.now(); while (Date.now() - t < 12000) {} });"
        "</script></body>",
        1);
    const auto* snapshot = error_case<Error::Snapshot>(png);
    ASSERT_NE(snapshot, nullptr) << (png ? "a picture came" : png.error().text());
    EXPECT_EQ(snapshot->message, "the snapshot timed out");
    EXPECT_GE(since(begun), std::chrono::milliseconds(9000));
    const auto after = client.render_image("<p>after</p>", 1);
    EXPECT_TRUE(after.has_value()) << after.error().text();
}

// ------------------------------------------------------------ the process

TEST(ClientHelper, WithoutADisplayTheStartErrorCarriesTheHelpersMessage) {
    ClientOptions options = real_helper();
    options.environment = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"GDK_BACKEND", "x11"}};
    const auto before = descendants(::getpid());
    const auto client = Client::start(options);
    const auto* start_error = error_case<Error::Start>(client);
    ASSERT_NE(start_error, nullptr) << (client ? "it started" : client.error().text());
    EXPECT_EQ(start_error->message, "failed to start gtk: Failed to initialize GTK");
    EXPECT_EQ(client.error().text(), "failed to start the web view: failed to start gtk: Failed to initialize GTK");
    EXPECT_EQ(descendants(::getpid()), before);
}

TEST(ClientHelper, AHelperKilledDuringALongRequestGivesStoppedUntilRestart) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    const pid_t pid = client.pid();
    std::atomic<Clock::rep> killed_at{0};
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        killed_at = Clock::now().time_since_epoch().count();
        ::kill(pid, SIGKILL);
    });
    const auto text = client.evaluate({"const t = Date.now(); while (Date.now() - t < 3000) {}"}, "'done'");
    const auto returned = Clock::now();
    killer.join();
    ASSERT_NE(error_case<Error::Stopped>(text), nullptr) << (text ? *text : text.error().text());
    const auto after_kill = returned - Clock::time_point(Clock::duration(killed_at.load()));
    EXPECT_LT(after_kill, std::chrono::seconds(1));
    RecordProperty("stopped_after_kill_us",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(after_kill).count()));
    EXPECT_EQ(text.error().text(), "the web view thread stopped");
    EXPECT_FALSE(client.running());
    // Reaped by the client's reader right after its answers ended.
    EXPECT_TRUE(all_gone({pid}, std::chrono::seconds(1)));
    EXPECT_NE(error_case<Error::Stopped>(client.render_log("<p>x</p>", 100, 1)), nullptr);
    EXPECT_NE(error_case<Error::Stopped>(client.submit(protocol::Evaluate{{}, "1"})), nullptr);

    ASSERT_TRUE(client.restart().has_value());
    EXPECT_TRUE(client.running());
    EXPECT_EQ(client.evaluate({}, "1 + 1").value(), "2");
}

TEST(ClientHelper, AHundredPipelinedRequestsComeBackInOrder) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    constexpr int count = 100;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        protocol::Request request;
        switch (i % 3) {
            case 0: request = protocol::Evaluate{{"var last = " + n}, "last * 2"}; break;
            case 1:
                request = protocol::RenderLog{
                    "<body style=\"margin:0\"><div style=\"height:" + std::to_string(100 + i) + "px\"></div>", 
                    static_cast<float>(50 + i), 1};
                break;
            default:
                request = protocol::RenderImage{
                    "<body style=\"margin:0\"><div style=\"width:" + std::to_string(900 + i) +
                        "px;height:10px;background:rgb(0,0,255)\"></div>",
                    1};
        }
        ASSERT_TRUE(client.submit(std::move(request)).has_value()) << i;
    }
    EXPECT_EQ(client.pending(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto reply = client.collect();
        ASSERT_TRUE(reply.has_value()) << i << ": " << reply.error().text();
        switch (i % 3) {
            case 0:
                ASSERT_TRUE(std::holds_alternative<ScriptText>(*reply)) << i;
                EXPECT_EQ(std::get<ScriptText>(*reply).text, std::to_string(2 * i));
                break;
            case 1: {
                ASSERT_TRUE(std::holds_alternative<LogPicture>(*reply)) << i;
                const auto& log = std::get<LogPicture>(*reply);
                EXPECT_EQ(log.width, static_cast<float>(50 + i));
                EXPECT_EQ(log.height, static_cast<float>(100 + i));
                ASSERT_EQ(log.bands.size(), 1u);
                const auto picture = decode_png(log.bands[0].png);
                ASSERT_TRUE(picture.has_value());
                EXPECT_EQ(picture->width(), 50 + i);
                EXPECT_EQ(picture->height(), 100 + i);
                break;
            }
            default: {
                ASSERT_TRUE(std::holds_alternative<ImagePicture>(*reply)) << i;
                const auto picture = decode_png(std::get<ImagePicture>(*reply).png);
                ASSERT_TRUE(picture.has_value());
                EXPECT_EQ(picture->width(), 900 + i);
                EXPECT_EQ(picture->pixel(5, 5), opaque(0x0000FF));
            }
        }
    }
    EXPECT_EQ(client.pending(), 0u);
}

TEST(ClientHelper, CallsFromSeveralThreadsEachGetTheirOwnAnswer) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    Client client = start();
    std::vector<std::future<bool>> results;
    for (int t = 0; t < 4; ++t) {
        results.push_back(std::async(std::launch::async, [&client, t] {
            bool ok = true;
            for (int i = 0; i < 5; ++i) {
                if (i == 2) {
                    const int height = 100 + 10 * t;
                    const auto log = client.render_log(
                        "<body style=\"margin:0\"><div style=\"height:" + std::to_string(height) + "px\"></div>", 100, 1);
                    ok = ok && log && log->height == static_cast<float>(height);
                } else {
                    const std::string expected = std::to_string(t * 100 + i);
                    const auto text = client.evaluate({}, expected);
                    ok = ok && text && *text == expected;
                }
            }
            return ok;
        }));
    }
    for (auto& result : results) EXPECT_TRUE(result.get());
}

TEST(ClientHelper, DestroyingWithRequestsInFlightEndsEverythingInTime) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    ClientOptions options = real_helper();
    options.stop_timeout = std::chrono::milliseconds(500);
    std::optional<Client> client(start(options));
    ASSERT_TRUE(client->render_log("<p>warm</p>", 100, 1).has_value());
    const pid_t pid = client->pid();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(client->submit(protocol::RenderLog{"<div style=\"height:3000px\">" + std::to_string(i) + "</div>",
                                                       600, 2})
                        .has_value());
    }
    const auto started = web_processes(pid);
    EXPECT_FALSE(started.empty());
    const auto begun = Clock::now();
    client.reset();
    EXPECT_LT(since(begun), std::chrono::milliseconds(2500));
    EXPECT_TRUE(gone(pid));
    // What the helper started goes with it.
    EXPECT_TRUE(all_gone(started, std::chrono::seconds(10)));
}

TEST(ClientHelper, StandardErrorFollowsTheLogFilter) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    for (const std::string filter : {"info", "warn"}) {
        std::mutex mutex;
        std::vector<std::string> lines;
        ClientOptions options = real_helper();
        options.rust_log = filter;
        options.on_stderr = [&](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        };
        {
            Client client = start(options);
            ASSERT_TRUE(client.evaluate({}, "1").has_value());
        }
        // All lines are delivered once the client is gone.
        const bool has_info =
            std::count(lines.begin(), lines.end(),
                       " INFO qor_webview_helper::render: drawing with webkitgtk, scaling by Window") == 1;
        EXPECT_EQ(has_info, filter == "info") << filter;
    }
}

TEST(ClientHelper, StartStopCyclesLeaveNoDescriptorOrProcess) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const auto descriptors = open_descriptors();
    const auto processes = descendants(::getpid());
    std::vector<pid_t> helpers;
    for (int i = 0; i < 5; ++i) {
        Client client = start();
        helpers.push_back(client.pid());
        ASSERT_EQ(client.evaluate({}, std::to_string(i)).value(), std::to_string(i));
    }
    for (const pid_t pid : helpers) EXPECT_TRUE(gone(pid));
    EXPECT_EQ(open_descriptors(), descriptors);
    // The helpers' web processes may take a moment to notice.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (descendants(::getpid()) != processes && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(descendants(::getpid()), processes);
}

}  // namespace
}  // namespace qor_webview::e2e
