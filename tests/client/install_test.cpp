// An installation into a fresh prefix, used as a parent application would:
// the example parent built with find_package and with pkg-config, run
// from the prefix, where it finds the helper on its own.
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

TEST(Install, AParentBuiltAgainstTheInstalledPackageRendersAnEntry) {
#ifdef QOR_SANITIZED
    GTEST_SKIP() << "a sanitized library cannot be linked into a plain parent program";
#endif
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir prefix;
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "--install", QOR_BUILD_DIR, "--prefix", prefix.path()})));
    for (const char* name : {"client.hpp", "wire.hpp", "error.hpp", "libqor_webview.a", "qor_webview_helper",
                             "qor_webview_render", "qor_webviewConfig.cmake", "qor_webviewTargets.cmake",
                             "qor_webview.pc"}) {
        EXPECT_TRUE(find_installed(prefix.path(), name).has_value()) << name;
    }
    const auto helper = find_installed(prefix.path(), "qor_webview_helper");
    ASSERT_TRUE(helper.has_value());
    EXPECT_EQ(helper->parent_path().filename(), "libexec");

    const EnvOverrides display = display_status(DisplayKind::X11).display->env;
    RunOptions in_prefix;
    in_prefix.directory = prefix.path();
    in_prefix.env = display;
    // Nothing may point the client at the helper but the installation.
    in_prefix.env.emplace_back("QOR_WEBVIEW_HELPER", std::nullopt);

    // With CMake: configured, built and installed next to the library.
    const std::string build = prefix / "parent-build";
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "-S", std::string(QOR_SOURCE_DIR) + "/examples/parent", "-B", build,
                                       "-DCMAKE_PREFIX_PATH=" + prefix.path(), "-DCMAKE_INSTALL_PREFIX=" + prefix.path(),
                                       std::string("-DCMAKE_CXX_COMPILER=") + QOR_CXX})));
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "--build", build})));
    ASSERT_TRUE(succeeded(run_program({QOR_CMAKE, "--install", build})));
    const auto parent = find_installed(prefix.path() / fs::path("bin"), "qor_webview_parent");
    ASSERT_TRUE(parent.has_value());
    const auto ran = run_program({parent->string()}, in_prefix);
    ASSERT_TRUE(succeeded(ran));
    EXPECT_EQ(ran.out, "entry.png: height 100, bands 1, links 1\n");
    const std::string bytes = read_whole_file(prefix / "entry.png");
    const auto picture = decode_png(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width(), 1200);
    EXPECT_EQ(picture->height(), 200);

    // With pkg-config: the same program compiled by hand from the .pc file.
    const auto pc = find_installed(prefix.path(), "qor_webview.pc");
    ASSERT_TRUE(pc.has_value());
    RunOptions pkg_config;
    pkg_config.env = {{"PKG_CONFIG_PATH", pc->parent_path().string()}};
    const auto flags = run_program({"pkg-config", "--cflags", "--libs", "qor_webview"}, pkg_config);
    ASSERT_TRUE(succeeded(flags));
    std::vector<std::string> compile = {QOR_CXX, "-std=c++20", std::string(QOR_SOURCE_DIR) + "/examples/parent/parent.cpp",
                                        "-o", (prefix / "bin") + "/parent_from_pc"};
    for (const auto& word : split_lines(flags.out.substr(0, flags.out.find('\n')))) {
        std::size_t at = 0;
        while (at < word.size()) {
            const auto end = std::min(word.find(' ', at), word.size());
            if (end > at) compile.push_back(word.substr(at, end - at));
            at = end + 1;
        }
    }
    ASSERT_TRUE(succeeded(run_program(compile)));
    const auto ran_pc = run_program({(prefix / "bin") + "/parent_from_pc"}, in_prefix);
    ASSERT_TRUE(succeeded(ran_pc));
    EXPECT_EQ(ran_pc.out, ran.out);
}

}  // namespace
}  // namespace qor_webview::e2e
