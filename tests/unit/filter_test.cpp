#include <string>

#include <gtest/gtest.h>

#include "filter.hpp"
#include "test_support.hpp"

namespace skiffer {
namespace {

using test::fd_capture;

bool matches(const char *pattern, int caseless, const std::string &url) {
    auto filter = enclosure_filter_new(pattern, caseless);
    feed_enclosure enclosure{url, 0, std::nullopt};
    return _enclosure_pattern_match(filter.get(), &enclosure);
}

TEST(enclosure_filter, new_copies_pattern_and_flag) {
    std::string pattern = "mp3$";
    auto filter = enclosure_filter_new(pattern.c_str(), 1);
    pattern[0] = 'X';
    EXPECT_EQ(filter->pattern, "mp3$");
    EXPECT_EQ(filter->caseless, 1);
}

TEST(enclosure_filter, matches_anywhere_in_the_whole_url) {
    struct match_case {
        const char *pattern;
        int caseless;
        const char *url;
        bool expected;
    };
    const match_case cases[] = {
        {"mp3", 0, "http://example.com/show.mp3", true},
        {"mp3", 0, "http://example.com/get.php?format=mp3", true},
        {"mp3", 0, "http://example.com/show.ogg", false},
        {"\\.mp3$", 0, "http://example.com/show.mp3", true},
        {"\\.mp3$", 0, "http://example.com/show.mp3?src=rss", false},
        {"t=10$", 0, "http://example.com/show.mp3#t=10", true},
        {"^show", 0, "http://example.com/show.mp3", false},
        {"mp3", 0, "http://example.com/SHOW.MP3", false},
        {"mp3", 1, "http://example.com/SHOW.MP3", true},
        {"", 0, "http://example.com/anything", true},
        {"", 0, "", true},
        {"\xc3\xa9pisode", 0, "http://example.com/\xc3\xa9pisode.mp3", true},
    };
    for (const match_case &c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " on " + c.url);
        EXPECT_EQ(matches(c.pattern, c.caseless, c.url), c.expected);
    }
}

TEST(enclosure_filter, bad_pattern_is_reported_at_every_test) {
    auto filter = enclosure_filter_new("(mp3", 0);
    feed_enclosure enclosure{std::string("http://example.com/a.mp3"), 0, std::nullopt};
    fd_capture capture(2);
    EXPECT_FALSE(_enclosure_pattern_match(filter.get(), &enclosure));
    EXPECT_FALSE(_enclosure_pattern_match(filter.get(), &enclosure));
    std::string text = capture.finish();

    const std::string prefix = "Error compiling regular expression (mp3: ";
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    std::string::size_type first_end = text.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    std::string line = text.substr(0, first_end + 1);
    EXPECT_GT(line.size(), prefix.size() + 1) << "the library's message is missing";
    EXPECT_EQ(text, line + line);
}

TEST(enclosure_filter_death_test, preconditions) {
    feed_enclosure enclosure{std::string("http://example.com/a.mp3"), 0, std::nullopt};
    feed_enclosure no_url{std::nullopt, 0, std::nullopt};
    auto filter = enclosure_filter_new("mp3", 0);
    EXPECT_DEATH(enclosure_filter_new(nullptr, 0),
                 "filter\\.cpp:[0-9]+:enclosure_filter_new: assertion failed: \\(pattern\\)");
    EXPECT_DEATH(_enclosure_pattern_match(nullptr, nullptr),
                 "_enclosure_pattern_match: assertion failed: \\(filter->pattern\\)");
    EXPECT_DEATH(_enclosure_pattern_match(filter.get(), nullptr),
                 "_enclosure_pattern_match: assertion failed: \\(enclosure\\)");
    EXPECT_DEATH(_enclosure_pattern_match(filter.get(), &no_url),
                 "_enclosure_pattern_match: assertion failed: \\(enclosure\\)");
}

} // namespace
} // namespace skiffer
