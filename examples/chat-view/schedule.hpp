// Which entries the view asks the pool for, and which it lets go. Pure
// arithmetic over the rows' heights, apart from GTK so that it can be tested.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace chat_view {

// How far around the visible rows the view looks, in screens.
struct Reach {
    double ahead = 3;   // rendered in the direction of scrolling
    double behind = 1;  // rendered on the other side
    double keep = 2;    // beyond both: requests and pictures kept, nothing new asked
};

struct Plan {
    // The entries to have rendered, best first: the visible ones top to
    // bottom, then those ahead nearest first, then those behind nearest first.
    std::vector<std::size_t> order;
    std::size_t visible = 0;  // the first `visible` of `order` are on screen
    // Entries outside [keep_first, keep_last) are far away: their requests
    // are cancelled and their pictures dropped.
    std::size_t keep_first = 0;
    std::size_t keep_last = 0;
};

// `heights`: every entry's height as laid out now (rendered, or its
// placeholder's); [first, last): the entries on screen; `screen`: the
// viewport's height; `upward`: the direction of the last scroll.
Plan plan(std::span<const double> heights, std::size_t first, std::size_t last, double screen, bool upward,
          Reach reach = {});

}  // namespace chat_view
