#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "refresh.hpp"
#include "test_support.hpp"

namespace skiffer {
namespace {

using test::fd_capture;
using test::loopback_suite;
using test::read_file;
using test::request_header;
using test::scratch_directory;
using test::write_file;

// An item of a test feed: its enclosure path on the loopback server (or none
// for an item without enclosure).
struct test_item {
    std::optional<std::string> enclosure;
};

// What one refresh is asked to do, and what it must do.
struct refresh_case {
    const char *name;
    refresh_options options;
    std::vector<test_item> items;
    std::vector<std::string> recorded_before; // enclosure paths in the state file
    std::vector<std::string> files_before;    // spool files, each holding "partial"
    bool spool_exists;
    const char *filter;
    // Expected: the reporter's events, the paths recorded afterwards, the
    // spool's file names, standard error, and whether the state was saved.
    std::vector<std::string> events;
    std::set<std::string> recorded_after;
    std::set<std::string> files_after;
    std::string errors;
    bool saved;
};

class refresh_test : public loopback_suite {
protected:
    static void SetUpTestSuite() {
        loopback_suite::SetUpTestSuite();
        for (const char *name : {"a.mp3", "b.mp3", "c.mp3"})
            serve(name, std::string("episode ") + name);
    }

    std::string feed_text(const std::vector<test_item> &items) {
        std::string text = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel>"
                           "<title>Test Channel</title>";
        for (const test_item &item : items) {
            text += "<item><title>t</title>";
            if (item.enclosure)
                text += "<enclosure url=\"" + url(*item.enclosure) + "\" length=\"0\"/>";
            text += "</item>";
        }
        return text + "</channel></rss>";
    }

    static std::string url(const std::string &path) { return server_->url("/" + path); }

    // The recording reporter: one short line per event.
    run_callback recorder(std::vector<std::string> &events, std::string &fetched) {
        return [&events, &fetched](const channel_configuration &, run_event event,
                                   const channel_info *info, const feed_enclosure *enclosure,
                                   const char *filename, bool succeeded) {
            std::string line = std::to_string(event);
            if (event == EVENT_FEED_FETCHED && info) {
                line += " " + info->title.value_or("?");
                fetched = info->fetched;
            }
            if (enclosure)
                line += " " + enclosure->url->substr(enclosure->url.value().rfind('/') + 1);
            if (filename)
                line += std::string(" ") + std::filesystem::path(filename).filename().string();
            if (event == EVENT_ENCLOSURE_DONE && !succeeded)
                line += " failed";
            events.push_back(line);
        };
    }

    scratch_directory dir_;
    const channel_configuration configuration_ = [] {
        channel_configuration configuration;
        configuration.identifier = "pod";
        return configuration;
    }();
};

const refresh_options update{};
const refresh_options catch_up{.no_download = true};
const refresh_options list{.no_download = true, .no_record = true};
const refresh_options first_only{.first_only = true};
const refresh_options resume{.resume = true};
const refresh_options catch_up_first{.no_download = true, .first_only = true};

TEST_F(refresh_test, events_records_and_the_end_of_the_loop) {
    const std::vector<test_item> three = {{"a.mp3"}, {std::nullopt}, {"b.mp3"}, {"c.mp3"}};
    // clang-format off
    const refresh_case cases[] = {
        {"update takes every new enclosure in feed order",
         update, three, {"b.mp3"}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 a.mp3 a.mp3", "3 a.mp3 a.mp3", "2 c.mp3 c.mp3", "3 c.mp3 c.mp3"},
         {"a.mp3", "b.mp3", "c.mp3"}, {"a.mp3", "c.mp3"}, "", true},
        {"catch-up reports and records without files",
         catch_up, three, {}, {}, false, nullptr,
         {"0", "1 Test Channel", "2 a.mp3", "3 a.mp3", "2 b.mp3", "3 b.mp3", "2 c.mp3", "3 c.mp3"},
         {"a.mp3", "b.mp3", "c.mp3"}, {}, "", true},
        {"list records nothing and saves nothing",
         list, three, {"a.mp3"}, {}, false, nullptr,
         {"0", "1 Test Channel", "2 b.mp3", "3 b.mp3", "2 c.mp3", "3 c.mp3"},
         {"a.mp3"}, {}, "", false},
        {"list reports a repeated enclosure each time",
         list, {{"a.mp3"}, {"a.mp3"}}, {}, {}, false, nullptr,
         {"0", "1 Test Channel", "2 a.mp3", "3 a.mp3", "2 a.mp3", "3 a.mp3"},
         {}, {}, "", false},
        {"update takes a repeated enclosure once",
         update, {{"a.mp3"}, {"a.mp3"}}, {}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 a.mp3 a.mp3", "3 a.mp3 a.mp3"},
         {"a.mp3"}, {"a.mp3"}, "", true},
        {"first only takes the first new accepted enclosure",
         first_only, three, {"a.mp3"}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 b.mp3 b.mp3", "3 b.mp3 b.mp3"},
         {"a.mp3", "b.mp3"}, {"b.mp3"}, "", true},
        {"first only counts only what the filter accepts",
         catch_up_first, three, {}, {}, false, "c\\.mp3",
         {"0", "1 Test Channel", "2 c.mp3", "3 c.mp3"},
         {"c.mp3"}, {}, "", true},
        {"a missing spool directory ends the loop",
         update, three, {}, {}, false, nullptr,
         {"0", "1 Test Channel"},
         {}, {}, "Spool directory SPOOL not found.\n", true},
        {"an existing file without resume is passed over",
         update, three, {}, {"a.mp3"}, true, nullptr,
         {"0", "1 Test Channel", "2 b.mp3 b.mp3", "3 b.mp3 b.mp3", "2 c.mp3 c.mp3", "3 c.mp3 c.mp3"},
         {"b.mp3", "c.mp3"}, {"a.mp3", "b.mp3", "c.mp3"},
         "Enclosure file SPOOL/a.mp3 already exists.\n", true},
        {"first only tries an existing file and nothing after it",
         first_only, three, {}, {"a.mp3"}, true, nullptr,
         {"0", "1 Test Channel"},
         {}, {"a.mp3"}, "Enclosure file SPOOL/a.mp3 already exists.\n", true},
        {"the file of an enclosure taken earlier in the run is never resumed",
         resume, {{"a.mp3"}, {"other/a.mp3"}, {"b.mp3"}}, {}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 a.mp3 a.mp3", "3 a.mp3 a.mp3", "2 b.mp3 b.mp3", "3 b.mp3 b.mp3"},
         {"a.mp3", "b.mp3"}, {"a.mp3", "b.mp3"},
         "Enclosure file SPOOL/a.mp3 already holds BASE/a.mp3.\n", true},
        {"resume continues an existing file",
         resume, {{"a.mp3"}}, {}, {"a.mp3"}, true, nullptr,
         {"0", "1 Test Channel", "2 a.mp3 a.mp3", "3 a.mp3 a.mp3"},
         {"a.mp3"}, {"a.mp3"}, "", true},
        {"an HTTP error answer is passed over unrecorded",
         update, {{"gone.mp3"}, {"a.mp3"}}, {}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 gone.mp3 gone.mp3", "3 gone.mp3 gone.mp3 failed",
          "2 a.mp3 a.mp3", "3 a.mp3 a.mp3"},
         {"a.mp3"}, {"a.mp3"},
         "Error retrieving BASE/gone.mp3: The requested URL returned error: 404\n"
         "Error downloading enclosure from BASE/gone.mp3.\n",
         true},
        {"a transfer without an answer ends the loop and keeps the partial file",
         update, {{"drop/3/a.mp3"}, {"b.mp3"}}, {}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 a.mp3 a.mp3", "3 a.mp3 a.mp3 failed"},
         {}, {"a.mp3"},
         "Error retrieving BASE/drop/3/a.mp3: transfer closed with 10 bytes remaining to read\n"
         "Error downloading enclosure from BASE/drop/3/a.mp3.\n",
         true},
        {"an enclosure listed twice is tried once",
         update, {{"gone.mp3"}, {"gone.mp3"}}, {}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 gone.mp3 gone.mp3", "3 gone.mp3 gone.mp3 failed"},
         {}, {},
         "Error retrieving BASE/gone.mp3: The requested URL returned error: 404\n"
         "Error downloading enclosure from BASE/gone.mp3.\n",
         true},
        {"first only tries a failing enclosure and nothing after it",
         first_only, {{"gone.mp3"}, {"a.mp3"}}, {}, {}, true, nullptr,
         {"0", "1 Test Channel", "2 gone.mp3 gone.mp3", "3 gone.mp3 gone.mp3 failed"},
         {}, {},
         "Error retrieving BASE/gone.mp3: The requested URL returned error: 404\n"
         "Error downloading enclosure from BASE/gone.mp3.\n",
         true},
    };
    // clang-format on

    for (const refresh_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch_directory dir;
        const std::string spool = dir / "spool";
        const std::string feed = dir / "feed.xml";
        const std::string state_file = dir / "pod.xml";
        write_file(feed, feed_text(c.items));
        if (c.spool_exists)
            std::filesystem::create_directory(spool);
        for (const std::string &name : c.files_before)
            write_file(spool + "/" + name, "partial");

        auto state = channel_state_load(feed, state_file, spool, std::nullopt);
        ASSERT_NE(state, nullptr);
        for (const std::string &path : c.recorded_before)
            state->downloaded_enclosures.emplace(url(path), "then");
        std::unique_ptr<enclosure_filter> filter;
        if (c.filter)
            filter = enclosure_filter_new(c.filter, 0);
        std::vector<std::string> events;
        std::string fetched;
        fd_capture err(2);
        EXPECT_EQ(channel_refresh(*state, configuration_, recorder(events, fetched), c.options,
                                  filter.get()),
                  0);
        std::string errors = err.finish();

        EXPECT_EQ(events, c.events);
        std::set<std::string> recorded;
        for (const auto &[key, stamp] : state->downloaded_enclosures)
            recorded.insert(key.substr(key.rfind('/') + 1));
        EXPECT_EQ(recorded, c.recorded_after);
        std::set<std::string> files;
        if (std::filesystem::is_directory(spool))
            files = test::directory_entries(spool);
        EXPECT_EQ(files, c.files_after);

        std::string expected_errors = c.errors;
        for (auto [placeholder, value] :
             {std::pair<std::string, std::string>{"SPOOL", spool}, {"BASE", server_->base()}}) {
            for (size_t at; (at = expected_errors.find(placeholder)) != std::string::npos;)
                expected_errors.replace(at, placeholder.size(), value);
        }
        EXPECT_EQ(errors, expected_errors);

        // A save writes the whole state, with the feed's fetch time as the
        // last-fetched stamp; without one the file is never made.
        EXPECT_EQ(std::filesystem::exists(state_file), c.saved);
        if (c.saved) {
            EXPECT_EQ(state->rsslastfetched, fetched);
            auto reloaded = channel_state_load(feed, state_file, spool, std::nullopt);
            ASSERT_NE(reloaded, nullptr);
            EXPECT_EQ(reloaded->downloaded_enclosures, state->downloaded_enclosures);
            EXPECT_EQ(reloaded->rsslastfetched, fetched);
        } else {
            EXPECT_EQ(state->rsslastfetched, std::nullopt);
        }
    }
}

TEST_F(refresh_test, taken_files_hold_the_resource_and_resume_appends) {
    const std::string spool = dir_ / "spool";
    std::filesystem::create_directory(spool);
    const std::string feed = dir_ / "feed.xml";
    write_file(feed, feed_text({{"a.mp3"}, {"b.mp3"}}));
    // "episode a.mp3" on the server; the first 8 bytes are already here.
    write_file(spool + "/a.mp3", "episode ");

    auto state = channel_state_load(feed, dir_ / "pod.xml", spool, std::nullopt);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(channel_refresh(*state, configuration_, run_callback{}, resume, nullptr), 0);

    EXPECT_EQ(read_file(spool + "/a.mp3"), "episode a.mp3");
    EXPECT_EQ(read_file(spool + "/b.mp3"), "episode b.mp3");
    const std::vector<std::string> requests = server_->requests_for("/a.mp3");
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(request_header(requests.back(), "Range"), "bytes=8-") << requests.back();
    const std::vector<std::string> whole = server_->requests_for("/b.mp3");
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(request_header(whole.back(), "Range"), std::nullopt);
}

TEST_F(refresh_test, a_feed_that_cannot_be_read_changes_nothing) {
    const std::string state_file = dir_ / "pod.xml";
    const std::string before = "<channel rsslastfetched=\"old\"><enclosure url=\"x\"/></channel>";
    write_file(state_file, before);
    auto state = channel_state_load(dir_ / "missing.xml", state_file, dir_.path(), std::nullopt);
    ASSERT_NE(state, nullptr);
    std::vector<std::string> events;
    std::string fetched;
    fd_capture err(2);
    EXPECT_EQ(channel_refresh(*state, configuration_, recorder(events, fetched), update, nullptr),
              1);
    EXPECT_NE(err.finish().find("Error parsing RSS file " + dir_ / "missing.xml" + ".\n"),
              std::string::npos);
    EXPECT_EQ(events, (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(state->rsslastfetched, "old");
    EXPECT_EQ(read_file(state_file), before);
}

} // namespace
} // namespace skiffer
