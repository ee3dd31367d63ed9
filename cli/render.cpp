// qor_webview_render: turns HTML files into PNG pictures with the helper.
//
//     qor_webview_render -w 600 -s 2 -o out/ examples/
//
// Each file is rendered as a log entry (render_log) and its bands stitched
// into one picture, or with --image as one picture of the whole content
// (render_image). One line per file tells what was made; each failure is one
// line on standard error, and the other files are still rendered. With
// --evaluate it runs script files in the helper's page instead and prints
// the text value of an expression.

#include <cairo.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "owners.hpp"
#include "png_header.hpp"
#include "private_display.hpp"
#include "qor_webview/client.hpp"
#include "qor_webview/pool.hpp"
#include "qor_webview/protocol.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qor_webview_helper::Context;
using qor_webview_helper::Surface;

constexpr std::string_view program = "qor_webview_render";

constexpr std::string_view usage_text =
    "Usage: qor_webview_render [OPTIONS] [FILE | FOLDER | -]...\n"
    "       qor_webview_render --evaluate EXPRESSION [OPTIONS] [SCRIPT | -]...\n"
    "Renders HTML files (all *.html files of a folder; '-' or nothing: standard input)\n"
    "into PNG pictures with qor_webview_helper.\n"
    "\n"
    "  -w, --width N      layout width in CSS pixels (default 800)\n"
    "  -s, --scale S      device scale, e.g. 2 for a high-density screen (default 1)\n"
    "      --image        one picture of the whole content in an 800x600 viewport\n"
    "                     (render_image) instead of a log entry at the given width\n"
    "  -o, --output PATH  the picture's file name when one file is given, else the\n"
    "                     folder to write into (default: the current folder)\n"
    "      --bands        also write a log entry's bands as NAME.band-N.png\n"
    "      --offline      the files may not fetch anything: only data: and blob:\n"
    "                     images, fonts and style sheets, inline styles and scripts\n"
    "  -e, --evaluate EXPRESSION\n"
    "                     render nothing: run the given script files ('-': standard\n"
    "                     input; nothing: none) in order in the helper's page, then\n"
    "                     print the text value of EXPRESSION (with -q: that text only)\n"
    "      --helper PATH  the helper executable (default: the one installed with\n"
    "                     the library, else $QOR_WEBVIEW_HELPER)\n"
    "  -j, --jobs N       render with up to N helpers at once (default: the number\n"
    "                     of cores, at most 4); the output is the same for any N\n"
    "      --timeout MS   time limit per file in milliseconds (default 60000)\n"
    "  -q, --quiet        print errors only\n"
    "  -h, --help         show this text\n"
    "\n"
    "Without DISPLAY and WAYLAND_DISPLAY a private Xvfb server is started.\n"
    "The exit status is 0 when every file was rendered (or the expression\n"
    "evaluated), 1 when some were not, 2 for a wrong command line.\n";

void error_line(std::string_view text) {
    std::string line(program);
    line += ": ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string os_text(int code) { return std::error_code(code, std::generic_category()).message(); }

// Numbers are read without the locale's help: a comma is never a point.
template <class T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string fixed(double value, int digits) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
    return std::string(buffer, result.ptr);
}

// The shortest text of a float ("800", "142.5").
std::string short_float(float value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string plural(std::size_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// ------------------------------------------------------------- command line

struct Options {
    float width = 800;
    float scale = 1;
    bool image = false;
    bool bands = false;
    bool offline = false;
    bool quiet = false;
    std::optional<std::string> output;
    std::optional<std::string> evaluate;  // the expression
    std::string helper;
    qor_webview::Milliseconds timeout{60'000};
    std::size_t jobs = 0;  // helpers at most; 0: the pool's default
    std::vector<std::string> inputs;
};

// Returns the options, or the exit status to end with.
std::variant<Options, int> parse_command_line(int argc, char** argv) {
    Options options;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto bad = [](std::string_view text) {
        error_line(std::string(text) + " (see --help)");
        return 2;
    };
    bool only_files = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (only_files || arg == "-" || !arg.starts_with('-')) {
            options.inputs.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        // "--name=value" and "--name value" alike.
        std::optional<std::string_view> inline_value;
        if (arg.starts_with("--")) {
            if (const auto eq = arg.find('='); eq != std::string_view::npos) {
                inline_value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            }
        }
        const auto value = [&]() -> std::optional<std::string_view> {
            if (inline_value) return inline_value;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        if (arg == "-h" || arg == "--help") {
            std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
            return 0;
        } else if (arg == "--image") {
            options.image = true;
        } else if (arg == "--bands") {
            options.bands = true;
        } else if (arg == "--offline") {
            options.offline = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "-w" || arg == "--width") {
            const auto v = value();
            const auto n = v ? parse_number<float>(*v) : std::nullopt;
            if (!n || !(*n > 0) || *n > 100000) return bad("the width must be a number of CSS pixels above 0");
            options.width = *n;
        } else if (arg == "-s" || arg == "--scale") {
            const auto v = value();
            const auto n = v ? parse_number<float>(*v) : std::nullopt;
            if (!n || !(*n > 0) || *n > 64) return bad("the scale must be a number above 0 and at most 64");
            options.scale = *n;
        } else if (arg == "-o" || arg == "--output") {
            const auto v = value();
            if (!v || v->empty()) return bad("--output needs a path");
            options.output = std::string(*v);
        } else if (arg == "-e" || arg == "--evaluate") {
            const auto v = value();
            if (!v || v->empty()) return bad("--evaluate needs an expression");
            options.evaluate = std::string(*v);
        } else if (arg == "--helper") {
            const auto v = value();
            if (!v || v->empty()) return bad("--helper needs a path");
            options.helper = std::string(*v);
        } else if (arg == "-j" || arg == "--jobs") {
            const auto v = value();
            const auto n = v ? parse_number<unsigned>(*v) : std::nullopt;
            if (!n || *n == 0 || *n > 64) return bad("the number of helpers must be between 1 and 64");
            options.jobs = *n;
        } else if (arg == "--timeout") {
            const auto v = value();
            const auto n = v ? parse_number<long long>(*v) : std::nullopt;
            if (!n || *n <= 0) return bad("the timeout must be a number of milliseconds above 0");
            options.timeout = qor_webview::Milliseconds(*n);
        } else {
            return bad("unknown option " + std::string(arg));
        }
    }
    if (options.evaluate && options.image) return bad("--evaluate and --image exclude each other");
    // Scripts are optional; a picture needs its HTML from somewhere.
    if (options.inputs.empty() && !options.evaluate) options.inputs.emplace_back("-");
    return options;
}

// -------------------------------------------------------------- the inputs

struct Job {
    std::string input;   // a path, or "-" for standard input
    std::string name;    // shown in messages
    fs::path output;     // the picture
};

bool is_html(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(c | 0x20); });
    return ext == ".html" || ext == ".htm";
}

// Expands folders into their HTML files and picks every output path. An
// input that cannot be listed is reported and left out.
std::vector<Job> plan(const Options& options, int& failures) {
    std::vector<std::string> files;
    bool folders = false;
    for (const auto& input : options.inputs) {
        std::error_code ec;
        if (input != "-" && fs::is_directory(input, ec)) {
            folders = true;
            std::vector<std::string> found;
            for (const auto& entry : fs::directory_iterator(input, ec)) {
                if (entry.is_regular_file() && is_html(entry.path())) found.push_back(entry.path().string());
            }
            if (ec) {
                error_line(input + ": cannot list the folder: " + ec.message());
                ++failures;
                continue;
            }
            if (found.empty()) {
                error_line(input + ": no .html files in this folder");
                ++failures;
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.push_back(input);
        }
    }

    // One file and an output that is not a folder: that is the file's name.
    bool single_name = false;
    fs::path folder = ".";
    if (options.output) {
        const std::string& out = *options.output;
        std::error_code ec;
        const bool folder_like = out.ends_with('/') || fs::is_directory(out, ec) || folders || files.size() != 1;
        if (folder_like) {
            folder = out;
        } else {
            single_name = true;
        }
    }

    std::vector<Job> jobs;
    for (const auto& file : files) {
        Job job;
        job.input = file;
        job.name = file == "-" ? "standard input" : file;
        if (single_name) {
            job.output = *options.output;
        } else {
            const fs::path stem = file == "-" ? fs::path("stdin") : fs::path(file).stem();
            job.output = folder / stem;
            job.output += ".png";
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::optional<std::string> read_input(const std::string& input, std::string& error) {
    std::string text;
    if (input == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        if (std::cin.bad()) {
            error = "cannot read standard input";
            return std::nullopt;
        }
        return all.str();
    }
    std::error_code ec;
    if (!fs::is_regular_file(input, ec)) {
        error = fs::exists(input, ec) ? "not a file" : "no such file";
        return std::nullopt;
    }
    std::ifstream file(input, std::ios::binary);
    if (!file) {
        error = "cannot open: " + os_text(errno);
        return std::nullopt;
    }
    std::ostringstream all;
    all << file.rdbuf();
    if (file.bad()) {
        error = "cannot read: " + os_text(errno);
        return std::nullopt;
    }
    return all.str();
}

// ----------------------------------------------------------------- pictures

struct ByteReader {
    std::span<const std::uint8_t> bytes;
    std::size_t at = 0;
};

cairo_status_t read_bytes(void* closure, unsigned char* data, unsigned int length) {
    auto* r = static_cast<ByteReader*>(closure);
    if (r->bytes.size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, r->bytes.data() + r->at, length);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
}

cairo_surface_t* decode_png(std::span<const std::uint8_t> bytes) {
    ByteReader reader{bytes};
    return cairo_image_surface_create_from_png_stream(read_bytes, &reader);
}

using qor_webview::cli::png_size;

bool write_file(const fs::path& path, std::span<const std::uint8_t> bytes, std::string& error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        error = "cannot write " + path.string() + ": " + os_text(errno);
        return false;
    }
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

// Puts the bands one under the other into one picture and writes it.
// Returns its size in pixels.
std::optional<std::pair<int, int>> stitch(const std::vector<qor_webview::LogBand>& bands, const fs::path& path,
                                          std::string& error) {
    std::vector<Surface> pictures;
    int width = 0, height = 0;
    for (std::size_t i = 0; i < bands.size(); ++i) {
        Surface picture(decode_png(bands[i].png));
        if (cairo_surface_status(picture.get()) != CAIRO_STATUS_SUCCESS) {
            error = "band " + std::to_string(i) + " is not a PNG picture";
            return std::nullopt;
        }
        width = std::max(width, cairo_image_surface_get_width(picture.get()));
        height += cairo_image_surface_get_height(picture.get());
        pictures.push_back(std::move(picture));
    }
    if (width == 0 || height == 0) {
        error = "the entry has no picture";
        return std::nullopt;
    }
    Surface whole(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    if (cairo_surface_status(whole.get()) != CAIRO_STATUS_SUCCESS) {
        error = std::string("cannot make the picture: ") + cairo_status_to_string(cairo_surface_status(whole.get()));
        return std::nullopt;
    }
    Context cr(cairo_create(whole.get()));
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    int y = 0;
    for (const auto& picture : pictures) {
        // Each band fills its own rows only: painting with SOURCE would
        // clear everything outside it.
        const int rows = cairo_image_surface_get_height(picture.get());
        cairo_set_source_surface(cr.get(), picture.get(), 0, y);
        cairo_rectangle(cr.get(), 0, y, cairo_image_surface_get_width(picture.get()), rows);
        cairo_fill(cr.get());
        y += rows;
    }
    const cairo_status_t drawn = cairo_status(cr.get());
    cr.reset();  // the drawing ends before the picture is written
    if (drawn != CAIRO_STATUS_SUCCESS) {
        error = std::string("cannot stitch the bands: ") + cairo_status_to_string(drawn);
        return std::nullopt;
    }
    const cairo_status_t written = cairo_surface_write_to_png(whole.get(), path.c_str());
    if (written != CAIRO_STATUS_SUCCESS) {
        error = "cannot write " + path.string() + ": " + cairo_status_to_string(written);
        return std::nullopt;
    }
    return std::pair{width, height};
}

// ---------------------------------------------------------------- the helper

// The helper when none is named: where the client looks (beside the
// library, then $QOR_WEBVIEW_HELPER), then beside this program in a build
// tree.
std::string find_helper(const std::string& given) {
    if (!given.empty()) return given;
    auto candidates = qor_webview::helper_candidates();
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) candidates.push_back((self.parent_path().parent_path() / "helper" / "qor_webview_helper").string());
    for (const auto& candidate : candidates) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};  // the client explains where it looked
}

// ------------------------------------------------------------------- render

struct Outcome {
    bool ok = false;
    std::string line;   // what was made
    std::string error;  // why not
};

std::string took_text(Clock::time_point started) {
    return fixed(std::chrono::duration<double, std::milli>(Clock::now() - started).count(), 0) + " ms";
}

Outcome image_outcome(const Job& job, const std::vector<std::uint8_t>& png, const std::string& took) {
    Outcome outcome;
    const auto size = png_size(png);
    if (!size) {
        outcome.error = "the helper's picture is not a PNG file";
        return outcome;
    }
    if (!write_file(job.output, png, outcome.error)) return outcome;
    outcome.ok = true;
    outcome.line = job.name + " -> " + job.output.string() + ": " + std::to_string(size->first) + "x" +
                   std::to_string(size->second) + " px, " + took;
    return outcome;
}

// Writes a log entry's picture: the helper's own PNG file when it is one
// band, else the bands stitched together.
Outcome log_outcome(const Options& options, const Job& job, const qor_webview::LogPicture& log,
                    const std::string& took) {
    Outcome outcome;
    std::optional<std::pair<int, int>> size;
    if (log.bands.size() == 1) {
        size = png_size(log.bands[0].png);
        if (!size) {
            outcome.error = "band 0 is not a PNG picture";
            return outcome;
        }
        if (!write_file(job.output, log.bands[0].png, outcome.error)) return outcome;
    } else {
        size = stitch(log.bands, job.output, outcome.error);
        if (!size) return outcome;
    }
    if (options.bands) {
        fs::path stem = job.output;
        stem.replace_extension();
        for (std::size_t i = 0; i < log.bands.size(); ++i) {
            fs::path band = stem;
            band += ".band-" + std::to_string(i) + ".png";
            if (!write_file(band, log.bands[i].png, outcome.error)) return outcome;
        }
    }
    const auto links = qor_webview::parse_links(log.links);
    outcome.ok = true;
    outcome.line = job.name + " -> " + job.output.string() + ": " + std::to_string(size->first) + "x" +
                   std::to_string(size->second) + " px (" + short_float(log.width) + "x" + short_float(log.height) +
                   " css), " + plural(log.bands.size(), "band", "bands") + ", " +
                   (links ? plural(links->size(), "link", "links") : std::string("links unreadable")) + ", " + took;
    return outcome;
}

// Where the helper runs: its path, its display (a private X server when
// there is none) and its log filter. Says why on standard error when there
// is no display to be had.
std::optional<qor_webview::ClientOptions> helper_options(const Options& options,
                                                         qor_webview_cli::PrivateDisplay& display) {
    qor_webview::ClientOptions client_options;
    client_options.helper = find_helper(options.helper);
    client_options.call_timeout = options.timeout;
    // The helper's own notes are for people debugging it; RUST_LOG still
    // asks for them.
    if (std::getenv("RUST_LOG") == nullptr) client_options.rust_log = "warn";
    if (!qor_webview_cli::has_display()) {
        std::string error;
        if (!display.start(error)) {
            error_line("no display (DISPLAY and WAYLAND_DISPLAY are unset) and " + error);
            return std::nullopt;
        }
        client_options.environment = display.helper_environment();
    }
    return client_options;
}

// Starts the helper for --evaluate.
std::optional<qor_webview::Client> start_client(const Options& options, qor_webview_cli::PrivateDisplay& display) {
    auto client_options = helper_options(options, display);
    if (!client_options) return std::nullopt;
    auto client = qor_webview::Client::start(*client_options);
    if (!client) {
        error_line(client.error().text());
        return std::nullopt;
    }
    return std::move(*client);
}

int evaluate(const Options& options) {
    std::vector<std::string> scripts;
    for (const auto& input : options.inputs) {
        std::string error;
        auto text = read_input(input, error);
        if (!text) {
            error_line((input == "-" ? std::string("standard input") : input) + ": " + error);
            return 1;
        }
        scripts.push_back(std::move(*text));
    }
    qor_webview_cli::PrivateDisplay display;
    auto client = start_client(options, display);
    if (!client) return 1;

    const auto started = Clock::now();
    const auto text = client->evaluate(scripts, *options.evaluate, options.timeout);
    if (!text) {
        error_line("evaluate: " + text.error().text());
        return 1;
    }
    std::string line;
    if (options.quiet) {
        line = *text;
    } else {
        // Quoted and escaped, so that the text is one line whatever it holds.
        line = "evaluate (" + plural(scripts.size(), "script", "scripts") + ") -> ";
        qor_webview::protocol::append_json_string(line, *text);
        line += ", " + fixed(std::chrono::duration<double, std::milli>(Clock::now() - started).count(), 0) + " ms";
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
}

int run(const Options& options) {
    if (options.evaluate) return evaluate(options);
    int failures = 0;
    const std::vector<Job> jobs = plan(options, failures);
    if (jobs.empty()) return failures > 0 ? 1 : 0;

    // A folder asked for is made; a file's folder must exist.
    for (const auto& job : jobs) {
        const fs::path folder = job.output.parent_path();
        std::error_code ec;
        if (!folder.empty() && !fs::is_directory(folder, ec)) {
            fs::create_directories(folder, ec);
            if (ec) {
                error_line(folder.string() + ": cannot make the folder: " + ec.message());
                return 1;
            }
        }
    }

    qor_webview_cli::PrivateDisplay display;
    auto client_options = helper_options(options, display);
    if (!client_options) return 1;
    qor_webview::PoolOptions pool_options;
    pool_options.client = std::move(*client_options);
    pool_options.client.allow_network = !options.offline;
    pool_options.max_helpers = options.jobs;
    auto pool = qor_webview::Pool::start(std::move(pool_options));
    if (!pool) {
        error_line(pool.error().text());
        return 1;
    }
    // Requests go out a few per helper at a time, so that each file's time
    // is its own and not the wait behind all the others.
    const std::size_t window =
        2 * (options.jobs != 0 ? options.jobs : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4));

    // Each file's outcome, filled as answers come (pictures are written on
    // threads of their own) and printed in the order of the files.
    struct Slot {
        std::optional<std::future<Outcome>> outcome;
        bool start_failure = false;
    };
    std::vector<Slot> slots(jobs.size());
    const auto started = Clock::now();
    std::size_t submitted = 0, completed = 0, printed = 0, rendered = 0;
    bool cannot_start = false;

    const auto ready = [](Outcome outcome) {
        std::promise<Outcome> promise;
        promise.set_value(std::move(outcome));
        return promise.get_future();
    };
    const auto submit = [&](std::size_t i) {
        const Job& job = jobs[i];
        std::string error;
        auto html = read_input(job.input, error);
        if (!html) {
            slots[i].outcome = ready(Outcome{false, {}, error});
            ++completed;
            return;
        }
        const auto asked = Clock::now();
        const auto failed = [&slots, i](const qor_webview::Error& e) {
            // A helper that cannot start fails every file the same way.
            slots[i].start_failure = e.is<qor_webview::Error::Start>() || e.is<qor_webview::Error::MissingWebKit>() ||
                                     e.is<qor_webview::Error::Unsupported>();
            return Outcome{false, {}, e.text()};
        };
        if (options.image) {
            pool->render_image_async(std::move(*html), options.scale,
                                     [&, i, asked, failed](qor_webview::Expected<std::vector<std::uint8_t>, qor_webview::Error> png) {
                                         ++completed;
                                         if (!png) {
                                             slots[i].outcome = ready(failed(png.error()));
                                             return;
                                         }
                                         slots[i].outcome = ready(image_outcome(jobs[i], *png, took_text(asked)));
                                     });
        } else {
            pool->render_log_async(std::move(*html), options.width, options.scale,
                                   [&, i, asked, failed](qor_webview::Expected<qor_webview::LogPicture, qor_webview::Error> log) {
                                       ++completed;
                                       if (!log) {
                                           slots[i].outcome = ready(failed(log.error()));
                                           return;
                                       }
                                       const std::string took = took_text(asked);
                                       if (log->bands.size() == 1) {
                                           slots[i].outcome = ready(log_outcome(options, jobs[i], *log, took));
                                           return;
                                       }
                                       // Stitching a tall entry takes a while: not on the thread that feeds the pool.
                                       slots[i].outcome = std::async(
                                           std::launch::async,
                                           [&options, &job = jobs[i], took](qor_webview::LogPicture picture) {
                                               return log_outcome(options, job, picture, took);
                                           },
                                           std::move(*log));
                                   });
        }
    };

    while (printed < jobs.size()) {
        while (!cannot_start && submitted < jobs.size() && submitted - completed < window) submit(submitted++);
        // The next file's outcome, once it is there.
        auto& next = slots[printed];
        if (next.outcome && next.outcome->wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            const Outcome outcome = next.outcome->get();
            const std::size_t n = ++printed;
            if (outcome.ok) {
                ++rendered;
                if (!options.quiet) {
                    std::string line =
                        jobs.size() > 1 ? "[" + std::to_string(n) + "/" + std::to_string(jobs.size()) + "] " : "";
                    line += outcome.line;
                    line += '\n';
                    std::fwrite(line.data(), 1, line.size(), stdout);
                    std::fflush(stdout);
                }
            } else if (next.start_failure) {
                error_line(outcome.error);
                cannot_start = true;
                failures += static_cast<int>(jobs.size() - rendered);
                break;
            } else {
                ++failures;
                error_line(jobs[n - 1].name + ": " + outcome.error);
            }
            continue;
        }
        pollfd ready_fd{pool->fd(), POLLIN, 0};
        ::poll(&ready_fd, 1, next.outcome ? 5 : 100);
        pool->dispatch();
    }
    if (jobs.size() > 1 && !options.quiet && !cannot_start) {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::string line = plural(jobs.size(), "file", "files") + ": " + std::to_string(rendered) + " rendered, " +
                           std::to_string(jobs.size() - rendered) + " failed, " + fixed(seconds, 1) + " s\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    return failures > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parse_command_line(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    return run(std::get<Options>(parsed));
}
