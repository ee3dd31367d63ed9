// An installation into a fresh prefix, used as a parent application would:
// the example parent built with find_package and with pkg-config in a
// folder of its own, where it finds the helper through the library.
#include <filesystem>

#include "fixture.hpp"
#include "run.hpp"

namespace qor_webview::e2e {
namespace {

namespace fs = std::filesystem;

// The installed file called `name`, wherever the layout put it.
std::optional<fs::path> find_installed(const fs::path& prefix, std::string_view name) {
    for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
        if (entry.path().filename() == name) return entry.path();
    }
    return std::nullopt;
}

::testing::AssertionResult succeeded(const RunResult& result) {
    if (result.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << result.command << " ended with " << result.status << "\n"
                                         << result.out << result.err;
}

// The words of a command's first output line, split at spaces.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    const std::string line = text.substr(0, text.find('\n'));
    std::size_t at = 0;
    while (at < line.size()) {
        const auto end = std::min(line.find(' ', at), line.size());
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

TEST(Install, TheSharedLibraryHasItsSonameAndExportsThePublicInterfaceOnly) {
#ifdef QOR_SANITIZED
    GTEST_SKIP() << "the sanitized build is not installed";
#endif
    const TempDir prefix;
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "--install", QOR_BUILD_DIR, "--prefix", prefix.path()})));
    const auto library = find_installed(prefix.path(), "libqor_webview.so.1");
    ASSERT_TRUE(library.has_value());
    EXPECT_TRUE(fs::is_symlink(*library));
    EXPECT_FALSE(find_installed(prefix.path(), "libqor_webview.a").has_value());

    const auto dynamic = run_program({"objdump", "-p", library->string()});
    ASSERT_TRUE(succeeded(dynamic));
    EXPECT_NE(dynamic.out.find("SONAME               libqor_webview.so.1\n"), std::string::npos) << dynamic.out;

    const auto symbols = run_program({"nm", "-D", "--defined-only", "-C", library->string()});
    ASSERT_TRUE(succeeded(symbols));
    bool start = false;
    for (const auto& line : split_lines(symbols.out)) {
        SCOPED_TRACE(line);
        // The client's operating-system side and the JSON reader are hidden.
        EXPECT_EQ(line.find("qor_webview::detail"), std::string::npos);
        EXPECT_EQ(line.find("qor_webview::json"), std::string::npos);
        EXPECT_EQ(line.find("anonymous namespace"), std::string::npos);
        start = start || line.find("qor_webview::Client::start(") != std::string::npos;
    }
    EXPECT_TRUE(start) << symbols.out;
}

TEST(Install, AParentBuiltAgainstTheInstalledPackageRendersAnEntry) {
#ifdef QOR_SANITIZED
    GTEST_SKIP() << "a sanitized library cannot be linked into a plain parent program";
#endif
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir prefix;
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "--install", QOR_BUILD_DIR, "--prefix", prefix.path()})));
    for (const char* name : {"client.hpp", "wire.hpp", "error.hpp", "export.hpp", "libqor_webview.so",
                             "qor_webview_helper", "qor_webview_render", "qor_webview_render.1.gz",
                             "qor_webviewConfig.cmake", "qor_webviewTargets.cmake", "qor_webview.pc"}) {
        EXPECT_TRUE(find_installed(prefix.path(), name).has_value()) << name;
    }
    const auto helper = find_installed(prefix.path(), "qor_webview_helper");
    ASSERT_TRUE(helper.has_value());
    EXPECT_EQ(helper->parent_path().filename(), "qor_webview");
    EXPECT_EQ(helper->parent_path().parent_path().filename(), "libexec");

    // The parents are built and run in folders of their own, outside the
    // prefix, which is not the one the build was configured for.
    const TempDir elsewhere;
    const EnvOverrides display = display_status(DisplayKind::X11).display->env;
    RunOptions outside;
    outside.directory = elsewhere.path();
    outside.env = display;
    // Nothing may point the client at the helper but the installation.
    outside.env.emplace_back("QOR_WEBVIEW_HELPER", std::nullopt);

    // With CMake.
    const std::string build = elsewhere / "parent-build";
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "-S", std::string(QOR_SOURCE_DIR) + "/examples/parent", "-B", build,
                                       "-DCMAKE_PREFIX_PATH=" + prefix.path(),
                                       std::string("-DCMAKE_CXX_COMPILER=") + QOR_CXX})));
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "--build", build})));
    const std::string parent = build + "/qor_webview_parent";
    const auto ran = run_program({parent}, outside);
    ASSERT_TRUE(succeeded(ran));
    EXPECT_EQ(ran.out, "entry.png: height 100, bands 1, links 1\n");
    const std::string bytes = read_whole_file(elsewhere / "entry.png");
    const auto picture = decode_png(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width(), 1200);
    EXPECT_EQ(picture->height(), 200);

    // The helper installed beside the library comes before the variable.
    RunOptions misled = outside;
    misled.env.back() = {"QOR_WEBVIEW_HELPER", elsewhere / "no-such-helper"};
    const auto ran_misled = run_program({parent}, misled);
    ASSERT_TRUE(succeeded(ran_misled));
    EXPECT_EQ(ran_misled.out, ran.out);

    // With pkg-config: the same program compiled by hand from the .pc file,
    // with a run path to the prefix's libdir as for any library outside
    // the system's search path.
    const auto pc = find_installed(prefix.path(), "qor_webview.pc");
    ASSERT_TRUE(pc.has_value());
    RunOptions pkg_config;
    pkg_config.env = {{"PKG_CONFIG_PATH", pc->parent_path().string()}};
    const auto flags = run_program({"pkg-config", "--cflags", "--libs", "qor_webview"}, pkg_config);
    ASSERT_TRUE(succeeded(flags));
    const auto libdir = run_program({"pkg-config", "--variable=libdir", "qor_webview"}, pkg_config);
    ASSERT_TRUE(succeeded(libdir));
    std::vector<std::string> compile = {QOR_CXX, "-std=c++20", std::string(QOR_SOURCE_DIR) + "/examples/parent/parent.cpp",
                                        "-o", elsewhere / "parent_from_pc"};
    for (auto& word : words(flags.out)) compile.push_back(std::move(word));
    compile.push_back("-Wl,-rpath," + words(libdir.out).at(0));
    ASSERT_TRUE(succeeded(run_program(compile)));
    const auto ran_pc = run_program({elsewhere / "parent_from_pc"}, outside);
    ASSERT_TRUE(succeeded(ran_pc));
    EXPECT_EQ(ran_pc.out, ran.out);
}

}  // namespace
}  // namespace qor_webview::e2e
