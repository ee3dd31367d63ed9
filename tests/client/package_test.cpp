// The Debian packages as scripts/package builds them: their names, versions,
// dependencies, files, changelog and control files, what the library
// exports and what lintian says, then unpacked into a folder of their own
// where the renderer draws an example and a parent builds against the -dev
// package and renders an entry, finding the helper through the library.
#include <algorithm>
#include <filesystem>

#include "fixture.hpp"
#include "run.hpp"

namespace qor_webview::e2e {
namespace {

namespace fs = std::filesystem;

// The version and ABI number the packages were built with.
const std::string version = QOR_PACKAGE_VERSION;
const std::string abi = QOR_WEBVIEW_ABI;
const std::string runtime_name = "libqor-webview" + abi;
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
    EXPECT_EQ(runtime.filename().string(), runtime_name + "_" + version + "-1_" + arch + ".deb");
    EXPECT_EQ(field(runtime, "Package"), runtime_name);
    EXPECT_EQ(field(runtime, "Version"), version + "-1");
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
    EXPECT_EQ(field(dev, "Depends"), runtime_name + " (= " + version + "-1)");

    // Each changelog's first entry is this version, signed by the Maintainer.
    const std::string maintainer = field(runtime, "Maintainer");
    EXPECT_EQ(field(dev, "Maintainer"), maintainer);
    for (const auto& [deb, name] : {std::pair{runtime, runtime_name}, std::pair{dev, dev_name}}) {
        const TempDir root;
        ASSERT_EQ(run_program({"dpkg-deb", "-x", deb.string(), root.path()}).status, 0) << name;
        const auto changelog = output_of({"gzip", "-dc", root / ("usr/share/doc/" + name + "/changelog.Debian.gz")});
        EXPECT_TRUE(changelog.starts_with("qor-webview (" + version + "-1) ")) << changelog;
        EXPECT_NE(changelog.find("\n -- " + maintainer + "  "), std::string::npos) << changelog;
    }
}

// libc's trigger runs ldconfig; no maintainer script does anything.
TEST(Packages, LdconfigRunsByTriggerAlone) {
    const auto runtime = package_file(runtime_name).string();
    EXPECT_EQ(output_of({"dpkg-deb", "--info", runtime, "triggers"}), "activate-noawait ldconfig\n");
    for (const auto& deb : {runtime, package_file(dev_name).string()})
        for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
            EXPECT_NE(run_program({"dpkg-deb", "--info", deb, script}).status, 0) << deb << " has " << script;
}

// Every symbol the packaged library defines for others is a qor_webview
// name (or a qor_webview class's typeinfo, vtable, thunk), in the ABI's
// version node: nothing the standard headers instantiated.
TEST(Packages, LibraryExportsOnlyItsInterface) {
    const TempDir root;
    ASSERT_EQ(run_program({"dpkg-deb", "-x", package_file(runtime_name).string(), root.path()}).status, 0);
    const std::string multiarch = first_line(output_of({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}));
    const auto lines = split_lines(output_of({"nm", "-D", "--defined-only", "--demangle",
                                              root / ("usr/lib/" + multiarch + "/libqor_webview.so." + abi)}));
    const std::string node = "QOR_WEBVIEW_" + abi;
    const std::vector<std::string> prefixes = {"qor_webview::", "typeinfo for qor_webview::",
                                               "typeinfo name for qor_webview::", "vtable for qor_webview::",
                                               "VTT for qor_webview::", "non-virtual thunk to qor_webview::",
                                               "virtual thunk to qor_webview::"};
    std::vector<std::string> names;
    for (const auto& line : lines) {
        // "ADDRESS TYPE NAME@@NODE", or the node itself: "0 A NODE".
        const auto name = line.substr(std::min(line.size(), line.find(' ', line.find(' ') + 1) + 1));
        if (name == node) continue;
        const auto at = name.rfind("@@");
        EXPECT_NE(at, std::string::npos) << "unversioned: " << line;
        if (at == std::string::npos) continue;
        EXPECT_EQ(name.substr(at + 2), node) << line;
        names.push_back(name.substr(0, at));
        EXPECT_TRUE(std::any_of(prefixes.begin(), prefixes.end(),
                                [&](const std::string& prefix) { return names.back().starts_with(prefix); }))
            << "not the library's interface: " << line;
    }
    EXPECT_TRUE(has(names, "qor_webview::Client::start(qor_webview::ClientOptions)"));
    EXPECT_TRUE(has(names, "qor_webview::Error::text[abi:cxx11]() const"));
    EXPECT_GT(names.size(), 20u);
}

// Debian's checks find neither errors nor warnings.
TEST(Packages, LintianIsClean) {
    if (run_program({"sh", "-c", "command -v lintian"}).status != 0) GTEST_SKIP() << "lintian is not installed";
    RunOptions options;
    options.timeout = std::chrono::seconds(280);
    const auto result = run_program({"lintian", "--fail-on", "error,warning", package_file(runtime_name).string(),
                                     package_file(dev_name).string()},
                                    options);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(Packages, FilesLieWhereDebianPutsThem) {
    const std::string multiarch = first_line(output_of({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}));
    const std::string lib = "/usr/lib/" + multiarch;
    const auto runtime = contents(package_file(runtime_name));
    for (const std::string& path : {lib + "/libqor_webview.so." + version, lib + "/libqor_webview.so." + abi + " -> libqor_webview.so." + version,
                                   std::string("/usr/libexec/qor_webview/qor_webview_helper"),
                                   std::string("/usr/bin/qor_webview_render"),
                                   std::string("/usr/share/man/man1/qor_webview_render.1.gz"),
                                   "/usr/share/doc/" + runtime_name + "/copyright",
                                   "/usr/share/doc/" + runtime_name + "/changelog.Debian.gz",
                                   "/usr/share/lintian/overrides/" + runtime_name})
        EXPECT_TRUE(has(runtime, path)) << path;
    EXPECT_EQ(runtime.size(), 8u);

    const auto dev = contents(package_file(dev_name));
    for (const std::string& path :
         {lib + "/libqor_webview.so -> libqor_webview.so." + abi, std::string("/usr/include/qor_webview/client.hpp"),
          std::string("/usr/include/qor_webview/export.hpp"), lib + "/pkgconfig/qor_webview.pc",
          lib + "/cmake/qor_webview/qor_webviewConfig.cmake", lib + "/cmake/qor_webview/qor_webviewTargets.cmake",
          "/usr/share/doc/" + dev_name + "/copyright", "/usr/share/doc/" + dev_name + "/changelog.Debian.gz",
          "/usr/share/lintian/overrides/" + dev_name})
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
