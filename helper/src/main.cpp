// The helper process: standard streams become the protocol's channels, GTK
// starts, `ready` is announced, and serve runs on the main loop until the
// requests end.
#include <fcntl.h>
#include <gtk/gtk.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "log.hpp"
#include "owners.hpp"
#include "qor_webview/protocol.hpp"
#include "reader.hpp"
#include "render.hpp"
#include "runtime.hpp"

namespace {

namespace protocol = qor_webview::protocol;
using namespace qor_webview_helper;
using qor_webview::detail::Fd;

// Descriptors 0 to 2 always exist, so that nothing the helper opens can take
// their numbers; a write to a closed pipe fails with EPIPE instead of killing.
void normalise_environment() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            Fd opened(open("/dev/null", O_RDWR));
            if (opened.get() == fd) {
                opened.release();  // it is the missing descriptor itself
            } else if (opened) {
                dup2(opened.get(), fd);
            }
        }
    }
    signal(SIGPIPE, SIG_IGN);
}

void quit_loop(void* loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); }

// How long an exit waits for the last of what the libraries printed; WebKit's
// processes, which end on their own after the helper, may hold the pipe
// open longer, and what they print then is lost.
constexpr std::chrono::milliseconds kRelayWait{250};

}  // namespace

int main(int argc, char** argv) {
    normalise_environment();
    // Pictures come and go in buffers of megabytes. With fixed thresholds
    // glibc maps each such buffer on its own and unmaps it when freed, and
    // gives back the top of the heap; its adaptive default would keep them
    // in the heap, and the process, at the size of the largest picture.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);

    const char* filter = std::getenv("RUST_LOG");
    if (!log::install(log::Filter::from_env(filter ? std::optional<std::string_view>(filter) : std::nullopt))) {
        static constexpr char message[] = "Unable to install global subscriber: a log is already installed\n";
        (void)!write(2, message, sizeof message - 1);
        return 101;
    }

    Fd answers(fcntl(1, F_DUPFD_CLOEXEC, 3));
    if (!answers || dup2(2, 1) < 0) {
        int code = errno;
        answers.reset();
        QOR_LOG(log::Level::Error, "qor_webview_helper", "failed to set up the answers pipe: ",
                protocol::os_error_text(code));
        return 1;
    }

    // From here on what the libraries print goes through the log's writer
    // too; without the relay it goes to standard error as it is.
    (void)log::relay_standard_error();

    // Should anything ever draw an offscreen window, it draws into memory of
    // this process, not into X server pixmaps fed through a shared memory
    // segment that kept a copy of the largest picture for good. A parent's
    // own choice stays.
    setenv("GDK_RENDERING", "image", 0);

    // GTK sees the program name and nothing else.
    char* gtk_argv_storage[2] = {argc > 0 ? argv[0] : nullptr, nullptr};
    int gtk_argc = argc > 0 ? 1 : 0;
    char** gtk_argv = gtk_argv_storage;
    const char* gtk_failure = nullptr;
    if (!gtk_init_check(&gtk_argc, &gtk_argv)) {
        gtk_failure = "Failed to initialize GTK";
    } else if (!g_main_context_acquire(g_main_context_default())) {
        gtk_failure = "Failed to acquire default main context";
    }
    if (gtk_failure) {
        protocol::Response failed = protocol::Failed{
            protocol::Failure{protocol::FailureKind::Start, std::string("failed to start gtk: ") + gtk_failure}};
        (void)protocol::write_answer(answers.get(), failed);
        log::finish_relay(kRelayWait);
        return 1;
    }
    if (!protocol::write_answer(answers.get(), protocol::Ready{})) {
        log::finish_relay(kRelayWait);
        return 1;
    }

    auto [sender, receiver] = make_queue();
    // If the thread cannot start, the sender goes with it and serve finds the
    // queue closed at once.
    start_reader(std::move(sender));

    {
        auto context = GRef<GMainContext>::ref(g_main_context_default());
        auto loop = GRef<GMainLoop>::adopt(g_main_loop_new(context.get(), FALSE));
        rt::Driver driver(serve(answers.get(), std::move(receiver)), quit_loop, loop.get());
        g_main_loop_run(loop.get());
    }
    log::finish_relay(kRelayWait);
    return 0;
}
