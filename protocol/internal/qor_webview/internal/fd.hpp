// A file descriptor owned by one object and closed once. Header-only, as the
// library, the helper and the renderer each compile their own copy.
#pragma once

#include <unistd.h>

#include <utility>

namespace qor_webview::detail {

class Fd {
public:
    Fd() = default;
    // Adopts `fd`; a negative number (a failed open, say) gives an empty owner.
    explicit Fd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept {
        // Linux releases the descriptor even when close reports EINTR, so it
        // is never retried.
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

}  // namespace qor_webview::detail
