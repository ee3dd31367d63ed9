// Time limits of the end-to-end tests, and the steady clock they run on.
#pragma once

#include <algorithm>
#include <chrono>

namespace qor_webview::e2e {

using Duration = std::chrono::milliseconds;

namespace detail {

using Clock = std::chrono::steady_clock;

// What is left of `deadline`, as poll(2) takes it: never negative.
inline int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

}  // namespace detail
}  // namespace qor_webview::e2e
