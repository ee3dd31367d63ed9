// How fast the helper answers and how much memory it takes with its WebKit
// processes. Starts the profiled helper once, through the library's client,
// on an X server of its own, warms it up, then sends `render_log` requests
// over a corpus of log entries (short, medium, about 3000 and 25000 CSS px
// tall) at width 600 and scales 1 and 2, and `render_image` requests over the
// same entries, interleaved round by round. For each it reports the median
// and 90th percentile of the time the client call takes (request written,
// answer read and decoded), the size of the decoded PNG files, and how the
// helper's own time splits into phases (from the profile lines the profiled
// build writes to standard error after each answer). The memory of the
// process tree is sampled from /proc during the run, and once more after two
// seconds without requests.
//
//   helper_bench [--helper PATH] [--corpus DIR] [--rounds N] [--warmup N]
//                [--flat N] [--only-flat] [--after N]
//
// --flat N adds the flatness run: N mixed requests, with the tree's memory
// printed every 100, the helper's own apart from its web processes.
// --after N adds the recovery run: N rounds of a short entry at scale 1
// right after another short one, after tall entries at both scales, after a
// small entry at scale 2 and after a request that fails; each followed by
// the helper's own PSS.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "png_header.hpp"
#include "proc.hpp"
#include "private_display.hpp"
#include "qor_webview/client.hpp"
#include "qor_webview/protocol.hpp"

namespace fs = std::filesystem;
namespace protocol = qor_webview::protocol;
using Clock = std::chrono::steady_clock;

namespace {

using namespace qor_bench;

constexpr auto kAnswerTimeout = std::chrono::seconds(60);
constexpr auto kProfileTimeout = std::chrono::seconds(5);

double elapsed_ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// `value` with `digits` after the point, whatever the locale.
std::string fixed(double value, int digits) {
    if (std::isnan(value)) return "-";
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
    return std::string(buffer, r.ptr);
}

using qor_webview::cli::png_size;

// ------------------------------------------------------------------ corpus

struct Doc {
    std::string name;
    std::string html;
};

// A CI log of `lines` entries with coloured levels, some lines long enough
// to wrap, a few stack traces and links: deterministic, so every run lays
// out the same document.
std::string ci_log(int lines, std::uint32_t seed) {
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    static const char* kWords[] = {"resolving", "artifact", "checksum", "worker", "shard", "fixture", "cache",
                                   "manifest", "timeout", "retry", "snapshot", "schema", "bucket", "lease",
                                   "replica", "index", "bundle", "upload", "digest", "quota"};
    static const char* kSteps[] = {"fetch", "configure", "compile", "link", "test", "bundle", "publish"};
    std::string h = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<style>
  body { margin: 0; padding: 8px 12px; font: 12px/1.5 "DejaVu Sans Mono", monospace; color: #1f2328; }
  h2 { font: 700 13px/1.4 "DejaVu Sans", sans-serif; margin: 8px 0 2px; color: #0b3d91; }
  .l { padding-left: 120px; text-indent: -120px; }
  .t { color: #8c959f; display: inline-block; width: 72px; text-indent: 0; }
  .v { display: inline-block; width: 48px; text-indent: 0; font-weight: 700; color: #1a7f37; }
  .w { background: #fff8c5; } .w .v { color: #9a6700; }
  .e { background: #ffebe9; } .e .v { color: #cf222e; }
  pre { margin: 2px 0 2px 120px; padding: 3px 8px; background: #f6f8fa; border-left: 3px solid #cf222e; white-space: pre-wrap; }
  a { color: #0969da; }
</style>
</head>
<body>
)";
    int ms = 0;
    for (int i = 0; i < lines; ++i) {
        if (i % 40 == 0) {
            h += "<h2>&#9656; ";
            h += kSteps[(i / 40) % 7];
            h += " (part ";
            h += std::to_string(i / 40 + 1);
            h += ")</h2>\n";
        }
        ms += int(next() % 1500);
        int kind = int(next() % 50);
        const char* cls = kind == 0 ? "l e" : kind < 4 ? "l w" : "l";
        const char* level = kind == 0 ? "ERROR" : kind < 4 ? "WARN" : "INFO";
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d.%03d", ms / 60000, ms / 1000 % 60, ms % 1000);
        h += "<div class=\"";
        h += cls;
        h += "\"><span class=\"t\">";
        h += stamp;
        h += "</span><span class=\"v\">";
        h += level;
        h += "</span>";
        int words = 4 + int(next() % (next() % 6 == 0 ? 30 : 9));
        for (int w = 0; w < words; ++w) {
            if (w) h += ' ';
            h += kWords[next() % 20];
            if (next() % 7 == 0) h += "=" + std::to_string(next() % 10000);
        }
        if (next() % 60 == 0) {
            h += " (<a href=\"https://ci.example.dev/jobs/" + std::to_string(i) + "\">details</a>)";
        }
        h += "</div>\n";
        if (kind == 0) h += "<pre>assertion failed: left == right\n  at src/lib.rs:" + std::to_string(next() % 900) +
                            "\n  at tests/run.rs:" + std::to_string(next() % 300) + "</pre>\n";
    }
    h += "</body>\n</html>\n";
    return h;
}

std::vector<Doc> load_corpus(const fs::path& dir, std::string& error) {
    std::vector<Doc> docs;
    for (const char* name : {"short", "medium"}) {
        std::ifstream in(dir / (std::string(name) + ".html"), std::ios::binary);
        if (!in) {
            error = "cannot read " + (dir / (std::string(name) + ".html")).string();
            return {};
        }
        std::ostringstream s;
        s << in.rdbuf();
        docs.push_back({name, s.str()});
    }
    docs.push_back({"tall-3000", ci_log(94, 11)});
    docs.push_back({"tall-25000", ci_log(748, 29)});
    return docs;
}

// ----------------------------------------------------------------- memory

struct TreeTotals {
    long rss_kb = 0;
    long pss_kb = 0;
    long hwm_kb = 0;
    std::size_t processes = 0;
    std::vector<ProcSample> each;
};

TreeTotals sample_tree(pid_t root) {
    TreeTotals t;
    for (pid_t pid : process_tree(root)) {
        ProcSample s = sample_process(pid);
        if (s.name.empty()) continue;  // ended meanwhile
        t.rss_kb += s.rss_kb;
        t.pss_kb += s.pss_kb;
        t.hwm_kb += s.hwm_kb;
        ++t.processes;
        t.each.push_back(std::move(s));
    }
    return t;
}

// Samples the tree's resident memory every 50 ms (cheap: statm of known
// pids) and its proportional set size every second (smaps_rollup walks the
// page tables), keeping the peaks.
class Sampler {
public:
    explicit Sampler(pid_t root) : root_(root), thread_([this] { run(); }) {}
    ~Sampler() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    long peak_rss_kb() {
        std::lock_guard lock(mutex_);
        return peak_rss_kb_;
    }
    long peak_pss_kb() {
        std::lock_guard lock(mutex_);
        return peak_pss_kb_;
    }
    std::size_t peak_processes() {
        std::lock_guard lock(mutex_);
        return peak_processes_;
    }

private:
    void run() {
        std::vector<pid_t> tree;
        for (unsigned tick = 0;; ++tick) {
            if (tick % 20 == 0) {
                tree = process_tree(root_);
                long pss = 0;
                for (pid_t pid : tree) {
                    pss += kb_field(read_small_file("/proc/" + std::to_string(pid) + "/smaps_rollup"), "\nPss:");
                }
                std::lock_guard lock(mutex_);
                peak_pss_kb_ = std::max(peak_pss_kb_, pss);
                peak_processes_ = std::max(peak_processes_, tree.size());
            }
            long rss = 0;
            for (pid_t pid : tree) rss += rss_kb(pid);
            std::unique_lock lock(mutex_);
            peak_rss_kb_ = std::max(peak_rss_kb_, rss);
            if (wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stop_; })) return;
        }
    }

    pid_t root_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    long peak_rss_kb_ = 0;
    long peak_pss_kb_ = 0;
    std::size_t peak_processes_ = 0;
    std::thread thread_;
};

std::string mb(long kb) { return fixed(double(kb) / 1024.0, 0) + " MB"; }

// ---------------------------------------------------------------- requests

enum class Kind { Log, Image };

struct Case {
    Kind kind = Kind::Log;
    const Doc* doc = nullptr;
    float scale = 1;
    // measured
    std::vector<double> latency_ms;
    std::vector<std::map<std::string, double>> phases;  // ms per phase, one map per request
    std::size_t png_bytes = 0;
    std::size_t bands = 0;
    std::string picture;  // device px
    double height = 0;
    std::vector<std::string> notes;
};

std::string f32(float v) {
    std::string s;
    protocol::append_f32(s, v);
    return s;
}

// "1.0" -> "1", "1.5" -> "1.5".
std::string short_scale(float v) {
    std::string s = f32(v);
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

// "profile: request=request load=1234 script=567 ..." -> phase -> ms.
std::map<std::string, double> parse_profile(std::string_view line) {
    std::map<std::string, double> phases;
    std::size_t at = line.find(':');
    std::string_view rest = at == std::string_view::npos ? line : line.substr(at + 1);
    while (!rest.empty()) {
        std::size_t space = rest.find(' ');
        std::string_view item = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) continue;
        long long us = 0;
        auto r = std::from_chars(item.data() + eq + 1, item.data() + item.size(), us);
        if (r.ec != std::errc()) continue;  // request=request
        phases[std::string(item.substr(0, eq))] = double(us) / 1000.0;
    }
    return phases;
}

double median(std::vector<double> v) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Nearest rank.
double percentile(std::vector<double> v, double p) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    std::size_t rank = std::size_t(std::ceil(p / 100.0 * double(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

// The helper's standard error, kept line by line as the client hands it
// over, for the profile line each answer is followed by.
class StderrLines {
public:
    void add(std::string_view line) {
        {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        }
        arrived_.notify_all();
    }

    // Waits until a line starting with `prefix` has arrived and returns it;
    // the lines before it are dropped, the ones after it stay.
    std::optional<std::string> take(std::string_view prefix, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        const auto deadline = Clock::now() + timeout;
        while (true) {
            while (!lines_.empty()) {
                std::string line = std::move(lines_.front());
                lines_.pop_front();
                if (line.starts_with(prefix)) return line;
            }
            if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && lines_.empty()) return std::nullopt;
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> lines_;
};

struct Exchange {
    double ms = 0;
    std::optional<qor_webview::LogPicture> log;
    std::optional<std::vector<std::uint8_t>> image;
    std::string failed;  // a `failed` answer's text
    std::map<std::string, double> phases;
};

// One request through the client, timed around the call. False when the
// helper could not answer at all (gone, or no answer in time); a `failed`
// answer is an answer.
bool exchange(qor_webview::Client& client, StderrLines& errors, Kind kind, const Doc& doc, float scale,
              Exchange& out, std::string& error) {
    out = Exchange{};
    const auto answered = [&](const qor_webview::Error& e) {
        if (e.is<qor_webview::Error::Stopped>() || e.is<qor_webview::Error::Call>()) {
            error = e.text();
            return false;
        }
        out.failed = e.text();
        return true;
    };
    auto t0 = Clock::now();
    bool ok = true;
    if (kind == Kind::Log) {
        auto log = client.render_log(doc.html, 600, scale, kAnswerTimeout);
        out.ms = elapsed_ms(t0, Clock::now());
        if (log) out.log = std::move(*log);
        else ok = answered(log.error());
    } else {
        auto png = client.render_image(doc.html, scale, kAnswerTimeout);
        out.ms = elapsed_ms(t0, Clock::now());
        if (png) out.image = std::move(*png);
        else ok = answered(png.error());
    }
    if (!ok) return false;
    auto profile = errors.take("profile: ", kProfileTimeout);
    out.phases = profile ? parse_profile(*profile) : std::map<std::string, double>{};
    return true;
}

// Checks one answer of a case and records its sizes.
void inspect(Case& c, const Exchange& ex) {
    if (!ex.failed.empty()) {
        c.notes.push_back("failed: " + ex.failed);
        return;
    }
    const std::uint32_t scale = std::uint32_t(c.scale);
    if (c.kind == Kind::Image) {
        auto size = ex.image ? png_size(*ex.image) : std::nullopt;
        if (!size) {
            c.notes.push_back("the picture is not a PNG file");
            return;
        }
        c.bands = 1;
        c.png_bytes = ex.image->size();
        c.picture = std::to_string(size->first) + "x" + std::to_string(size->second);
        return;
    }
    if (!ex.log) {
        c.notes.push_back("no log entry");
        return;
    }
    const auto& log = *ex.log;
    if (log.width != 600.0f) c.notes.push_back("width " + fixed(log.width, 3) + ", not 600");
    c.height = log.height;
    c.bands = log.bands.size();
    std::uint32_t width = 0, rows = 0;
    double expect_top = 0;
    for (const auto& band : log.bands) {
        if (band.top != expect_top) c.notes.push_back("band at " + fixed(band.top, 1) + " leaves a gap");
        expect_top = double(band.top) + double(band.height);
        auto size = png_size(band.png);
        if (!size) {
            c.notes.push_back("a band is not a PNG file");
            return;
        }
        if (size->first != 600 * scale) c.notes.push_back("a band " + std::to_string(size->first) + " px wide");
        if (size->second > 4097) c.notes.push_back("a band of " + std::to_string(size->second) + " rows");
        width = std::max(width, size->first);
        rows += size->second;
        c.png_bytes += band.png.size();
    }
    if (expect_top != log.height) c.notes.push_back("bands end at " + fixed(expect_top, 1));
    if (double(rows) != std::round(double(log.height) * scale))
        c.notes.push_back(std::to_string(rows) + " rows for height " + fixed(log.height, 1));
    c.picture = std::to_string(width) + "x" + std::to_string(rows);
}

std::string ms_text(double v) { return fixed(v, v < 10 ? 2 : 1); }

std::string pad(std::string s, std::size_t width, bool right = false) {
    if (s.size() >= width) return s + " ";
    return right ? std::string(width - s.size(), ' ') + s + " " : s + std::string(width - s.size(), ' ') + " ";
}

void print_memory(const TreeTotals& t, const char* when) {
    std::cout << "memory " << when << ": " << t.processes << " processes, RSS " << mb(t.rss_kb) << ", PSS "
              << mb(t.pss_kb) << ", sum of VmHWM " << mb(t.hwm_kb) << "\n";
    for (const auto& p : t.each) {
        std::cout << "    " << pad(p.name, 22) << pad(std::to_string(p.pid), 8) << "RSS " << pad(mb(p.rss_kb), 8, true)
                  << "PSS " << pad(mb(p.pss_kb), 8, true) << "HWM " << mb(p.hwm_kb) << "\n";
    }
}

struct Options {
    std::string helper;
    fs::path corpus;
    int rounds = 15;
    int warmup = 3;
    int flat = 0;
    int after = 0;
    bool latency = true;
};

[[noreturn]] void usage(const std::string& why) {
    std::cerr << "helper_bench: " << why << "\n"
              << "usage: helper_bench [--helper PATH] [--corpus DIR] [--rounds N] [--warmup N] [--flat N] "
                 "[--only-flat] [--after N]\n";
    std::exit(2);
}

int positive(const std::string& text, const std::string& name) {
    int v = -1;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < 0) usage("bad value for " + name);
    return v;
}

Options parse_options(int argc, char** argv) {
    Options o;
#ifdef QOR_BENCH_HELPER
    o.helper = QOR_BENCH_HELPER;
#endif
#ifdef QOR_BENCH_CORPUS
    o.corpus = QOR_BENCH_CORPUS;
#endif
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage("missing value after " + a);
            return argv[++i];
        };
        if (a == "--helper") o.helper = value();
        else if (a == "--corpus") o.corpus = value();
        else if (a == "--rounds") o.rounds = std::max(1, positive(value(), a));
        else if (a == "--warmup") o.warmup = positive(value(), a);
        else if (a == "--flat") o.flat = positive(value(), a);
        else if (a == "--only-flat") o.latency = false;
        else if (a == "--after") o.after = positive(value(), a);
        else usage("unknown argument " + a);
    }
    if (o.helper.empty()) usage("no helper given");
    if (!o.latency && o.flat == 0 && o.after == 0) o.flat = 1000;
    return o;
}

// ------------------------------------------------------------------- runs

// The helper under test and where its standard error goes.
struct Bench {
    qor_webview::Client& client;
    StderrLines& errors;
};

bool run_latency(Bench& bench, std::vector<Case>& cases, const Options& o) {
    std::string error;
    Exchange ex;
    std::cerr << "warming up: " << o.warmup << " round(s) of " << cases.size() << " requests\n";
    for (int r = 0; r < o.warmup; ++r) {
        for (auto& c : cases) {
            if (!exchange(bench.client, bench.errors, c.kind, *c.doc, c.scale, ex, error)) {
                std::cerr << "helper_bench: " << error << "\n";
                return false;
            }
        }
    }
    const pid_t pid = bench.client.pid();
    print_memory(sample_tree(pid), "after warm-up");
    Sampler sampler(pid);
    auto started = Clock::now();
    for (int r = 0; r < o.rounds; ++r) {
        std::cerr << "round " << r + 1 << " of " << o.rounds << "\n";
        for (auto& c : cases) {
            if (!exchange(bench.client, bench.errors, c.kind, *c.doc, c.scale, ex, error)) {
                std::cerr << "helper_bench: " << error << "\n";
                return false;
            }
            c.latency_ms.push_back(ex.ms);
            c.phases.push_back(std::move(ex.phases));
            if (r == 0) inspect(c, ex);
        }
    }
    double seconds = elapsed_ms(started, Clock::now()) / 1000.0;
    TreeTotals end = sample_tree(pid);

    std::cout << "\nlatency: " << o.rounds << " rounds after " << o.warmup
              << " warm-up, width 600; ms of the client call (request written, answer read and decoded);\n"
                 "helper: its own total; PNG: the decoded PNG files of one answer (the client does not show the\n"
                 "answer line, whose base64 is about 4/3 of that)\n";
    std::cout << pad("request", 13) << pad("document", 11) << pad("scale", 6) << pad("median", 8, true)
              << pad("p90", 8, true) << pad("helper", 8, true) << pad("PNG", 10, true) << pad("bands", 6, true)
              << pad("height", 7, true) << "picture px\n";
    for (auto& c : cases) {
        std::vector<double> totals;
        for (auto& p : c.phases)
            if (p.count("total")) totals.push_back(p["total"]);
        std::cout << pad(c.kind == Kind::Log ? "render_log" : "render_image", 13) << pad(c.doc->name, 11)
                  << pad(short_scale(c.scale), 6) << pad(ms_text(median(c.latency_ms)), 8, true)
                  << pad(ms_text(percentile(c.latency_ms, 90)), 8, true) << pad(ms_text(median(totals)), 8, true)
                  << pad(fixed(double(c.png_bytes) / 1024.0, 1) + " KB", 10, true)
                  << pad(std::to_string(c.bands), 6, true)
                  << pad(c.kind == Kind::Log ? fixed(c.height, 0) : "-", 7, true) << c.picture << "\n";
        for (const auto& n : c.notes) std::cout << "    note: " << n << "\n";
    }

    static const char* kPhases[] = {"load", "script", "resize", "snapshot", "cut", "png", "base64", "write"};
    std::cout << "\nwhere the time goes: median ms per phase inside the helper; webkit = load + script + snapshot;\n"
                 "own = total - (load + script + snapshot + png), as a share of total (median over requests)\n";
    std::cout << pad("request", 13) << pad("document", 11) << pad("scale", 6);
    for (const char* p : kPhases) std::cout << pad(p, 9, true);
    std::cout << pad("total", 9, true) << pad("webkit%", 8, true) << pad("png%", 6, true) << pad("own%", 6, true)
              << "own ms\n";
    for (auto& c : cases) {
        std::cout << pad(c.kind == Kind::Log ? "render_log" : "render_image", 13) << pad(c.doc->name, 11)
                  << pad(short_scale(c.scale), 6);
        for (const char* p : kPhases) {
            std::vector<double> v;
            for (auto& m : c.phases) v.push_back(m.count(p) ? m[p] : 0.0);
            std::cout << pad(ms_text(median(v)), 9, true);
        }
        std::vector<double> total, webkit_share, png_share, own_share, own_ms;
        for (auto& m : c.phases) {
            if (!m.count("total") || m["total"] <= 0) continue;
            double t = m["total"];
            double webkit = m["load"] + m["script"] + m["snapshot"];
            double own = t - webkit - m["png"];
            total.push_back(t);
            webkit_share.push_back(100.0 * webkit / t);
            png_share.push_back(100.0 * m["png"] / t);
            own_share.push_back(100.0 * own / t);
            own_ms.push_back(own);
        }
        std::cout << pad(ms_text(median(total)), 9, true) << pad(fixed(median(webkit_share), 1), 8, true)
                  << pad(fixed(median(png_share), 1), 6, true) << pad(fixed(median(own_share), 1), 6, true)
                  << ms_text(median(own_ms)) << "\n";
    }

    std::cout << "\nmemory of the helper and its WebKit processes during the measured rounds (" << fixed(seconds, 0)
              << " s): peak RSS sum " << mb(sampler.peak_rss_kb()) << " (sampled every 50 ms), peak PSS sum "
              << mb(sampler.peak_pss_kb()) << " (every second), at most " << sampler.peak_processes()
              << " processes\n";
    print_memory(end, "at the end");
    return true;
}

bool run_flat(Bench& bench, const std::vector<Doc>& docs, int count) {
    // A mix of sizes and both scales: memory that follows the variety of
    // pictures, not their number, shows up here.
    struct Request {
        Kind kind;
        const Doc* doc;
        float scale;
    };
    std::vector<Request> mix;
    for (float scale : {1.0f, 2.0f})
        for (std::size_t d = 0; d < 3; ++d) mix.push_back({Kind::Log, &docs[d], scale});
    mix.push_back({Kind::Log, &docs[3], 1.0f});
    mix.push_back({Kind::Image, &docs[1], 1.0f});

    std::cout << "\nmemory over " << count << " requests (cycling render_log short, medium, tall-3000 at scales 1 "
              << "and 2, tall-25000 at scale 1, render_image medium at scale 1)\n";
    std::cout << pad("requests", 9, true) << pad("seconds", 8, true) << pad("procs", 6, true)
              << pad("RSS sum", 9, true) << pad("PSS sum", 9, true) << pad("helper RSS", 11, true)
              << pad("helper PSS", 11, true) << pad("web RSS", 10, true) << "web PSS\n";
    const pid_t pid = bench.client.pid();
    long max_own_pss = 0;
    Sampler sampler(pid);
    auto row = [&](int done, Clock::time_point start) {
        TreeTotals t = sample_tree(pid);
        long own = 0, web = 0, own_pss = 0, web_pss = 0;
        for (const auto& p : t.each) {
            (p.pid == pid ? own : web) += p.rss_kb;
            (p.pid == pid ? own_pss : web_pss) += p.pss_kb;
        }
        std::cout << pad(std::to_string(done), 9, true)
                  << pad(fixed(elapsed_ms(start, Clock::now()) / 1000.0, 0), 8, true)
                  << pad(std::to_string(t.processes), 6, true) << pad(mb(t.rss_kb), 9, true)
                  << pad(mb(t.pss_kb), 9, true) << pad(mb(own), 11, true) << pad(mb(own_pss), 11, true)
                  << pad(mb(web), 10, true) << mb(web_pss) << std::endl;
        max_own_pss = std::max(max_own_pss, own_pss);
    };
    auto start = Clock::now();
    row(0, start);
    std::string error;
    Exchange ex;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const Request& r = mix[std::size_t(i) % mix.size()];
        if (!exchange(bench.client, bench.errors, r.kind, *r.doc, r.scale, ex, error)) {
            std::cerr << "helper_bench: request " << i << ": " << error << "\n";
            return false;
        }
        if (!ex.failed.empty()) ++failed;
        if ((i + 1) % 100 == 0 || i + 1 == count) row(i + 1, start);
    }
    std::cout << "peak PSS sum " << mb(sampler.peak_pss_kb()) << " (every second), largest helper PSS of the rows "
              << mb(max_own_pss) << "\n";
    if (failed) std::cout << failed << " requests failed\n";
    return failed == 0;
}

// What a short entry costs right after requests that leave the helper in
// another state: taller pictures, another scale, a failure. Each round runs
// the pairs in turn, so the medians compare within one run.
bool run_after(Bench& bench, const std::vector<Doc>& docs, int rounds) {
    // Too large for any helper: 2047 x 2047 CSS px at scale 16 is the
    // device limit both ways.
    static const Doc giant{"giant", "<div style='height:20000px'>x</div>"};
    struct Before {
        const char* name;
        Kind kind;
        const Doc* doc;
        float scale;
        float width;
    };
    const std::vector<Before> befores = {
        {"short, scale 1", Kind::Log, &docs[0], 1.0f, 600.0f},
        {"short, scale 2", Kind::Log, &docs[0], 2.0f, 600.0f},
        {"tall-25000, scale 1", Kind::Log, &docs[3], 1.0f, 600.0f},
        {"tall-25000, scale 2", Kind::Log, &docs[3], 2.0f, 600.0f},
        {"image tall-3000, scale 2", Kind::Image, &docs[2], 2.0f, 600.0f},
        {"failed: width 1e9, scale 16", Kind::Log, &giant, 16.0f, 1e9f},
    };
    const pid_t pid = bench.client.pid();
    std::vector<std::vector<double>> short_ms(befores.size()), before_ms(befores.size());
    std::vector<long> max_own_pss(befores.size()), max_own_pss_later(befores.size());
    std::vector<std::string> before_failed(befores.size());
    std::string error;
    Exchange ex;
    for (int r = 0; r < rounds; ++r) {
        std::cerr << "after: round " << r + 1 << " of " << rounds << "\n";
        for (std::size_t b = 0; b < befores.size(); ++b) {
            const Before& before = befores[b];
            auto t0 = Clock::now();
            bool ok = before.kind == Kind::Log
                          ? [&] {
                                auto log = bench.client.render_log(before.doc->html, before.width, before.scale,
                                                                   kAnswerTimeout);
                                if (!log && (log.error().is<qor_webview::Error::Stopped>() ||
                                             log.error().is<qor_webview::Error::Call>())) {
                                    error = log.error().text();
                                    return false;
                                }
                                if (!log) before_failed[b] = log.error().text();
                                return true;
                            }()
                          : exchange(bench.client, bench.errors, before.kind, *before.doc, before.scale, ex, error);
            before_ms[b].push_back(elapsed_ms(t0, Clock::now()));
            if (!ok || !exchange(bench.client, bench.errors, Kind::Log, docs[0], 1.0f, ex, error)) {
                std::cerr << "helper_bench: " << error << "\n";
                return false;
            }
            if (!ex.failed.empty()) {
                std::cerr << "helper_bench: the short entry failed: " << ex.failed << "\n";
                return false;
            }
            short_ms[b].push_back(ex.ms);
            max_own_pss[b] = std::max(max_own_pss[b], sample_process(pid).pss_kb);
            // A parent that pauses: the helper gives memory back right after
            // it answers.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            max_own_pss_later[b] = std::max(max_own_pss_later[b], sample_process(pid).pss_kb);
        }
    }
    std::cout << "\nshort entry at scale 1 after another request, " << rounds
              << " rounds: ms of the client call; ratio to its median after a short entry at scale 1;\n"
                 "helper PSS: the helper process alone, largest right after the short entry's answer and 50 ms later\n";
    std::cout << pad("after", 29) << pad("its ms", 9, true) << pad("median", 8, true) << pad("p90", 8, true)
              << pad("ratio", 6, true) << pad("helper PSS", 11, true) << "50 ms later\n";
    const double base = median(short_ms[0]);
    for (std::size_t b = 0; b < befores.size(); ++b) {
        std::cout << pad(befores[b].name, 29) << pad(ms_text(median(before_ms[b])), 9, true)
                  << pad(ms_text(median(short_ms[b])), 8, true) << pad(ms_text(percentile(short_ms[b], 90)), 8, true)
                  << pad(fixed(median(short_ms[b]) / base, 2), 6, true) << pad(mb(max_own_pss[b]), 11, true)
                  << mb(max_own_pss_later[b]) << "\n";
        if (!before_failed[b].empty()) std::cout << "    it failed: " << before_failed[b] << "\n";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    std::string error;
    std::vector<Doc> docs = load_corpus(o.corpus, error);
    if (docs.empty()) {
        std::cerr << "helper_bench: " << error << "\n";
        return 1;
    }

    // Always an X server of its own, display or not, so that runs compare
    // whatever session they are started from.
    qor_webview_cli::PrivateDisplay display;
    if (!display.start(error)) {
        std::cerr << "helper_bench: " << error << "\n";
        return 1;
    }
    StderrLines errors;
    qor_webview::ClientOptions options;
    options.helper = o.helper;
    options.environment = display.helper_environment();
    options.call_timeout = kAnswerTimeout;
    options.on_stderr = [&errors](std::string_view line) { errors.add(line); };
    auto t0 = Clock::now();
    auto client = qor_webview::Client::start(options);
    if (!client) {
        std::cerr << "helper_bench: cannot start " << o.helper << ": " << client.error().text() << "\n";
        return 1;
    }
    double ready_ms = elapsed_ms(t0, Clock::now());
    std::cout << "helper_bench: " << client->helper_path() << " on Xvfb " << display.name() << ", ready after "
              << fixed(ready_ms, 0) << " ms\n";
    std::cout << "corpus:";
    for (const auto& d : docs) std::cout << " " << d.name << " (" << d.html.size() << " bytes)";
    std::cout << "\n";

    Bench bench{*client, errors};
    bool ok = true;
    if (o.latency) {
        std::vector<Case> cases;
        for (Kind kind : {Kind::Log, Kind::Image})
            for (float scale : {1.0f, 2.0f})
                for (const auto& d : docs) {
                    Case c;
                    c.kind = kind;
                    c.doc = &d;
                    c.scale = scale;
                    cases.push_back(std::move(c));
                }
        ok = run_latency(bench, cases, o);
    }
    if (ok && o.flat > 0) ok = run_flat(bench, docs, o.flat);
    if (ok && o.after > 0) ok = run_after(bench, docs, o.after);
    if (ok) {
        // What the helper holds between requests, once it has had time to
        // give back what the last ones took.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::cout << "\n";
        print_memory(sample_tree(client->pid()), "after 2 s without requests");
    }
    return ok ? 0 : 1;
}
