// A stand-in for the helper that behaves as $QOR_FAKE_MODE says, so that the
// client's handling of start-up faults, odd answers and odd processes can
// be tested quickly and without a display. It speaks the same wire: answers
// on standard output, one line each, after a start-up answer.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

namespace {

// A 1 x 1 transparent PNG picture.
constexpr std::string_view tiny_png =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==";

void answer(std::string_view line) {
    std::cout << line << '\n' << std::flush;
}

void sleep_forever() {
    for (;;) ::pause();
}

// The field "result" of an evaluate line, taken as it stands (no escapes).
std::string result_of(const std::string& line) {
    const std::string key = "\"result\":\"";
    const auto at = line.find(key);
    if (at == std::string::npos) return {};
    const auto end = line.find('"', at + key.size());
    return line.substr(at + key.size(), end - at - key.size());
}

// Answers each request with the right kind of answer: a log with one tiny
// band, a tiny image, or the result script's own text.
void serve_well() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find("\"type\":\"render_log\"") != std::string::npos) {
            answer(R"({"type":"log","width":1.0,"height":1.0,"tiles":[{"top":0.0,"height":1.0,"png":")" +
                   std::string(tiny_png) + R"("}],"links":"[]"})");
        } else if (line.find("\"type\":\"render_image\"") != std::string::npos) {
            answer(R"({"type":"image","png":")" + std::string(tiny_png) + R"("})");
        } else {
            answer(R"({"type":"text","text":")" + result_of(line) + R"("})");
        }
    }
}

}  // namespace

int main() {
    const char* env = std::getenv("QOR_FAKE_MODE");
    const std::string_view mode = env ? env : "serve";

    if (mode == "missing-webkit") {
        std::cerr << "qor_webview_helper: error while loading shared libraries: libwebkit2gtk-4.1.so.0: "
                     "cannot open shared object file: No such file or directory\n";
        return 127;
    }
    if (mode == "exit") {
        std::cerr << "first words\n\nlast words\n";
        return 3;
    }
    if (mode == "silent") sleep_forever();
    if (mode == "not-ready") {
        answer(R"({"type":"text","text":"hello"})");
        sleep_forever();
    }
    if (mode == "chatty") {
        // Far more than a pipe holds, before and after the start-up answer;
        // the last line has no line feed.
        for (int i = 0; i < 20000; ++i) std::cerr << "before " << i << " " << std::string(60, 'x') << '\n';
        answer(R"({"type":"ready"})");
        for (int i = 0; i < 20000; ++i) std::cerr << "after " << i << '\n';
        std::cerr << "the end" << std::flush;
        serve_well();
        return 0;
    }

    answer(R"({"type":"ready"})");
    if (mode == "serve") {
        serve_well();
        return 0;
    }
    if (mode == "ignore-eof") {
        // Answers nothing and outlives the end of its input.
        signal(SIGTERM, SIG_IGN);
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        sleep_forever();
    }
    if (mode == "no-read") sleep_forever();
    if (mode == "exit-when-ready") return 0;

    std::string line;
    while (std::getline(std::cin, line)) {
        if (mode == "wrong-kind") {
            // Every answer is well formed, and of the wrong kind.
            if (line.find("\"type\":\"evaluate\"") != std::string::npos)
                answer(R"({"type":"image","png":""})");
            else
                answer(R"({"type":"text","text":"x"})");
        } else if (mode == "garbage") {
            answer(line.find("bad-base64") != std::string::npos
                       ? R"({"type":"image","png":"not base64!"})"
                       : R"({"type":"text","text":)");
        } else if (mode == "fail-each") {
            // The kind is the result script's text: load, script, snapshot or start.
            answer(R"({"type":"failed","error":{"kind":")" + result_of(line) + R"(","message":"it \"broke\""}})");
        } else if (mode == "close-answers") {
            ::close(1);
            sleep_forever();
        } else if (mode == "crash") {
            ::raise(SIGKILL);
        }
    }
    return 0;
}
