// The Debian packages as scripts/package builds them: their names, versions,
// dependencies and files, then unpacked into a folder of their own where
// the renderer draws an example and a parent builds against the -dev
// package and renders an entry, finding the helper through the library.
#include <algorithm>
#include <filesystem>

#include "fixture.hpp"
#include "run.hpp"

namespace qor_webview::e2e {
namespace {

namespace fs = std::filesystem;

const std::string runtime_name = "libqor-webview1";
const std::string dev_name = "libqor-webview-dev";

std::string output_of(const std::vector<std::string>& argv) {
    const auto result = run_program(argv);
    if (result.status != 0) throw std::runtime_error(result.command + " failed: " + result.err);
    return result.out;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The package file whose name starts with `name` and an underscore.
fs::path package_file(const std::string& name) {
    for (const auto& entry : fs::directory_iterator(QOR_PACKAGE_DIR)) {
        const auto file = entry.path().filename().string();
        if (file.starts_with(name + "_") && file.ends_with(".deb")) return entry.path();
    }
    throw std::runtime_error("no package " + name + " in " + QOR_PACKAGE_DIR);
}

std::string field(const fs::path& deb, const std::string& name) {
    return first_line(output_of({"dpkg-deb", "--field", deb.string(), name}));
}

// Paths in the package, without the leading "." and with a symbolic link's
// target after " -> ".
std::vector<std::string> contents(const fs::path& deb) {
    std::vector<std::string> paths;
    for (const auto& line : split_lines(output_of({"dpkg-deb", "--contents", deb.string()}))) {
        const auto at = line.find(" ./");
        if (at != std::string::npos && !line.ends_with("/")) paths.push_back(line.substr(at + 2));
    }
    return paths;
}

bool has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(Packages, NamesVersionsAndDependenciesFollowDebian) {
    const auto runtime = package_file(runtime_name);
    const auto dev = package_file(dev_name);
    const std::string arch = first_line(output_of({"dpkg", "--print-architecture"}));
    EXPECT_EQ(runtime.filename().string(), runtime_name + "_0.1.0-1_" + arch + ".deb");
    EXPECT_EQ(field(runtime, "Package"), runtime_name);
    EXPECT_EQ(field(runtime, "Version"), "0.1.0-1");
    EXPECT_EQ(field(runtime, "Architecture"), arch);
    EXPECT_EQ(field(runtime, "Section"), "libs");
    // Computed from the binaries: the C++ runtime, WebKitGTK, GTK, cairo.
    const std::string depends = field(runtime, "Depends");
    for (const char* name : {"libc6 (>=", "libstdc++6 (>=", "libwebkit2gtk-4.1-0 (>=", "libgtk-3-0 (>=", "libcairo2 (>="})
        EXPECT_NE(depends.find(name), std::string::npos) << name << " in " << depends;
    const std::string recommends = field(runtime, "Recommends");
    EXPECT_NE(recommends.find("fonts-noto-color-emoji"), std::string::npos) << recommends;
    EXPECT_NE(recommends.find("fonts-noto-cjk"), std::string::npos) << recommends;

    EXPECT_EQ(field(dev, "Package"), dev_name);
    EXPECT_EQ(field(dev, "Section"), "libdevel");
    EXPECT_EQ(field(dev, "Depends"), runtime_name + " (= 0.1.0-1)");
}

TEST(Packages, FilesLieWhereDebianPutsThem) {
    const std::string multiarch = first_line(output_of({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}));
    const std::string lib = "/usr/lib/" + multiarch;
    const auto runtime = contents(package_file(runtime_name));
    for (const std::string& path : {lib + "/libqor_webview.so.0.1.0", lib + "/libqor_webview.so.1 -> libqor_webview.so.0.1.0",
                                   std::string("/usr/libexec/qor_webview/qor_webview_helper"),
                                   std::string("/usr/bin/qor_webview_render"),
                                   std::string("/usr/share/man/man1/qor_webview_render.1.gz"),
                                   "/usr/share/doc/" + runtime_name + "/copyright"})
        EXPECT_TRUE(has(runtime, path)) << path;
    EXPECT_EQ(runtime.size(), 6u);

    const auto dev = contents(package_file(dev_name));
    for (const std::string& path :
         {lib + "/libqor_webview.so -> libqor_webview.so.1", std::string("/usr/include/qor_webview/client.hpp"),
          std::string("/usr/include/qor_webview/export.hpp"), lib + "/pkgconfig/qor_webview.pc",
          lib + "/cmake/qor_webview/qor_webviewConfig.cmake", lib + "/cmake/qor_webview/qor_webviewTargets.cmake",
          "/usr/share/doc/" + dev_name + "/copyright"})
        EXPECT_TRUE(has(dev, path)) << path;
    for (const auto& path : dev) EXPECT_FALSE(path.starts_with("/usr/bin") || path.starts_with("/usr/libexec")) << path;
}

TEST(Packages, UnpackedTheyRenderAnExampleAndBuildAParent) {
    QOR_E2E_NEED_DISPLAY(DisplayKind::X11);
    const TempDir root;
    for (const auto& name : {runtime_name, dev_name})
        ASSERT_EQ(run_program({"dpkg-deb", "-x", package_file(name).string(), root.path()}).status, 0) << name;
    const std::string multiarch = first_line(output_of({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}));
    const std::string libdir = root / ("usr/lib/" + multiarch);

    // Outside /usr the library is found through the loader's path; the
    // helper through the library, not the environment.
    RunOptions options;
    options.env = display_status(DisplayKind::X11).display->env;
    options.env.emplace_back("LD_LIBRARY_PATH", libdir);
    options.env.emplace_back("QOR_WEBVIEW_HELPER", std::nullopt);
    options.directory = root.path();
    const auto rendered = run_program({root / "usr/bin/qor_webview_render", "-w", "600", "-o", root / "chat.png",
                                       std::string(QOR_SOURCE_DIR) + "/examples/chat-emoji.html"},
                                      options);
    ASSERT_EQ(rendered.status, 0) << rendered.out << rendered.err;
    EXPECT_NE(rendered.out.find("-> " + (root / "chat.png") + ": 600x"), std::string::npos) << rendered.out;
    EXPECT_TRUE(fs::file_size(root / "chat.png") > 1000);

    const std::string build = root / "parent-build";
    const auto configured = run_program({QOR_CMAKE, "-S", std::string(QOR_SOURCE_DIR) + "/examples/parent", "-B", build,
                                         "-DCMAKE_PREFIX_PATH=" + (root / "usr"),
                                         std::string("-DCMAKE_CXX_COMPILER=") + QOR_CXX});
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
    const auto built = run_program({QOR_CMAKE, "--build", build});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    options.env.pop_back();
    options.env.pop_back();
    options.env.emplace_back("QOR_WEBVIEW_HELPER", std::nullopt);
    const auto ran = run_program({build + "/qor_webview_parent"}, options);
    ASSERT_EQ(ran.status, 0) << ran.out << ran.err;
    EXPECT_EQ(ran.out, "entry.png: height 100, bands 1, links 1\n");
}

}  // namespace
}  // namespace qor_webview::e2e
