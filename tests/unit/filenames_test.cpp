#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "feed.hpp"
#include "filenames.hpp"
#include "test_support.hpp"

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
        // Nothing in front of the query: a name made from the URL.
        {"http://example.com/shows/?id=7", "/spool/enclosure-96592f93d7fe"},
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
    item.title = "a..b";
    EXPECT_EQ(enclosure_file_name("/spool", "%(title)", {}, item), "/spool/a..b");
}

TEST(enclosure_file_name, removes_control_characters_from_titles_and_urls) {
    struct control_case {
        std::string text;
        std::string expected;
    };
    const control_case cases[] = {
        {"\x1b[31mred\x1b[0m", "[31mred[0m"},
        {"a\x01"
         "b\x1f"
         "c\x7f"
         "d",
         "abcd"},
        // C1 controls go whole; their neighbours in UTF-8 stay whole too.
        {"\xc2\x9b"
         "2J\xc2\x85x\xc2\x80\xc2\x9f",
         "2Jx"},
        {"\xc2\xa0\xc3\x80\xc2\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xa7",
         "\xc2\xa0\xc3\x80\xc2\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xa7"},
        // A 0xc2 that does not lead a C1 control is kept, as any other byte.
        {"\xc2"
         "A\x85",
         "\xc2"
         "A\x85"},
    };
    for (const control_case &c : cases) {
        SCOPED_TRACE(c.text);
        feed_item item = item_with_url("http://example.com/" + c.text + ".mp3");
        item.title = c.text;
        EXPECT_EQ(enclosure_file_name("/spool", "%(title)", {}, item), "/spool/" + c.expected);
        EXPECT_EQ(enclosure_file_name("/spool", std::nullopt, {}, item),
                  "/spool/" + c.expected + ".mp3");
    }
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
    EXPECT_EQ(expand_filename_pattern("%(title)", {}, item), "");
}

// Names that would be the spool directory or its parent, or nothing at all,
// are replaced by "enclosure-", 12 hexadecimal digits of the URL's SHA-256
// and the extension of a common type; every other name stays as it was.
TEST(enclosure_file_name, names_that_are_no_file_names_come_from_the_url) {
    struct name_case {
        const char *what;
        std::optional<std::string> pattern;
        std::optional<std::string> title;
        const char *url;
        std::optional<std::string> type;
        const char *expected;
    };
    const char *dl7 = "https://host/dl/?id=7";
    const name_case cases[] = {
        {"empty from the URL", std::nullopt, std::nullopt, dl7, "audio/mpeg",
         "/spool/enclosure-7d820187c708.mp3"},
        {"another URL, another name", std::nullopt, std::nullopt, "https://host/dl/?id=8",
         "audio/mpeg", "/spool/enclosure-f88811b4b17d.mp3"},
        {"a dot from the URL", std::nullopt, std::nullopt, "http://example.com/.", std::nullopt,
         "/spool/enclosure-96759e3f547d"},
        {"only refused characters", std::nullopt, std::nullopt, "http://example.com/*:|",
         "video/mp4", "/spool/enclosure-5d0c37511b58.mp4"},
        {"an empty pattern", "", "Title", dl7, "audio/x-m4a", "/spool/enclosure-7d820187c708.m4a"},
        {"a title of one dot", "%(title)", ".", dl7, "Audio/MPEG; charset=binary",
         "/spool/enclosure-7d820187c708.mp3"},
        {"a title of two dots", "%(title)", "..", dl7, "  audio/ogg ",
         "/spool/enclosure-7d820187c708.ogg"},
        {"a title that cleans to two dots", "%(title)", ".?.", dl7, "audio/opus",
         "/spool/enclosure-7d820187c708.opus"},
        {"a missing title", "%(title)", std::nullopt, dl7, "video/quicktime",
         "/spool/enclosure-7d820187c708.mov"},
        {"a type that is not audio or video", "%(title)", "", dl7, "application/pdf",
         "/spool/enclosure-7d820187c708"},
        // Names that are file names, however odd, stay as they are.
        {"three dots", "%(title)", "...", dl7, "audio/mpeg", "/spool/..."},
        {"an extension only", "%(date).mp3", "t", dl7, "audio/mpeg", "/spool/.mp3"},
        {"a space", "%(title)", " ", dl7, "audio/mpeg", "/spool/ "},
    };
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.what);
        feed_item item = item_with_url(c.url);
        item.enclosure->type = c.type;
        item.title = c.title;
        EXPECT_EQ(enclosure_file_name("/spool", c.pattern, {}, item), c.expected);
    }
}

// A name longer than the file system takes is cut to its limit at a
// character boundary, its extension kept; the file can then be made.
TEST(enclosure_file_name, long_names_are_shortened_to_fit_the_file_system) {
    test::scratch_directory spool;
    const long limit = pathconf(spool.path().c_str(), _PC_NAME_MAX);
    ASSERT_GT(limit, 20);
    const size_t max = static_cast<size_t>(limit);
    const std::string e_acute = "\xc3\xa9";
    std::string two_byte_title;
    for (size_t i = 0; i < 3000; ++i)
        two_byte_title += e_acute;

    struct long_case {
        const char *what;
        std::string title;
        const char *pattern;
        std::string expected_name;
    };
    const long_case cases[] = {
        {"just fits", std::string(max - 4, 'a'), "%(title).mp3",
         std::string(max - 4, 'a') + ".mp3"},
        {"one byte over", std::string(max - 3, 'a'), "%(title).mp3",
         std::string(max - 4, 'a') + ".mp3"},
        {"5,000 characters", std::string(5000, 'a'), "%(title).mp3",
         std::string(max - 4, 'a') + ".mp3"},
        // 2-byte characters: an odd number of bytes left for the stem would
        // split one, so the stem takes one byte less.
        {"two-byte characters", two_byte_title, "%(title).mp3",
         two_byte_title.substr(0, (max - 4) / 2 * 2) + ".mp3"},
        {"no extension", std::string(5000, 'b'), "%(title)", std::string(max, 'b')},
        // A dot far from the end starts no extension.
        {"an early dot", "Dr. " + std::string(5000, 'c'), "%(title)",
         "Dr. " + std::string(max - 4, 'c')},
    };
    for (const long_case &c : cases) {
        SCOPED_TRACE(c.what);
        feed_item item = item_with_url("http://example.com/ep.mp3");
        item.title = c.title;
        const std::string path = enclosure_file_name(spool.path(), c.pattern, {}, item);
        EXPECT_EQ(path, spool.path() + "/" + c.expected_name);
        EXPECT_TRUE(g_utf8_validate(path.c_str(), -1, nullptr));
        FILE *file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr) << std::strerror(errno);
        if (file)
            std::fclose(file);
    }
}

} // namespace
} // namespace skiffer
