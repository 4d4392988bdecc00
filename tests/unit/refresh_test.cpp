#include <filesystem>
#include <optional>
#include <regex>
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

// An item of a feed for the guid tests: its enclosure path on the loopback
// server, and the content of its guid element as the feed writes it (none
// for an item without one).
struct guid_item {
    std::string enclosure;
    std::optional<std::string> guid;
};

// One run of the channel: how it runs, the feed it finds, the paths of the
// enclosures it takes, and the state file's entry lines afterwards ("BASE"
// for the server, "NOW" for a stamp of the run).
struct guid_run {
    refresh_options options;
    std::vector<guid_item> items;
    std::vector<std::string> taken;
    std::string entries_after;
};

struct guid_case {
    const char *name;
    std::string entries_before; // none at all: no state file
    guid_run first;
    guid_run second;
};

// A state file's entry line.
std::string entry(const std::string &path, std::optional<std::string> stamp,
                  std::optional<std::string> guid = std::nullopt) {
    std::string line = "  <enclosure url=\"BASE/" + path + "\"";
    if (stamp)
        line += " downloadtime=\"" + *stamp + "\"";
    if (guid)
        line += " guid=\"" + *guid + "\"";
    return line + "/>\n";
}

// Two runs of one channel, each reading the state file the one before left,
// over feeds whose hosts change their enclosure URLs with or without keeping
// the items' guids. The state file is compared whole after each run.
TEST_F(refresh_test, episodes_keep_their_identity_by_guid) {
    const std::string long_guid(2049, 'g');
    const std::string markup = "a&amp;b&lt;c&gt;&quot;'";
    const std::string controls = "\n  tab&#9;line&#10;del&#x7f;nel&#x85; \n";
    const std::string other_script = "\xc3\xa9pisode \xe2\x82\xac";
    // clang-format off
    const guid_case cases[] = {
        {"URLs changed, guids kept: nothing is taken, the new URLs are recorded",
         entry("a.mp3", "then", "g1") + entry("b.mp3", "then", "g2"),
         {update, {{"a.mp3?signed=1", "g1"}, {"redirect/302/b.mp3", " g2 "}}, {},
          entry("a.mp3", "then", "g1") + entry("a.mp3?signed=1", "then", "g1") +
              entry("b.mp3", "then", "g2") + entry("redirect/302/b.mp3", "then", "g2")},
         {update, {{"a.mp3?signed=2", "g1"}, {"b.mp3?signed=2", "g2"}, {"c.mp3", "g3"}}, {"c.mp3"},
          entry("a.mp3", "then", "g1") + entry("a.mp3?signed=1", "then", "g1") +
              entry("a.mp3?signed=2", "then", "g1") + entry("b.mp3", "then", "g2") +
              entry("b.mp3?signed=2", "then", "g2") + entry("c.mp3", "NOW", "g3") +
              entry("redirect/302/b.mp3", "then", "g2")}},
        {"URLs and guids changed: everything is new",
         entry("a.mp3", "then", "g1") + entry("b.mp3", "then", "g2"),
         {catch_up, {{"a.mp3?v=2", "h1"}, {"b.mp3?v=2", "h2"}}, {"a.mp3?v=2", "b.mp3?v=2"},
          entry("a.mp3", "then", "g1") + entry("a.mp3?v=2", "NOW", "h1") +
              entry("b.mp3", "then", "g2") + entry("b.mp3?v=2", "NOW", "h2")},
         {update, {{"a.mp3?v=2", "h1"}, {"b.mp3?v=2", "h2"}}, {},
          entry("a.mp3", "then", "g1") + entry("a.mp3?v=2", "NOW", "h1") +
              entry("b.mp3", "then", "g2") + entry("b.mp3?v=2", "NOW", "h2")}},
        {"one guid on several items: only URLs count, until it names one item",
         entry("a.mp3", "then", "g"),
         {catch_up, {{"a.mp3?v=2", "g"}, {"b.mp3", "g"}}, {"a.mp3?v=2", "b.mp3"},
          entry("a.mp3", "then", "g") + entry("a.mp3?v=2", "NOW", "g") + entry("b.mp3", "NOW", "g")},
         {catch_up, {{"c.mp3", "g"}}, {},
          entry("a.mp3", "then", "g") + entry("a.mp3?v=2", "NOW", "g") +
              entry("b.mp3", "NOW", "g") + entry("c.mp3", "then", "g")}},
        {"items without guids: only URLs count",
         "",
         {update, {{"a.mp3", std::nullopt}, {"b.mp3", " \n "}}, {"a.mp3", "b.mp3"},
          entry("a.mp3", "NOW") + entry("b.mp3", "NOW")},
         {catch_up, {{"a.mp3?v=2", std::nullopt}, {"b.mp3", std::nullopt}}, {"a.mp3?v=2"},
          entry("a.mp3", "NOW") + entry("a.mp3?v=2", "NOW") + entry("b.mp3", "NOW")}},
        {"an old state file learns the guids, then knows the episodes by them",
         entry("a.mp3", "then") + entry("b.mp3", std::nullopt, "kept"),
         {update, {{"a.mp3", "g1"}, {"b.mp3", "g2"}}, {},
          entry("a.mp3", "then", "g1") + entry("b.mp3", "NOW", "kept")},
         {update, {{"a.mp3?v=2", "g1"}, {"b.mp3?v=2", "kept"}}, {},
          entry("a.mp3", "then", "g1") + entry("a.mp3?v=2", "then", "g1") +
              entry("b.mp3", "NOW", "kept") + entry("b.mp3?v=2", "NOW", "kept")}},
        {"list mode lists no episode under a new URL and changes nothing",
         entry("a.mp3", "then") + entry("b.mp3", "then", "g2"),
         {list, {{"a.mp3", "g1"}, {"b.mp3?v=2", "g2"}, {"c.mp3", "g3"}}, {"c.mp3"},
          entry("a.mp3", "then") + entry("b.mp3", "then", "g2")},
         {catch_up, {{"a.mp3", "g1"}, {"b.mp3?v=2", "g2"}, {"c.mp3", "g3"}}, {"c.mp3"},
          entry("a.mp3", "then", "g1") + entry("b.mp3", "then", "g2") +
              entry("b.mp3?v=2", "then", "g2") + entry("c.mp3", "NOW", "g3")}},
        {"guids with markup, control characters and other scripts",
         "",
         {catch_up, {{"a.mp3", markup}, {"b.mp3", controls}, {"c.mp3", other_script}},
          {"a.mp3", "b.mp3", "c.mp3"},
          entry("a.mp3", "NOW", "a&amp;b&lt;c&gt;&quot;&apos;") +
              entry("b.mp3", "NOW", "tab&#x9;line&#xa;del&#x7f;nel\xc2\x85") +
              entry("c.mp3", "NOW", other_script)},
         {update, {{"a.mp3?v=2", markup}, {"b.mp3?v=2", controls}, {"c.mp3?v=2", other_script}},
          {},
          entry("a.mp3", "NOW", "a&amp;b&lt;c&gt;&quot;&apos;") +
              entry("a.mp3?v=2", "NOW", "a&amp;b&lt;c&gt;&quot;&apos;") +
              entry("b.mp3", "NOW", "tab&#x9;line&#xa;del&#x7f;nel\xc2\x85") +
              entry("b.mp3?v=2", "NOW", "tab&#x9;line&#xa;del&#x7f;nel\xc2\x85") +
              entry("c.mp3", "NOW", other_script) + entry("c.mp3?v=2", "NOW", other_script)}},
        {"a guid too long counts as none",
         "",
         {catch_up, {{"a.mp3", long_guid}}, {"a.mp3"}, entry("a.mp3", "NOW")},
         {catch_up, {{"a.mp3?v=2", long_guid}}, {"a.mp3?v=2"},
          entry("a.mp3", "NOW") + entry("a.mp3?v=2", "NOW")}},
    };
    // clang-format on

    const std::string base = server_->base();
    auto with_base = [&base](std::string text) {
        for (size_t at; (at = text.find("BASE")) != std::string::npos;)
            text.replace(at, 4, base);
        return text;
    };
    auto state_text = [&](const std::string &fetched, const std::string &entries) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<channel version=\"1.0\" "
               "rsslastfetched=\"" +
               fetched + "\">\n" + with_base(entries) + "</channel>\n";
    };
    // The run's own stamps, which the expectations cannot know.
    const std::regex stamp(R"re((downloadtime|rsslastfetched)="[A-Z][a-z]{2}, [0-9]{2}-)re"
                           R"re([A-Z][a-z]{2}-[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT")re");

    for (const guid_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch_directory dir;
        const std::string spool = dir / "spool";
        const std::string feed = dir / "feed.xml";
        const std::string state_file = dir / "pod.xml";
        std::filesystem::create_directory(spool);
        std::string expected_state = state_text("then", c.entries_before);
        if (!c.entries_before.empty())
            write_file(state_file, expected_state);

        for (const guid_run *run : {&c.first, &c.second}) {
            SCOPED_TRACE(run == &c.first ? "first run" : "second run");
            std::string text = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel>";
            for (const guid_item &item : run->items) {
                text += "<item>";
                if (item.guid)
                    text += "<guid>" + *item.guid + "</guid>";
                text += "<enclosure url=\"" + url(item.enclosure) + "\"/></item>";
            }
            write_file(feed, text + "</channel></rss>");

            auto state = channel_state_load(feed, state_file, spool, std::nullopt);
            ASSERT_NE(state, nullptr);
            std::vector<std::string> taken;
            run_callback reporter = [&](const channel_configuration &, run_event event,
                                        const channel_info *, const feed_enclosure *enclosure,
                                        const char *, bool) {
                if (event == EVENT_ENCLOSURE_START)
                    taken.push_back(enclosure->url->substr(base.size() + 1));
            };
            fd_capture err(2);
            EXPECT_EQ(channel_refresh(*state, configuration_, reporter, run->options, nullptr), 0);
            EXPECT_EQ(err.finish(), "");
            EXPECT_EQ(taken, run->taken);

            if (!run->options.no_record)
                expected_state = state_text("NOW", run->entries_after);
            EXPECT_EQ(
                std::regex_replace(read_file(state_file).value_or("none"), stamp, "$1=\"NOW\""),
                expected_state);
        }
    }
}

} // namespace
} // namespace skiffer
