#include "configuration.hpp"

#include <gtest/gtest.h>

#include "common.hpp"
#include "test_support.hpp"

namespace skiffer {
namespace {

using test::fd_capture;
using test::load_key_file;

TEST(channel_configuration_new, completes_every_field_from_the_defaults_on_its_own) {
    auto kf = load_key_file("[*]\n"
                            "url=default-url\nspool=default-spool\nfilename=%(title).mp3\n"
                            "playlist=list.m3u\nartist_tag=Artist\ntitle_tag=Title\n"
                            "album_tag=Album\ngenre_tag=Genre\nyear_tag=2001\n"
                            "comment_tag=Comment\nfilter=mp3$\n"
                            "[chan]\nurl=own-url\nalbum_tag=\nyear_tag=1999\n");
    channel_configuration defaults = channel_configuration_new(kf.get(), "*", nullptr);
    EXPECT_EQ(defaults.identifier, "*");

    channel_configuration c = channel_configuration_new(kf.get(), "chan", &defaults);
    EXPECT_EQ(c.identifier, "chan");
    EXPECT_EQ(c.url, "own-url");
    EXPECT_EQ(c.spool, "default-spool");
    EXPECT_EQ(c.filename, "%(title).mp3");
    EXPECT_EQ(c.playlist, "list.m3u");
    EXPECT_EQ(c.artist_tag, "Artist");
    EXPECT_EQ(c.title_tag, "Title");
    EXPECT_EQ(c.album_tag, ""); // set empty by the channel: kept, not defaulted
    EXPECT_EQ(c.genre_tag, "Genre");
    EXPECT_EQ(c.year_tag, "1999");
    EXPECT_EQ(c.comment_tag, "Comment");
    EXPECT_EQ(c.filter, "mp3$");
}

TEST(channel_configuration_new, leaves_unset_fields_none_without_defaults) {
    auto kf = load_key_file("[chan]\nspool=~/podcasts\\n\nplaylist=\n");
    channel_configuration c = channel_configuration_new(kf.get(), "chan", nullptr);
    EXPECT_EQ(c.url, std::nullopt);
    // Raw values: no tilde expansion, no escape decoding, empty is not none.
    EXPECT_EQ(c.spool, "~/podcasts\\n");
    EXPECT_EQ(c.playlist, "");
    EXPECT_EQ(c.filter, std::nullopt);
}

TEST(channel_configuration_new, missing_group_stops_the_program) {
    auto kf = load_key_file("[chan]\n");
    EXPECT_DEATH(channel_configuration_new(kf.get(), "other", nullptr),
                 "channel_configuration_new: assertion failed: "
                 "\\(g_key_file_has_group\\(kf, identifier\\)\\)");
}

TEST(check_channel_keys, answers_by_the_worst_key) {
    struct {
        const char *group_text;
        int result;
    } cases[] = {
        {"[g]\n", 0},
        {"[g]\nurl=a\nid3title=b\nfilter=c\n", 0},
        {"[g]\nurl=a\nUrl=b\n", -1},
        {"[g]\nid3comment=a\nunknown=b\n", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.group_text);
        auto kf = load_key_file(c.group_text);
        fd_capture error(2);
        EXPECT_EQ(check_channel_keys(kf.get(), "g"), c.result);
        error.finish();
    }
}

TEST(check_channel_keys, missing_group_is_reported) {
    auto kf = load_key_file("[g]\n");
    fd_capture error(2);
    EXPECT_EQ(check_channel_keys(kf.get(), "absent"), -1);
    EXPECT_EQ(error.finish(), "Error reading keys in configuration of channel absent.\n");
}

// The example configuration that is installed for users: every group must
// pass the key check without a word, and every channel must be runnable.
TEST(example_configuration, every_channel_is_complete_and_valid) {
    const std::string path = std::string(SKIFFER_SOURCE_DIR) + "/doc/skifferrc.example";
    key_file_ptr kf{g_key_file_new()};
    ASSERT_TRUE(g_key_file_load_from_file(kf.get(), path.c_str(), G_KEY_FILE_NONE, nullptr));
    ASSERT_TRUE(g_key_file_has_group(kf.get(), "*"));
    fd_capture err(2);
    channel_configuration defaults = channel_configuration_new(kf.get(), "*", nullptr);
    strv_ptr groups{g_key_file_get_groups(kf.get(), nullptr)};
    int channels = 0;
    for (gchar **group = groups.get(); *group; ++group) {
        SCOPED_TRACE(*group);
        EXPECT_EQ(check_channel_keys(kf.get(), *group), 0);
        if (std::string(*group) == "*")
            continue;
        ++channels;
        channel_configuration c = channel_configuration_new(kf.get(), *group, &defaults);
        EXPECT_TRUE(c.url.has_value());
        EXPECT_TRUE(c.spool.has_value());
    }
    EXPECT_GE(channels, 3);
    EXPECT_EQ(err.finish(), "");
}

} // namespace
} // namespace skiffer
