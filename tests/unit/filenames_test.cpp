#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "feed.hpp"
#include "filenames.hpp"

namespace skiffer {
namespace {

feed_item item_with_url(const std::string &url) {
    feed_item item;
    item.enclosure = feed_enclosure{url, 0, std::nullopt};
    return item;
}

TEST(enclosure_file_name, name_from_url) {
    struct url_case {
        const char *url;
        const char *expected;
    };
    const url_case cases[] = {
        {"http://example.com/media/show-12.mp3?src=rss#t=10", "/spool/show-12.mp3"},
        {"http://example.com/media/show-12.mp3#t=1?x", "/spool/show-12.mp3"},
        // The last '/' lies inside the query, so it decides the component.
        {"http://example.com/get.php?file=/shows/ep1.mp3", "/spool/ep1.mp3"},
        // Nothing in front of the query: the spool directory itself.
        {"http://example.com/shows/?id=7", "/spool"},
        // Escapes are not decoded; the '%' alone goes.
        {"http://example.com/my%20show.mp3", "/spool/my20show.mp3"},
        {"http://example.com/a:b,c'd.mp3", "/spool/abcd.mp3"},
        // Trailing slashes are passed over before the last component is taken.
        {"http://example.com/shows/ep2.mp3//", "/spool/ep2.mp3"},
    };
    for (const url_case &c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(enclosure_file_name("/spool", std::nullopt, {}, item_with_url(c.url)),
                  c.expected);
    }
}

TEST(enclosure_file_name, joins_with_one_separator) {
    feed_item item = item_with_url("http://example.com/ep.mp3");
    EXPECT_EQ(enclosure_file_name("/var/spool///", std::nullopt, {}, item), "/var/spool/ep.mp3");
    EXPECT_EQ(enclosure_file_name("spool", std::nullopt, {}, item), "spool/ep.mp3");
}

TEST(enclosure_file_name, pattern_is_expanded_then_cleaned) {
    channel_info channel;
    channel.title = "Talk: Weekly";
    feed_item item = item_with_url("http://example.com/ep.mp3");
    item.title = "Part 1, the start";
    item.pubDate = "Sat, 10 Jun 2000 04:00:00 GMT";
    const std::string pattern = "%(channel_title) - %(date) - %(title).mp3";

    EXPECT_EQ(expand_filename_pattern(pattern, channel, item),
              "Talk: Weekly - 2000-06-10 - Part 1, the start.mp3");
    EXPECT_EQ(enclosure_file_name("/spool", pattern, channel, item),
              "/spool/Talk Weekly - 2000-06-10 - Part 1 the start.mp3");
    // A '/' in the pattern makes no subdirectory.
    EXPECT_EQ(enclosure_file_name("/spool", "%(channel_title)/%(title).mp3", channel, item),
              "/spool/Talk WeeklyPart 1 the start.mp3");
}

TEST(enclosure_file_name, removes_exactly_the_refused_characters) {
    feed_item item;
    item.title = "a/b\\c?d%e*f:g|h\"i<j>k,l'm\nn\to\rp";
    EXPECT_EQ(enclosure_file_name("/spool", "%(title)", {}, item), "/spool/abcdefghijklmnop");
    item.title = "x.y (z) - \xc3\xa9~!";
    EXPECT_EQ(enclosure_file_name("/spool", "%(title)", {}, item), "/spool/x.y (z) - \xc3\xa9~!");
    item.title = "..";
    EXPECT_EQ(enclosure_file_name("/spool", "%(title)", {}, item), "/spool/..");
}

TEST(expand_filename_pattern, directives) {
    channel_info channel;
    channel.title = "Chan";
    feed_item item;
    item.title = "Ep";
    item.pubDate = "10 Jun 2000";

    struct pattern_case {
        std::string pattern;
        const char *expected;
    };
    const std::string long_name(100, 'x');
    const pattern_case cases[] = {
        {"plain (text).mp3", "plain (text).mp3"},
        {"%(TITLE)|%(Title)|%title)|%((title)|%ti(tle)", "Ep|Ep|Ep|Ep|Ep"},
        {"%(DaTe)", "2000-06-10"},
        {"%(channel_title)", "Chan"},
        // A directive without ')' runs to the end of the pattern.
        {"a %(title", "a Ep"},
        {"a %", "a "},
        {"a %) b", "a  b"},
        {"100%% sure", "100"},
        {"%()x%(unknown)y", "xy"},
        {"%(" + long_name + ")after", "after"},
        {"%(" + long_name + "title)after", "after"},
        // Values are inserted unchanged; cleaning comes later.
        {"%(title)%(title)", "EpEp"},
    };
    for (const pattern_case &c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(expand_filename_pattern(c.pattern, channel, item), c.expected);
    }
}

TEST(expand_filename_pattern, missing_values_add_nothing) {
    feed_item item;
    EXPECT_EQ(expand_filename_pattern("[%(title)][%(channel_title)][%(date)]", {}, item), "[][][]");
    item.pubDate = "Saturday, 10 Jun 2000";
    EXPECT_EQ(expand_filename_pattern("%(date).mp3", {}, item), ".mp3");
    // An empty title is a value too, and adds nothing either.
    item.title = "";
    EXPECT_EQ(enclosure_file_name("/spool", "%(title)", {}, item), "/spool");
}

} // namespace
} // namespace skiffer
