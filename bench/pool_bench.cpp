// What the pool gives an application: the wall time of a burst of entries
// submitted at once with pools of 1 to 4 helpers against the blocking
// client, how long each dispatch() holds the application's thread, the
// first entry after a warmed-up start against a warm one, the memory of
// pools of 1 and 2 after a chat-like run, and the idle stop.
//
//   pool_bench [--helper PATH] [--corpus DIR] [--files N] [--entries N]
//              [--pools 1,2,3,4] [--chat N]
//
// The entries are the first N .html files of the corpus folder (sorted by
// name), repeated in turn, at width 600 and scale 2.

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "private_display.hpp"
#include "proc.hpp"
#include "qor_webview/client.hpp"
#include "qor_webview/pool.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qor_webview::Error;
using qor_webview::Expected;
using qor_webview::LogPicture;

constexpr float width = 600;
constexpr float scale = 2;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The helpers' processes: every descendant of this program but its X server.
std::vector<pid_t> helper_tree() {
    std::vector<pid_t> tree = qor_bench::process_tree(::getpid());
    std::vector<pid_t> helpers;
    for (std::size_t i = 1; i < tree.size(); ++i) {
        const auto name = qor_bench::sample_process(tree[i]).name;
        if (!name.empty() && name != "Xvfb" && name != "xauth") helpers.push_back(tree[i]);
    }
    return helpers;
}

double tree_pss_mb() {
    long kb = 0;
    for (pid_t pid : helper_tree()) kb += qor_bench::sample_process(pid).pss_kb;
    return static_cast<double>(kb) / 1024;
}

void wait_for(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// This thread's CPU time: what dispatch() itself costs, apart from the
// time the scheduler gives to the helpers on a busy machine.
double thread_cpu_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Burst {
    double wall_ms = 0;
    double longest_dispatch_ms = 0;
    double longest_dispatch_cpu_ms = 0;
    std::size_t failed = 0;
};

// Submits every entry at once, then runs completions as an event loop would.
Burst burst(qor_webview::Pool& pool, const std::vector<std::string>& entries) {
    Burst result;
    std::size_t done = 0;
    const auto started = Clock::now();
    for (const auto& html : entries) {
        pool.render_log_async(html, width, scale, [&](Expected<LogPicture, Error> log) {
            ++done;
            result.failed += log ? 0 : 1;
        });
    }
    while (done < entries.size()) {
        pollfd ready{pool.fd(), POLLIN, 0};
        ::poll(&ready, 1, 1000);
        const auto t = Clock::now();
        const double cpu = thread_cpu_ms();
        pool.dispatch();
        result.longest_dispatch_ms = std::max(result.longest_dispatch_ms, ms_since(t));
        result.longest_dispatch_cpu_ms = std::max(result.longest_dispatch_cpu_ms, thread_cpu_ms() - cpu);
    }
    result.wall_ms = ms_since(started);
    return result;
}

// The entry with the letters of each text run reversed: the same markup,
// styles and faces with other words, as an application's other entries.
std::string other_words(std::string html) {
    std::size_t text = std::string::npos;
    for (std::size_t i = 0; i < html.size(); ++i) {
        if (html[i] == '>') {
            const bool code = (i >= 6 && html.compare(i - 6, 6, "<style") == 0) ||
                              (i >= 7 && html.compare(i - 7, 7, "<script") == 0);
            text = code ? std::string::npos : i + 1;
        } else if (html[i] == '<' && text != std::string::npos) {
            for (std::size_t a = text, b = i; a + 1 < b; ++a, --b) {
                if (std::islower(static_cast<unsigned char>(html[a])) &&
                    std::islower(static_cast<unsigned char>(html[b - 1])))
                    std::swap(html[a], html[b - 1]);
            }
            text = std::string::npos;
        }
    }
    return html;
}

qor_webview::Pool started_pool(qor_webview::PoolOptions options) {
    auto pool = qor_webview::Pool::start(std::move(options));
    if (!pool) {
        std::cerr << "pool_bench: " << pool.error().text() << "\n";
        std::exit(1);
    }
    return std::move(*pool);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
    std::string helper, corpus = QOR_BENCH_CORPUS;
    std::size_t files = 10, entries_n = 500, chat = 200;
    std::vector<std::size_t> pools = {1, 2, 3, 4};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--helper") helper = next();
        else if (arg == "--corpus") corpus = next();
        else if (arg == "--files") files = std::stoul(next());
        else if (arg == "--entries") entries_n = std::stoul(next());
        else if (arg == "--chat") chat = std::stoul(next());
        else if (arg == "--pools") {
            pools.clear();
            std::stringstream list(next());
            for (std::string n; std::getline(list, n, ',');) pools.push_back(std::stoul(n));
        } else {
            std::cerr << "usage: pool_bench [--helper PATH] [--corpus DIR] [--files N] [--entries N] "
                         "[--pools 1,2,3,4] [--chat N]\n";
            return 2;
        }
    }
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (entry.path().extension() == ".html") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    if (paths.size() > files) paths.resize(files);
    std::vector<std::string> corpus_html;
    for (const auto& p : paths) corpus_html.push_back(read_file(p));
    if (corpus_html.empty()) {
        std::cerr << "pool_bench: no .html files in " << corpus << "\n";
        return 1;
    }
    const auto entries = [&](std::size_t n) {
        std::vector<std::string> list;
        for (std::size_t i = 0; i < n; ++i) list.push_back(corpus_html[i % corpus_html.size()]);
        return list;
    };

    qor_webview_cli::PrivateDisplay display;
    qor_webview::ClientOptions client;
    client.helper = helper.empty() ? QOR_BENCH_HELPER : helper;
    client.rust_log = "warn";
    if (!qor_webview_cli::has_display()) {
        std::string error;
        if (!display.start(error)) {
            std::cerr << "pool_bench: " << error << "\n";
            return 1;
        }
        client.environment = display.helper_environment();
    }
    std::cout << "entries: " << corpus_html.size() << " files of " << corpus << ", width 600, scale 2\n";
    const auto burst_entries = entries(entries_n);

    // The blocking client, one entry after another, after a warm-up.
    {
        auto c = qor_webview::Client::start(client);
        if (!c) {
            std::cerr << "pool_bench: " << c.error().text() << "\n";
            return 1;
        }
        for (const auto& html : corpus_html) (void)c->render_log(html, width, scale);
        const auto started = Clock::now();
        std::size_t failed = 0;
        for (const auto& html : burst_entries) failed += c->render_log(html, width, scale) ? 0 : 1;
        std::printf("blocking client: %zu entries in %.0f ms (%zu failed)\n", burst_entries.size(), ms_since(started),
                    failed);
    }

    // Pools of each size, their helpers started and warmed up first.
    double one_helper_ms = 0;
    for (std::size_t n : pools) {
        qor_webview::PoolOptions options;
        options.client = client;
        options.max_helpers = options.min_helpers = n;
        options.warm_scales = {scale};
        auto pool = started_pool(options);
        wait_for([&] { return pool.status().pids.size() == n && pool.status().in_flight == 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the warm-ups answered
        (void)burst(pool, corpus_html);
        const Burst b = burst(pool, burst_entries);
        if (n == 1) one_helper_ms = b.wall_ms;
        std::printf("pool of %zu: %zu entries in %.0f ms", n, burst_entries.size(), b.wall_ms);
        if (one_helper_ms > 0) std::printf(" (%.2fx a pool of 1)", b.wall_ms / one_helper_ms);
        std::printf(", longest dispatch() %.3f ms (%.3f ms of CPU), %zu failed\n", b.longest_dispatch_ms,
                    b.longest_dispatch_cpu_ms, b.failed);
    }

    // Each entry of the corpus as the first one, one second after a start,
    // against its own warm median: warmed up with the built-in entry, with
    // the same entry's words changed (an application's own template as
    // `warm_entry`), and not at all.
    {
        const auto first_entries = [&](const char* what, bool warm, bool own_template) {
            double log_sum = 0, worst = 0;
            for (const auto& html : corpus_html) {
                qor_webview::PoolOptions options;
                options.client = client;
                options.max_helpers = 1;
                if (warm) options.warm_scales = {scale};
                if (own_template) options.warm_entry = other_words(html);
                auto pool = started_pool(options);
                std::this_thread::sleep_for(std::chrono::seconds(1));
                auto t = Clock::now();
                (void)pool.render_log(html, width, scale);
                const double first = ms_since(t);
                std::vector<double> warm_ms;
                for (int i = 0; i < 7; ++i) {
                    t = Clock::now();
                    (void)pool.render_log(html, width, scale);
                    warm_ms.push_back(ms_since(t));
                }
                std::sort(warm_ms.begin(), warm_ms.end());
                const double ratio = first / warm_ms[warm_ms.size() / 2];
                log_sum += std::log(ratio);
                worst = std::max(worst, ratio);
            }
            std::printf("first entry 1 s after a start %s: %.2fx a warm one (geometric mean), worst %.2fx\n", what,
                        std::exp(log_sum / static_cast<double>(corpus_html.size())), worst);
        };
        first_entries("warmed up with the built-in entry", true, false);
        first_entries("warmed up with its own template", true, true);
        first_entries("without warming up", false, false);
    }

    // Memory after a chat-like run of entries, with one and two helpers.
    double one_mb = 0;
    for (std::size_t n : {std::size_t{1}, std::size_t{2}}) {
        qor_webview::PoolOptions options;
        options.client = client;
        options.max_helpers = options.min_helpers = n;
        auto pool = started_pool(options);
        (void)burst(pool, entries(chat));
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double mb = tree_pss_mb();
        if (n == 1) one_mb = mb;
        std::printf("memory after %zu entries, pool of %zu: %.0f MB PSS", chat, n, mb);
        if (n == 2 && one_mb > 0) std::printf(" (%.2fx a pool of 1)", mb / one_mb);
        std::printf("\n");
    }

    // The idle stop with none kept: nothing is left running.
    {
        qor_webview::PoolOptions options;
        options.client = client;
        options.max_helpers = 2;
        options.min_helpers = 0;
        options.idle_stop = std::chrono::seconds(1);
        auto pool = started_pool(options);
        (void)burst(pool, entries(20));
        const std::size_t during = helper_tree().size();
        const auto t = Clock::now();
        wait_for([&] { return helper_tree().empty(); });
        std::printf("idle stop: %zu processes while busy, %zu left %.1f s after the last answer\n", during,
                    helper_tree().size(), ms_since(t) / 1000);
    }
    return 0;
}
