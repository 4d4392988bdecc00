#include "cache.hpp"

#include <cstdio>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace skiffer {
namespace {

using test::read_file;
using test::read_stream;
using test::scratch_directory;
using test::write_file;

constexpr std::time_t now = 1'800'000'000;

TEST(feed_cache, retry_after_in_both_forms_within_a_day) {
    struct {
        const char *text;
        std::optional<std::time_t> until;
    } cases[] = {
        {"120", now + 120},
        {"0", std::nullopt},
        {"86400", now + 86400},
        {"86401", now + 86400},
        {"99999999999999999999999", now + 86400},
        {"-5", std::nullopt},
        {"12 ", std::nullopt}, // the transfer trims; anything else is not a number
        {"", std::nullopt},
        {"soon", std::nullopt},
        // 2027-01-15 08:00:00 UTC, 1800000000 + 3600 in the three forms of
        // HTTP dates.
        {"Fri, 15 Jan 2027 09:00:00 GMT", now + 3600},
        {"Friday, 15-Jan-27 09:00:00 GMT", now + 3600},
        {"Fri Jan 15 09:00:00 2027", now + 3600},
        {"Fri, 15 Jan 2027 08:00:00 GMT", std::nullopt},
        {"Sat, 01 Jan 2000 10:00:00 GMT", std::nullopt},
        {"Sat, 01 Jan 2100 10:00:00 GMT", now + 86400},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(retry_after_time(c.text, now), c.until);
    }
}

TEST(feed_cache, an_entry_reads_back_as_it_was_stored) {
    scratch_directory scratch;
    const std::string feed = scratch / "feed.xml";
    write_file(feed, std::string(5000, 'x') + "<rss/>");
    feed_cache_entry entry;
    entry.url = "http://example.org/feed";
    entry.etag = "W/\"a b\"";
    entry.stored = now;
    entry.not_before = now + 60;
    entry.compressed_body.emplace();
    ASSERT_TRUE(feed_cache_compress_file(feed, *entry.compressed_body));
    EXPECT_LT(entry.compressed_body->size(), 100u);

    // The directory is made on the way.
    const std::string path = feed_cache_path(scratch / "cache/skiffer", "pod");
    ASSERT_TRUE(feed_cache_store(path, entry, false));
    std::string why;
    std::optional<feed_cache_entry> read = feed_cache_load(path, why);
    ASSERT_TRUE(read) << why;
    EXPECT_EQ(read->url, entry.url);
    EXPECT_EQ(read->etag, entry.etag);
    EXPECT_EQ(read->last_modified, std::nullopt);
    EXPECT_EQ(read->stored, entry.stored);
    EXPECT_EQ(read->not_before, entry.not_before);
    EXPECT_EQ(read->compressed_body, entry.compressed_body);
    EXPECT_TRUE(feed_cache_is_fresh(*read, now + 86399));
    EXPECT_FALSE(feed_cache_is_fresh(*read, now + 86400));
    EXPECT_FALSE(feed_cache_is_fresh(*read, now - 1));

    FILE *out = std::tmpfile();
    EXPECT_EQ(feed_cache_decompress(out, *read->compressed_body, 1 << 20), 0);
    EXPECT_EQ(read_stream(out), *read_file(feed));
    // A body larger than the limit is refused.
    EXPECT_EQ(feed_cache_decompress(out, *read->compressed_body, 5000), -1);
    std::fclose(out);

    // A value that cannot be sent back in a header is never stored.
    entry.etag = "a\r\nInjected: yes";
    EXPECT_FALSE(feed_cache_store(path, entry, false));
    EXPECT_TRUE(feed_cache_load(path, why));
    EXPECT_EQ(feed_cache_load(scratch / "none.feed", why), std::nullopt);
    EXPECT_EQ(why, "");
}

TEST(feed_cache, only_entries_of_the_exact_form_are_read) {
    scratch_directory scratch;
    const std::string head = "skiffer feed cache 1\nurl http://h/f\n";
    struct {
        const char *name;
        std::string text;
        bool read;
    } cases[] = {
        {"a wait alone", head + "not-before 5\n\n", true},
        {"a body", head + "etag e\nstored 5\nbody 3\n\nabc", true},
        {"a body without validators", head + "stored 5\nbody 3\n\nabc", false},
        {"a body without its time", head + "etag e\nbody 3\n\nabc", false},
        {"validators without a body", head + "etag e\nnot-before 5\n\n", false},
        {"nothing at all", head + "\n", false},
        {"body too long", head + "etag e\nstored 5\nbody 3\n\nabcd", false},
        {"body too short", head + "etag e\nstored 5\nbody 3\n\nab", false},
        {"lines out of order", head + "stored 5\netag e\nbody 3\n\nabc", false},
        {"a leading zero", head + "not-before 05\n\n", false},
        {"no blank line", head + "not-before 5\n", false},
        {"another version", "skiffer feed cache 2\nurl http://h/f\nnot-before 5\n\n", false},
        {"carriage returns", "skiffer feed cache 1\r\nurl http://h/f\r\nnot-before 5\r\n\r\n",
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch / "entry.feed";
        write_file(path, c.text);
        std::string why;
        EXPECT_EQ(feed_cache_load(path, why).has_value(), c.read) << why;
        EXPECT_EQ(why.empty(), c.read);
    }
}

} // namespace
} // namespace skiffer
