#include <cstdio>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "channel.hpp"
#include "reporters.hpp"
#include "test_support.hpp"

namespace skiffer {
namespace {

using test::directory_entries;
using test::fd_capture;
using test::load_key_file;
using test::read_file;
using test::scratch_directory;
using test::write_file;

// One channel's run over a local feed, with everything it prints held.
struct channel_case {
    const char *name;
    const char *identifier;
    bool list = false;
    bool new_only = false;
    bool locked = false;       // another process holds the channel's lock
    bool state_before = false; // the channel has a state file already
    // Expected: what it printed on each stream, and whether it recorded the
    // feed's enclosure and removed what a killed run left.
    std::string out = "";
    std::string err = "";
    bool recorded;
    bool leftovers_removed;
};

TEST(run_channel, checks_lock_leftovers_and_output_into_the_sink) {
    const channel_case cases[] = {
        {.name = "caught up",
         .identifier = "pod",
         .out = "Catching up with channel pod...\n",
         .recorded = true,
         .leftovers_removed = true},
        {.name = "listed: no lock, nothing written",
         .identifier = "pod",
         .list = true,
         .out = "Listing channel pod...\n",
         .recorded = false,
         .leftovers_removed = false},
        {.name = "locked",
         .identifier = "pod",
         .locked = true,
         .err = "Channel pod is locked by another process, skipped.\n",
         .recorded = false,
         .leftovers_removed = false},
        {.name = "new only, not new",
         .identifier = "pod",
         .new_only = true,
         .state_before = true,
         .recorded = false,
         .leftovers_removed = false},
        {.name = "unknown",
         .identifier = "nope",
         .err = "Unknown channel identifier nope.\n",
         .recorded = false,
         .leftovers_removed = false},
        {.name = "slash",
         .identifier = "a/b",
         .err = "Invalid channel identifier a/b.\n",
         .recorded = false,
         .leftovers_removed = false},
        {.name = "no url",
         .identifier = "bare",
         .err = "No feed URL set for channel bare.\n",
         .recorded = false,
         .leftovers_removed = false},
    };
    for (const channel_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch_directory dir;
        const std::string feed = dir / "feed.xml";
        write_file(feed, "<rss><channel><title>T</title><item><enclosure "
                         "url=\"http://127.0.0.1:9/a.mp3\"/></item></channel></rss>");
        const std::string states = dir / "states";
        ASSERT_EQ(mkdir(states.c_str(), 0755), 0);
        const std::string state_file = states + "/pod.xml";
        const std::string empty_state = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<channel version=\"1.0\">\n</channel>\n";
        if (c.state_before)
            write_file(state_file, empty_state);
        write_file(states + "/pod.xml.Ab3dEf", "x");
        write_file(states + "/other.xml.Ab3dEf", "x");
        key_file_ptr kf = load_key_file("[pod]\nurl=" + feed + "\nspool=" + dir.path() +
                                        "\n[a/b]\nurl=x\nspool=y\n[bare]\nspool=y\n");

        run_settings settings;
        settings.state_directory = states;
        settings.new_only = c.new_only;
        settings.reporter = bind_reporter(c.list ? list_callback : catchup_callback, {});
        settings.refresh = {.no_download = true, .no_record = c.list};
        settings.leftovers = stale_temporary_files(states);
        unique_fd other_holder;
        if (c.locked) {
            bool busy = false;
            other_holder = try_lock_file(states + "/pod.lock", busy);
            // A lock is held by an open file description: a second open of
            // the file in this process finds it taken, as another process
            // would.
            ASSERT_TRUE(other_holder);
        }

        held_output output;
        fd_capture out_while_running(1), err_while_running(2);
        run_channel(settings, kf.get(), c.identifier, output);
        EXPECT_EQ(out_while_running.finish(), "");
        EXPECT_EQ(err_while_running.finish(), "");

        fd_capture out(1), err(2);
        output.print();
        EXPECT_TRUE(output.empty());
        EXPECT_EQ(out.finish(), c.out);
        EXPECT_EQ(err.finish(), c.err);

        const std::optional<std::string> state = read_file(state_file);
        EXPECT_EQ(state && state->find("a.mp3") != std::string::npos, c.recorded);
        const std::set<std::string> entries = directory_entries(states);
        EXPECT_EQ(!entries.contains("pod.xml.Ab3dEf"), c.leftovers_removed);
        EXPECT_TRUE(entries.contains("other.xml.Ab3dEf"));
    }
}

TEST(held_output, one_file_for_both_streams_gets_the_pieces_in_their_order) {
    held_output output;
    {
        scoped_output printing_into(output);
        print_out("one\n");
        print_err("two: %d\n", 2);
        print_out("three %s\n", std::string(600, 'x').c_str());
        print_out("four\n");
        print_error_number("five", ENOENT);
    }
    scratch_directory dir;
    const std::string path = dir / "both";
    FILE *file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = dup(1), saved_err = dup(2);
    dup2(fileno(file), 1);
    dup2(fileno(file), 2);
    output.print();
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    std::fclose(file);
    EXPECT_EQ(read_file(path), "one\ntwo: 2\nthree " + std::string(600, 'x') +
                                   "\nfour\nfive: No such file or directory\n");
}

} // namespace
} // namespace skiffer
