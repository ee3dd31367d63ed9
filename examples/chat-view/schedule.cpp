#include "schedule.hpp"

#include <algorithm>

namespace chat_view {

Plan plan(std::span<const double> heights, std::size_t first, std::size_t last, double screen, bool upward,
          Reach reach) {
    const std::size_t n = heights.size();
    last = std::min(last, n);
    first = std::min(first, last);
    // One past the last entry below the visible ones within `screens`, and
    // the first entry above them within `screens`.
    const auto below = [&](double screens) {
        std::size_t i = last;
        for (double h = 0; i < n && h < screens * screen; ++i) h += heights[i];
        return i;
    };
    const auto above = [&](double screens) {
        std::size_t i = first;
        for (double h = 0; i > 0 && h < screens * screen;) h += heights[--i];
        return i;
    };
    const double down = upward ? reach.behind : reach.ahead;
    const double up = upward ? reach.ahead : reach.behind;

    Plan p;
    for (std::size_t i = first; i < last; ++i) p.order.push_back(i);
    p.visible = p.order.size();
    const auto take_below = [&, end = below(down)] {
        for (std::size_t i = last; i < end; ++i) p.order.push_back(i);
    };
    const auto take_above = [&, begin = above(up)] {
        for (std::size_t i = first; i-- > begin;) p.order.push_back(i);
    };
    if (upward) {
        take_above();
        take_below();
    } else {
        take_below();
        take_above();
    }
    p.keep_first = above(up + reach.keep);
    p.keep_last = below(down + reach.keep);
    return p;
}

}  // namespace chat_view
