// Throughput of the wire for large payloads: decoding a render_log line that
// carries megabytes of HTML, and writing an image answer with megabytes of
// base64 into a pipe that another thread drains.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "qor_webview/protocol.hpp"

namespace {

using namespace qor_webview::protocol;

std::string html_of(std::size_t size) {
    std::string html;
    while (html.size() < size) html += "<div class='entry'><p>Some text of a log entry, 42 &amp; more.</p></div>";
    html.resize(size);
    return html;
}

void parse_render_log(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::string line =
        R"({"type":"render_log","html":")" + html_of(size) + R"(","width":800,"scale":2})";
    for (auto _ : state) {
        auto request = parse_request(line);
        if (!request) throw std::runtime_error(request.error().message);
        benchmark::DoNotOptimize(request);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(line.size()));
}
BENCHMARK(parse_render_log)->Arg(1 << 20)->Arg(20 << 20)->Unit(benchmark::kMillisecond);

void write_image(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> png(size / 4 * 3);
    for (std::size_t i = 0; i < png.size(); ++i) png[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    const Response answer = Image{encode_png(png)};
    const std::size_t line_size = std::get<Image>(answer).png.size() + 26;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    std::atomic<std::uint64_t> drained{0};
    std::thread reader([&] {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t n = ::read(fds[0], buffer.data(), buffer.size());
            if (n <= 0) break;
            drained.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        }
    });
    for (auto _ : state) {
        const auto result = write_answer(fds[1], answer);
        if (!result) throw std::runtime_error(result.error().text());
    }
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    if (drained != state.iterations() * line_size) throw std::runtime_error("lost bytes");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(line_size));
}
BENCHMARK(write_image)->Arg(10 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void encode_base64(benchmark::State& state) {
    std::vector<std::uint8_t> png(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < png.size(); ++i) png[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    for (auto _ : state) benchmark::DoNotOptimize(encode_png(png));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(encode_base64)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
