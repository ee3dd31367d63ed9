// Where the network policy goes: after what must stay first for the page
// to keep its mode, before anything that could load.
#include <gtest/gtest.h>

#include "offline.hpp"

namespace qor_webview::detail {
namespace {

// The HTML with the policy shown as "[P]".
std::string placed(std::string_view html) {
    std::string out(html);
    out.insert(policy_position(html), "[P]");
    return out;
}

TEST(OfflinePolicy, GoesAfterTheDoctypeAndWhatMayPrecedeIt) {
    EXPECT_EQ(placed("<!DOCTYPE html><p>x"), "<!DOCTYPE html>[P]<p>x");
    EXPECT_EQ(placed("\xEF\xBB\xBF  <!-- a --> \n<!doctype HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n<html>"),
              "\xEF\xBB\xBF  <!-- a --> \n<!doctype HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n[P]<html>");
    EXPECT_EQ(placed("<?xml version=\"1.0\"?><!--x--!><!DOCTYPE html><!----><!-->  <head>"),
              "<?xml version=\"1.0\"?><!--x--!><!DOCTYPE html><!----><!-->  [P]<head>");
}

TEST(OfflinePolicy, GoesFirstWithoutADoctype) {
    EXPECT_EQ(placed("<img src=\"https://t.example/p.png\">"), "[P]<img src=\"https://t.example/p.png\">");
    EXPECT_EQ(placed(""), "[P]");
    EXPECT_EQ(placed("text <!DOCTYPE html>"), "[P]text <!DOCTYPE html>");
    // A doctype later than the first comment's end is still the doctype.
    EXPECT_EQ(placed("<!-- <!DOCTYPE html> --><img>"), "<!-- <!DOCTYPE html> -->[P]<img>");
}

TEST(OfflinePolicy, StaysMarkupWhenACommentOrDoctypeRunsToTheEnd) {
    // Inside them it would be text, and an unterminated comment holds
    // everything after it anyway.
    EXPECT_EQ(placed("<!DOCTYPE html><!-- open <img src=x>"), "<!DOCTYPE html>[P]<!-- open <img src=x>");
    EXPECT_EQ(placed("<!DOCTYPE html"), "[P]<!DOCTYPE html");
}

TEST(OfflinePolicy, OnlyRenderRequestsGetIt) {
    protocol::Request log = protocol::RenderLog{"<p>x", 600, 1};
    restrict_network(log, false);
    EXPECT_EQ(std::get<protocol::RenderLog>(log).html, std::string(offline_meta()) + "<p>x");
    protocol::Request allowed = protocol::RenderImage{"<p>x", 1};
    restrict_network(allowed, true);
    EXPECT_EQ(std::get<protocol::RenderImage>(allowed).html, "<p>x");
    protocol::Request evaluate = protocol::Evaluate{{"1"}, "2"};
    restrict_network(evaluate, false);
    EXPECT_EQ(std::get<protocol::Evaluate>(evaluate).scripts.at(0), "1");
}

}  // namespace
}  // namespace qor_webview::detail
