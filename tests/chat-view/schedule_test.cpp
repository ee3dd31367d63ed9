// The chat view's choice of entries: what is asked for first, what is let go.
#include <gtest/gtest.h>

#include <vector>

#include "schedule.hpp"

namespace {

using Order = std::vector<std::size_t>;

TEST(ChatViewSchedule, VisibleFirstThenAheadInTheScrollDirectionThenBehind) {
    const std::vector<double> heights(40, 100);  // screens of 300: three entries each
    const auto down = chat_view::plan(heights, 10, 13, 300, false, {.ahead = 2, .behind = 1, .keep = 1});
    EXPECT_EQ(down.visible, 3u);
    EXPECT_EQ(down.order, (Order{10, 11, 12, 13, 14, 15, 16, 17, 18, 9, 8, 7}));
    EXPECT_EQ(down.keep_first, 4u);  // two screens above
    EXPECT_EQ(down.keep_last, 22u);  // three screens below

    const auto up = chat_view::plan(heights, 10, 13, 300, true, {.ahead = 2, .behind = 1, .keep = 1});
    EXPECT_EQ(up.order, (Order{10, 11, 12, 9, 8, 7, 6, 5, 4, 13, 14, 15}));
    EXPECT_EQ(up.keep_first, 1u);
    EXPECT_EQ(up.keep_last, 19u);
}

TEST(ChatViewSchedule, ScreensAreCountedInHeightsNotEntries) {
    // One tall entry below fills the screen ahead on its own; the short ones
    // above take many to fill one.
    const std::vector<double> heights{50, 50, 50, 50, 50, 50, 50, 400, 100, 100};
    const auto p = chat_view::plan(heights, 6, 7, 200, false, {.ahead = 1, .behind = 1, .keep = 0});
    EXPECT_EQ(p.order, (Order{6, 7, 5, 4, 3, 2}));
    EXPECT_EQ(p.keep_first, 2u);
    EXPECT_EQ(p.keep_last, 8u);
}

TEST(ChatViewSchedule, EdgesOfTheTimeline) {
    const std::vector<double> heights(6, 100);
    // At the end nothing lies ahead; the rest goes behind.
    const auto end = chat_view::plan(heights, 4, 6, 200, false, {.ahead = 3, .behind = 1, .keep = 5});
    EXPECT_EQ(end.order, (Order{4, 5, 3, 2}));
    EXPECT_EQ(end.keep_first, 0u);
    EXPECT_EQ(end.keep_last, 6u);
    // A range past the end is cut to the entries there are.
    const auto past = chat_view::plan(heights, 5, 99, 200, false, {.ahead = 1, .behind = 0, .keep = 0});
    EXPECT_EQ(past.order, (Order{5}));
    EXPECT_EQ(past.keep_last, 6u);
    // Nothing on screen (before the first layout): ahead from the top.
    const auto none = chat_view::plan(heights, 0, 0, 200, false, {.ahead = 1, .behind = 1, .keep = 0});
    EXPECT_EQ(none.visible, 0u);
    EXPECT_EQ(none.order, (Order{0, 1}));
    // No entries at all.
    const auto empty = chat_view::plan({}, 0, 3, 200, true);
    EXPECT_TRUE(empty.order.empty());
    EXPECT_EQ(empty.keep_first, 0u);
    EXPECT_EQ(empty.keep_last, 0u);
}

}  // namespace
