#include "reporters.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include "test_support.hpp"

namespace skiffer {
namespace {

using test::fd_capture;
using test::read_file;
using test::scratch_directory;
using test::write_file;

const std::string silence = std::string(SKIFFER_TEST_DATA) + "/silence.mp3";

// A channel "pod" with nothing else set.
channel_configuration pod_configuration() {
    channel_configuration configuration;
    configuration.identifier = "pod";
    return configuration;
}

channel_configuration configuration_with_tags() {
    channel_configuration configuration = pod_configuration();
    configuration.artist_tag = "\xc3\x84rtist"; // UTF-8 reaches the tag as it is
    configuration.title_tag = "Title";
    configuration.album_tag = "Album";
    configuration.genre_tag = "Talk";
    configuration.year_tag = "2024";
    configuration.comment_tag = "Comment";
    return configuration;
}

class tagging_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(silence, episode_);
        original_ = read_file(episode_).value_or("");
        ASSERT_FALSE(original_.empty());
    }

    scratch_directory dir_;
    std::string episode_ = dir_ / "episode.mp3";
    std::string original_;
};

TEST_F(tagging_test, writes_every_configured_tag_into_a_real_mp3) {
    fd_capture out(1);
    fd_capture err(2);
    tag_enclosure_file(configuration_with_tags(), episode_.c_str(), true);
    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(out.finish(), " * Set artist tag to \xc3\x84rtist.\n"
                            " * Set title tag to Title.\n"
                            " * Set album tag to Album.\n"
                            " * Set genre tag to Talk.\n"
                            " * Set year tag to 2024.\n"
                            " * Set comment tag to Comment.\n");

    TagLib::FileRef file(episode_.c_str());
    ASSERT_FALSE(file.isNull());
    ASSERT_NE(file.tag(), nullptr);
    const TagLib::Tag &tag = *file.tag();
    EXPECT_EQ(tag.artist().to8Bit(true), "\xc3\x84rtist");
    EXPECT_EQ(tag.title().to8Bit(true), "Title");
    EXPECT_EQ(tag.album().to8Bit(true), "Album");
    EXPECT_EQ(tag.genre().to8Bit(true), "Talk");
    EXPECT_EQ(tag.year(), 2024u);
    EXPECT_EQ(tag.comment().to8Bit(true), "Comment");
    // The audio itself is still there, between the tags.
    EXPECT_NE(read_file(episode_).value_or("").find(original_.substr(original_.size() / 2)),
              std::string::npos);
}

TEST_F(tagging_test, only_configured_fields_change_and_the_year_reads_as_a_number) {
    struct year_case {
        std::string text;
        unsigned year;
    } cases[] = {{"1999", 1999}, {" 2001xyz", 2001}, {"abc", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        channel_configuration configuration = pod_configuration();
        configuration.year_tag = c.text;
        fd_capture out(1);
        tag_enclosure_file(configuration, episode_.c_str(), true);
        // The line repeats the configured text, not the number.
        EXPECT_EQ(out.finish(), " * Set year tag to " + c.text + ".\n");
        TagLib::FileRef file(episode_.c_str());
        ASSERT_FALSE(file.isNull());
        EXPECT_EQ(file.tag()->year(), c.year);
        EXPECT_TRUE(file.tag()->artist().isEmpty());
    }
}

TEST_F(tagging_test, without_tag_settings_the_file_is_not_touched) {
    channel_configuration configuration = pod_configuration();
    configuration.playlist = dir_ / "list.m3u";
    fd_capture out(1);
    fd_capture err(2);
    tag_enclosure_file(configuration, episode_.c_str(), true);
    EXPECT_EQ(out.finish() + err.finish(), "");
    EXPECT_EQ(read_file(episode_), original_);
}

TEST_F(tagging_test, a_file_the_library_cannot_tag_is_reported_and_left_alone) {
    const std::string notes = dir_ / "notes.txt";
    write_file(notes, "not audio at all\n");
    fd_capture out(1);
    fd_capture err(2);
    tag_enclosure_file(configuration_with_tags(), notes.c_str(), true);
    EXPECT_EQ(err.finish(), "Error setting tags for file " + notes + ".\n");
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(read_file(notes), "not audio at all\n");
}

TEST_F(tagging_test, the_copy_gets_what_the_library_writes_in_place_and_replaces_the_file) {
    // The library's own file stream, writing in place, makes the reference
    // file; tagging through the copy must give the same bytes at every step:
    // a first tag, one that outgrows its padding, one far smaller (the tag
    // shrinks and the audio moves back), and an unchanged one.
    const std::string reference = dir_ / "reference.mp3";
    std::filesystem::copy_file(silence, reference);
    ASSERT_EQ(chmod(episode_.c_str(), 0640), 0);
    const std::string steps[] = {"short", std::string(5000, 'c'), std::string(2 << 20, 'l'), "tiny",
                                 "tiny"};
    for (const std::string &comment : steps) {
        SCOPED_TRACE(comment.size());
        channel_configuration configuration = configuration_with_tags();
        configuration.comment_tag = comment;
        fd_capture err(2);
        tag_enclosure_file(configuration, episode_.c_str(), false);
        EXPECT_EQ(err.finish(), "");
        {
            TagLib::FileRef file(reference.c_str());
            ASSERT_FALSE(file.isNull());
            file.tag()->setArtist(TagLib::String("\xc3\x84rtist", TagLib::String::UTF8));
            file.tag()->setTitle("Title");
            file.tag()->setAlbum("Album");
            file.tag()->setGenre("Talk");
            file.tag()->setYear(2024);
            file.tag()->setComment(TagLib::String(comment, TagLib::String::UTF8));
            ASSERT_TRUE(file.save());
        }
        EXPECT_TRUE(read_file(episode_) == read_file(reference));
        // No copy is left beside it, and the episode keeps its permissions.
        EXPECT_EQ(test::directory_entries(dir_.path()),
                  (std::set<std::string>{"episode.mp3", "reference.mp3"}));
        struct stat status;
        ASSERT_EQ(stat(episode_.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0640u);
    }
}

TEST_F(tagging_test, an_episode_that_is_a_link_is_tagged_where_it_leads) {
    const std::string link = dir_ / "link.mp3";
    ASSERT_EQ(symlink("episode.mp3", link.c_str()), 0);
    fd_capture err(2);
    tag_enclosure_file(configuration_with_tags(), link.c_str(), false);
    EXPECT_EQ(err.finish(), "");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    TagLib::FileRef file(episode_.c_str());
    ASSERT_FALSE(file.isNull());
    EXPECT_EQ(file.tag()->title().to8Bit(true), "Title");
    EXPECT_EQ(test::directory_entries(dir_.path()),
              (std::set<std::string>{"episode.mp3", "link.mp3"}));
}

TEST(playlist, appends_one_line_per_file_to_what_is_there) {
    scratch_directory dir;
    channel_configuration configuration = pod_configuration();
    configuration.playlist = dir / "list.m3u";
    write_file(*configuration.playlist, "/existing/line.mp3\n");

    fd_capture out(1);
    append_to_playlist(configuration, "spool/one.mp3", true);
    append_to_playlist(configuration, "spool/two.mp3", false);
    EXPECT_EQ(out.finish(), " * Added downloaded enclosure spool/one.mp3 to playlist " +
                                *configuration.playlist + ".\n");
    EXPECT_EQ(read_file(*configuration.playlist),
              "/existing/line.mp3\nspool/one.mp3\nspool/two.mp3\n");

    // No playlist setting: nothing is written anywhere.
    configuration.playlist.reset();
    fd_capture quiet(1);
    append_to_playlist(configuration, "spool/three.mp3", true);
    EXPECT_EQ(quiet.finish(), "");
}

TEST(playlist, a_path_already_listed_is_told_as_added_and_not_written_again) {
    const struct {
        const char *before;
        bool appended;
    } cases[] = {
        {"spool/one.mp3\n", false},
        {"# mine\nspool/one.mp3\nspool/two.mp3\n", false},
        {"# mine\nspool/one.mp3", false},
        {"", true},
        // Only the exact line counts, and the lines there stay as they are.
        {"/srv/spool/one.mp3\nspool/one.mp3.part\n spool/one.mp3\n", true},
        {"spool/one.mp3\r\n", true},
        {"spool/two.mp3\nspool/two.mp3\n", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        scratch_directory dir;
        channel_configuration configuration = pod_configuration();
        configuration.playlist = dir / "list.m3u";
        write_file(*configuration.playlist, c.before);
        fd_capture out(1);
        fd_capture err(2);
        append_to_playlist(configuration, "spool/one.mp3", true);
        EXPECT_EQ(err.finish(), "");
        EXPECT_EQ(out.finish(), " * Added downloaded enclosure spool/one.mp3 to playlist " +
                                    *configuration.playlist + ".\n");
        EXPECT_EQ(read_file(*configuration.playlist),
                  c.appended ? c.before + std::string("spool/one.mp3\n") : c.before);
    }
}

TEST(playlist, a_fifo_is_written_without_being_read) {
    scratch_directory dir;
    channel_configuration configuration = pod_configuration();
    configuration.playlist = dir / "list.fifo";
    ASSERT_EQ(mkfifo(configuration.playlist->c_str(), 0600), 0);
    // A reader is there, as a program fed from the playlist would be; a
    // read of the FIFO by the writer would wait for ever or take its lines.
    unique_fd reader(open(configuration.playlist->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    append_to_playlist(configuration, "spool/one.mp3", false);
    append_to_playlist(configuration, "spool/one.mp3", false);
    char buffer[64];
    const ssize_t count = read(reader.get(), buffer, sizeof buffer);
    ASSERT_GT(count, 0) << std::strerror(errno);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), "spool/one.mp3\nspool/one.mp3\n");
}

TEST(playlist, a_playlist_that_cannot_be_opened_is_reported_without_confirmation) {
    scratch_directory dir;
    channel_configuration configuration = pod_configuration();
    configuration.playlist = dir / "missing/list.m3u";
    fd_capture out(1);
    fd_capture err(2);
    append_to_playlist(configuration, "spool/one.mp3", true);
    EXPECT_EQ(err.finish(), "Error opening playlist file " + *configuration.playlist + ": " +
                                std::strerror(ENOENT) + ".\n");
    EXPECT_EQ(out.finish(), "");
}

TEST(playlist, a_playlist_that_cannot_be_written_is_reported_without_confirmation) {
    scratch_directory dir;
    const std::string full = dir / "full";
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    test::tmpfs_mount fs(full);
    if (std::string skip = fs.mount_with("size=16k"); !skip.empty())
        GTEST_SKIP() << skip;
    channel_configuration configuration = pod_configuration();
    configuration.playlist = full + "/list.m3u";
    // A whole page of lines, so that the next line needs a page the full
    // device no longer has.
    const std::string existing = std::string(4095, 'x') + "\n";
    write_file(*configuration.playlist, existing);
    test::fill_device(full + "/filler");

    fd_capture out(1);
    fd_capture err(2);
    append_to_playlist(configuration, "spool/one.mp3", true);
    EXPECT_EQ(err.finish(), "Error writing playlist file " + *configuration.playlist + ": " +
                                std::strerror(ENOSPC) + ".\n");
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(read_file(*configuration.playlist), existing);
}

// What each reporter prints for a channel start and an enclosure start, by
// verbosity and size.
TEST(reporters, headers_and_enclosure_lines) {
    channel_configuration configuration = pod_configuration();
    channel_info info;
    feed_enclosure sized{std::string("http://example.com/a.mp3"), 2500000, std::nullopt};
    feed_enclosure unsized{std::string("http://example.com/b.mp3"), 0, std::nullopt};

    struct reporter_case {
        const char *name;
        reporter_function reporter;
        verbosity printing;
        const char *filename;
        std::string expected;
    } cases[] = {
        {"update", update_callback, {}, "spool/b.mp3", "Updating channel pod...\n"},
        {"update quiet", update_callback, {.quiet = true}, "spool/b.mp3", ""},
        {"update verbose",
         update_callback,
         {.verbose = true},
         "spool/b.mp3",
         "Updating channel pod...\n * http://example.com/a.mp3 (2.5\xc2\xa0MB)\n"
         " * spool/b.mp3 (unknown size)\n"},
        {"catch-up", catchup_callback, {}, nullptr, "Catching up with channel pod...\n"},
        {"catch-up quiet", catchup_callback, {.quiet = true}, nullptr, ""},
        {"catch-up verbose",
         catchup_callback,
         {.verbose = true},
         nullptr,
         "Catching up with channel pod...\n * http://example.com/a.mp3 (2.5\xc2\xa0MB)\n"
         " * http://example.com/b.mp3 (unknown size)\n"},
        {"list", list_callback, {}, nullptr, "Listing channel pod...\n"},
        {"list quiet", list_callback, {.quiet = true}, nullptr, "Listing channel pod...\n"},
        {"list verbose",
         list_callback,
         {.verbose = true},
         nullptr,
         "Listing channel pod...\n * http://example.com/a.mp3 (2.5\xc2\xa0MB)\n"
         " * http://example.com/b.mp3 (unknown size)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_callback reporter = bind_reporter(c.reporter, c.printing);
        fd_capture out(1);
        reporter(configuration, EVENT_CHANNEL_START, nullptr, nullptr, nullptr, true);
        reporter(configuration, EVENT_FEED_FETCHED, &info, nullptr, nullptr, true);
        reporter(configuration, EVENT_ENCLOSURE_START, &info, &sized, c.filename, true);
        reporter(configuration, EVENT_ENCLOSURE_START, &info, &unsized, c.filename, true);
        EXPECT_EQ(out.finish(), c.expected);
    }
}

TEST(reporters, update_tags_and_lists_only_a_successful_download) {
    scratch_directory dir;
    const std::string episode = dir / "episode.mp3";
    std::filesystem::copy_file(silence, episode);
    const std::string original = read_file(episode).value_or("");
    channel_configuration configuration = configuration_with_tags();
    configuration.playlist = dir / "list.m3u";
    channel_info info;
    feed_enclosure enclosure{std::string("http://example.com/episode.mp3"), 0, std::nullopt};
    run_callback reporter = bind_reporter(update_callback, verbosity{});

    fd_capture out(1);
    reporter(configuration, EVENT_ENCLOSURE_DONE, &info, &enclosure, episode.c_str(), false);
    EXPECT_EQ(read_file(episode), original);
    EXPECT_FALSE(std::filesystem::exists(*configuration.playlist));

    reporter(configuration, EVENT_ENCLOSURE_DONE, &info, &enclosure, episode.c_str(), true);
    EXPECT_EQ(out.finish(), "");
    EXPECT_NE(read_file(episode), original);
    EXPECT_EQ(read_file(*configuration.playlist), episode + "\n");
}

TEST(reporters, missing_arguments_stop_the_program) {
    channel_configuration configuration = pod_configuration();
    channel_info info;
    feed_enclosure enclosure{std::string("http://example.com/a.mp3"), 0, std::nullopt};
    const verbosity quiet{.quiet = true};
    EXPECT_DEATH(update_callback(quiet, configuration, EVENT_ENCLOSURE_START, nullptr, &enclosure,
                                 "f", true),
                 "reporters\\.cpp:[0-9]+:update_callback: assertion failed: \\(info\\)");
    EXPECT_DEATH(
        update_callback(quiet, configuration, EVENT_ENCLOSURE_DONE, &info, nullptr, "f", true),
        "update_callback: assertion failed: \\(enclosure\\)");
    EXPECT_DEATH(update_callback(quiet, configuration, EVENT_ENCLOSURE_DONE, &info, &enclosure,
                                 nullptr, true),
                 "update_callback: assertion failed: \\(filename\\)");
    EXPECT_DEATH(catchup_callback(quiet, configuration, EVENT_ENCLOSURE_START, &info, nullptr,
                                  nullptr, true),
                 "catchup_callback: assertion failed: \\(enclosure\\)");
    EXPECT_DEATH(list_callback(quiet, configuration, EVENT_ENCLOSURE_START, nullptr, &enclosure,
                               nullptr, true),
                 "list_callback: assertion failed: \\(info\\)");
}

} // namespace
} // namespace skiffer
