// Shows the helper doing its main job: starts it (with an X server of its own
// when there is no display), sends the example requests, writes every picture
// it gets back as a PNG file and prints one line per request.
//
// The requests file holds one request line per line, exactly as the helper
// reads them, except that an "html" value beginning with "@" names a file
// next to the requests file whose content is sent instead.
//
//   qor_webview_demo [--helper PATH] [--requests FILE] [--out DIR]

#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "helper_client.hpp"
#include "qor_webview/protocol.hpp"

namespace fs = std::filesystem;
namespace client = qor_webview::client;
namespace protocol = qor_webview::protocol;

namespace {

constexpr auto kAnswerTimeout = std::chrono::seconds(60);

struct Options {
    fs::path helper;
    fs::path requests;
    fs::path out = "out";
};

[[noreturn]] void usage(const char* why) {
    std::cerr << "qor_webview_demo: " << why << "\n"
              << "usage: qor_webview_demo [--helper PATH] [--requests FILE] [--out DIR]\n";
    std::exit(2);
}

fs::path self_directory() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

Options parse_options(int argc, char** argv) {
    Options o;
    o.helper = self_directory() / ".." / "helper" / "qor_webview_helper";
#ifdef QOR_DEMO_REQUESTS
    o.requests = QOR_DEMO_REQUESTS;
#endif
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--helper") o.helper = value();
        else if (a == "--requests") o.requests = value();
        else if (a == "--out") o.out = value();
        else if (a == "-h" || a == "--help") usage("shows the helper at work");
        else usage(("unknown argument " + a).c_str());
    }
    if (o.requests.empty()) usage("no requests file given");
    return o;
}

std::string read_file(const fs::path& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path.string();
        return {};
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string f32(float v) {
    std::string s;
    protocol::append_f32(s, v);
    return s;
}

// "1.0" -> "1", "1.5" -> "1.5": for file names and the printed lines.
std::string short_number(float v) {
    std::string s = f32(v);
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

std::string kilobytes(std::size_t bytes) { return client::fixed(double(bytes) / 1024.0, 1) + " KB"; }

// --------------------------------------------------------------- pictures

struct Reading {
    const std::vector<std::uint8_t>* bytes;
    std::size_t at = 0;
};

cairo_status_t read_chunk(void* closure, unsigned char* data, unsigned int length) {
    auto* r = static_cast<Reading*>(closure);
    if (r->bytes->size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
    std::copy_n(r->bytes->data() + r->at, length, data);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
}

struct SurfaceRef {
    cairo_surface_t* s = nullptr;
    explicit SurfaceRef(cairo_surface_t* surface) : s(surface) {}
    ~SurfaceRef() {
        if (s) cairo_surface_destroy(s);
    }
    SurfaceRef(SurfaceRef&& o) noexcept : s(std::exchange(o.s, nullptr)) {}
    SurfaceRef(const SurfaceRef&) = delete;
    SurfaceRef& operator=(const SurfaceRef&) = delete;
    SurfaceRef& operator=(SurfaceRef&&) = delete;
};

bool write_bytes(const fs::path& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) error = "cannot write " + path.string();
    return bool(out);
}

// Puts the bands under each other in one picture.
bool stitch(const std::vector<std::vector<std::uint8_t>>& bands, const fs::path& path, std::string& error) {
    std::vector<SurfaceRef> pictures;
    int width = 0, height = 0;
    for (const auto& bytes : bands) {
        Reading r{&bytes};
        SurfaceRef s(cairo_image_surface_create_from_png_stream(read_chunk, &r));
        if (cairo_surface_status(s.s) != CAIRO_STATUS_SUCCESS) {
            error = std::string("cairo cannot read a band: ") + cairo_status_to_string(cairo_surface_status(s.s));
            return false;
        }
        width = std::max(width, cairo_image_surface_get_width(s.s));
        height += cairo_image_surface_get_height(s.s);
        pictures.push_back(std::move(s));
    }
    SurfaceRef whole(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(width, 1), std::max(height, 1)));
    cairo_t* cr = cairo_create(whole.s);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    int y = 0;
    for (const auto& p : pictures) {
        cairo_set_source_surface(cr, p.s, 0, y);
        cairo_rectangle(cr, 0, y, cairo_image_surface_get_width(p.s), cairo_image_surface_get_height(p.s));
        cairo_fill(cr);
        y += cairo_image_surface_get_height(p.s);
    }
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png(whole.s, path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        error = std::string("cairo cannot stitch the bands: ") + cairo_status_to_string(status);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- requests

struct Prepared {
    std::string wire;     // the line sent to the helper
    std::string asked;    // what was asked, for the printed line
    std::string picture;  // file-name stem for its pictures
};

// Builds the line to send from one line of the requests file.
bool prepare(const std::string& line, const fs::path& base, Prepared& p, std::string& error) {
    auto request = protocol::parse_request(line);
    if (!request) {
        error = "not a request: " + request.error().message;
        return false;
    }
    auto html_of = [&](const std::string& html, std::string& name) -> std::optional<std::string> {
        if (html.empty() || html[0] != '@') {
            name = "inline";
            return html;
        }
        fs::path file = base / html.substr(1);
        name = file.stem().string();
        std::string text = read_file(file, error);
        if (!error.empty()) return std::nullopt;
        return text;
    };
    std::string name;
    if (auto* r = std::get_if<protocol::RenderLog>(&*request)) {
        auto html = html_of(r->html, name);
        if (!html) return false;
        p.wire = R"({"type":"render_log","html":)";
        protocol::append_json_string(p.wire, *html);
        p.wire += R"(,"width":)" + f32(r->width) + R"(,"scale":)" + f32(r->scale) + "}";
        p.asked = "render_log   " + name + " at width " + short_number(r->width) + ", scale " + short_number(r->scale);
        p.picture = name + "-log-s" + short_number(r->scale);
    } else if (auto* r = std::get_if<protocol::RenderImage>(&*request)) {
        auto html = html_of(r->html, name);
        if (!html) return false;
        p.wire = R"({"type":"render_image","html":)";
        protocol::append_json_string(p.wire, *html);
        p.wire += R"(,"scale":)" + f32(r->scale) + "}";
        p.asked = "render_image " + name + " at scale " + short_number(r->scale);
        p.picture = name + "-image-s" + short_number(r->scale);
    } else {
        auto& e = std::get<protocol::Evaluate>(*request);
        p.wire = R"({"type":"evaluate","scripts":[)";
        for (std::size_t i = 0; i < e.scripts.size(); ++i) {
            if (i) p.wire += ',';
            protocol::append_json_string(p.wire, e.scripts[i]);
        }
        p.wire += R"(],"result":)";
        protocol::append_json_string(p.wire, e.result);
        p.wire += '}';
        p.asked = "evaluate     " + std::to_string(e.scripts.size()) + " script(s), then " + e.result;
        if (p.asked.size() > 90) p.asked = p.asked.substr(0, 87) + "...";
    }
    return true;
}

// Describes the answer, writes its pictures; false if something is wrong.
bool report(client::Answer& a, const Prepared& p, const fs::path& out, std::string& said) {
    std::string error;
    if (a.type == "failed") {
        said = "failed (" + a.kind + "): " + a.message;
        return false;
    }
    if (a.type == "text") {
        std::string t = a.text.size() > 80 ? a.text.substr(0, 77) + "..." : a.text;
        std::string quoted;
        protocol::append_json_string(quoted, t);
        said = "text " + quoted;
        return true;
    }
    if (a.type == "image") {
        auto bytes = client::decode_base64(a.png);
        auto size = bytes ? client::png_size(*bytes) : std::nullopt;
        if (!size) {
            said = "image whose png is not a base64 PNG";
            return false;
        }
        fs::path file = out / (p.picture + ".png");
        if (!write_bytes(file, *bytes, error)) {
            said = error;
            return false;
        }
        said = "image " + std::to_string(size->first) + "x" + std::to_string(size->second) + " px, " +
               kilobytes(bytes->size()) + " -> " + file.string();
        return true;
    }
    if (a.type != "log") {
        said = "unexpected " + a.type + " answer";
        return false;
    }
    std::vector<std::vector<std::uint8_t>> bands;
    std::string rows;
    std::size_t png_bytes = 0;
    std::uint32_t width_px = 0, height_px = 0;
    fs::create_directories(out / "bands");
    for (std::size_t i = 0; i < a.tiles.size(); ++i) {
        auto bytes = client::decode_base64(a.tiles[i].png);
        auto size = bytes ? client::png_size(*bytes) : std::nullopt;
        if (!size) {
            said = "log whose band " + std::to_string(i) + " is not a base64 PNG";
            return false;
        }
        width_px = std::max(width_px, size->first);
        height_px += size->second;
        png_bytes += bytes->size();
        if (!rows.empty()) rows += ", ";
        rows += client::fixed(a.tiles[i].top, 0) + "+" + client::fixed(a.tiles[i].height, 0) + " (" +
                std::to_string(size->second) + " rows)";
        fs::path file = out / "bands" / (p.picture + ".band" + std::to_string(i) + ".png");
        if (!write_bytes(file, *bytes, error)) {
            said = error;
            return false;
        }
        bands.push_back(std::move(*bytes));
    }
    fs::path file = out / (p.picture + ".png");
    if (!bands.empty() && !stitch(bands, file, error)) {
        said = error;
        return false;
    }
    auto links = client::json_array_length(a.links);
    said = "log " + client::fixed(a.width, 1) + " x " + client::fixed(a.height, 0) + " CSS px, " +
           std::to_string(a.tiles.size()) + (a.tiles.size() == 1 ? " band " : " bands ") + rows + ", " +
           std::to_string(width_px) + "x" + std::to_string(height_px) + " px, " + kilobytes(png_bytes) + ", " +
           (links ? std::to_string(*links) + " link rectangles" : "links not a JSON array") + " -> " +
           file.string();
    return links.has_value();
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    std::error_code ec;
    fs::create_directories(o.out, ec);
    if (ec) {
        std::cerr << "qor_webview_demo: cannot create " << o.out << ": " << ec.message() << "\n";
        return 1;
    }
    std::string error;
    std::string lines = read_file(o.requests, error);
    if (!error.empty()) {
        std::cerr << "qor_webview_demo: " << error << "\n";
        return 1;
    }

    client::StartOptions start;
    start.program = o.helper.string();
    start.stderr_path = (o.out / "helper.log").string();
    auto started_at = std::chrono::steady_clock::now();
    auto helper = client::Helper::start(start, error);
    if (!helper) {
        std::cerr << "qor_webview_demo: cannot start " << o.helper << ": " << error << " (its log: "
                  << start.stderr_path << ")\n";
        return 1;
    }
    std::cout << "helper " << o.helper.string() << " on " << helper->display_description() << ": ready in "
              << client::fixed(client::elapsed_ms(started_at, std::chrono::steady_clock::now()), 0) << " ms\n";

    int failures = 0, served = 0;
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Prepared p;
        error.clear();
        if (!prepare(line, o.requests.parent_path(), p, error)) {
            std::cout << "skipped: " << error << "\n";
            ++failures;
            continue;
        }
        auto t0 = std::chrono::steady_clock::now();
        if (!helper->send(p.wire)) {
            std::cout << p.asked << "  ->  the helper is gone\n";
            ++failures;
            break;
        }
        auto answer_line = helper->read_answer(kAnswerTimeout, error);
        double ms = client::elapsed_ms(t0, std::chrono::steady_clock::now());
        ++served;
        if (!answer_line) {
            std::cout << p.asked << "  ->  " << error << "\n";
            ++failures;
            break;
        }
        std::string said;
        auto answer = client::parse_answer(*answer_line, error);
        bool ok = answer && report(*answer, p, o.out, said);
        if (!answer) said = "malformed answer: " + error;
        if (!ok) ++failures;
        std::cout << p.asked << "  ->  " << said << "  [" << client::fixed(ms, 1) << " ms]\n";
    }
    int status = helper->finish();
    std::cout << "(the first request of each kind and scale includes starting its page and web process)\n";
    std::cout << served << " requests, " << failures << " problems; pictures in " << o.out.string()
              << ", the helper's log in " << start.stderr_path;
    if (status != 0) std::cout << "; the helper ended with status " << status;
    std::cout << "\n";
    return failures == 0 && status == 0 ? 0 : 1;
}
