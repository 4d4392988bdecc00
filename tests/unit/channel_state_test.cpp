#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/xmlerror.h>

#include "state.hpp"
#include "files.hpp"
#include "test_support.hpp"

namespace skiffer {
namespace {

using test::fd_capture;
using test::read_file;
using test::scratch_directory;
using test::write_file;

using table = enclosure_table::map_type;

void ignore_xml_error(void *, const char *, ...) {
}
void ignore_structured_xml_error(void *, xmlErrorPtr) {
}

class channel_state_test : public ::testing::Test {
protected:
    void SetUp() override {
        // libxml2's own diagnostics would mix with the message under test.
        xmlSetGenericErrorFunc(nullptr, ignore_xml_error);
        xmlSetStructuredErrorFunc(nullptr, ignore_structured_xml_error);
    }
    void TearDown() override {
        xmlSetGenericErrorFunc(nullptr, nullptr);
        xmlSetStructuredErrorFunc(nullptr, nullptr);
    }

    std::unique_ptr<channel_state> load() {
        return channel_state_load("http://example.com/feed.xml", path_, "/spool", std::nullopt);
    }

    std::unique_ptr<channel_state> load_text(const std::string &content) {
        write_file(path_, content);
        return load();
    }

    std::string written(const channel_state &state) {
        FILE *stream = std::fopen(path_.c_str(), "wb");
        EXPECT_NE(stream, nullptr);
        EXPECT_EQ(write_channel_state(stream, state, 1), 0);
        EXPECT_EQ(std::fclose(stream), 0);
        return read_file(path_).value_or("");
    }

    scratch_directory dir_;
    std::string path_ = dir_ / "chan.xml";
};

const char declaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

TEST_F(channel_state_test, missing_file_gives_empty_state) {
    auto state = channel_state_load("http://example.com/feed.xml", path_, "/spool", "%(title)");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->url, "http://example.com/feed.xml");
    EXPECT_EQ(state->state_file, path_);
    EXPECT_EQ(state->spool, "/spool");
    EXPECT_EQ(state->filename_pattern, "%(title)");
    EXPECT_TRUE(state->downloaded_enclosures.empty());
    EXPECT_EQ(state->rsslastfetched, std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(path_));

    EXPECT_EQ(load()->filename_pattern, std::nullopt);
    EXPECT_EQ(written(*state),
              std::string(declaration) + "<channel version=\"1.0\">\n</channel>\n");
}

TEST_F(channel_state_test, writes_the_exact_format) {
    channel_state state;
    state.rsslastfetched = "Sun, 11-Jun-2000 05:00:00 GMT";
    state.downloaded_enclosures = {
        {"http://example.com/a.mp3?x=1&y=<2>", {"Sat, 10-Jun-2000 04:00:00 GMT"}},
        {"http://example.com/it's \"b\".mp3", {"Fri, 09-Jun-2000 23:59:59 GMT"}},
        {"http://example.com/c.mp3", {std::nullopt}},
    };
    // The entries stand in byte order of their URLs.
    EXPECT_EQ(written(state),
              std::string(declaration) +
                  "<channel version=\"1.0\" rsslastfetched=\"Sun, 11-Jun-2000 05:00:00 GMT\">\n"
                  "  <enclosure url=\"http://example.com/a.mp3?x=1&amp;y=&lt;2&gt;\" "
                  "downloadtime=\"Sat, 10-Jun-2000 04:00:00 GMT\"/>\n"
                  "  <enclosure url=\"http://example.com/c.mp3\"/>\n"
                  "  <enclosure url=\"http://example.com/it&apos;s &quot;b&quot;.mp3\" "
                  "downloadtime=\"Fri, 09-Jun-2000 23:59:59 GMT\"/>\n"
                  "</channel>\n");
}

// The table keeps every entry's line ready in URL order, whatever the order
// in which entries come: ascending as in a saved file, descending as in a
// feed taken newest first, scattered, with stamps replaced along the way, and
// through copies. The file is compared with one written from scratch.
TEST_F(channel_state_test, lines_stay_in_url_order_whatever_the_order_of_adding) {
    std::vector<std::string> urls;
    for (int i = 0; i < 300; ++i)
        urls.push_back("http://example.com/" + std::to_string(1000 + i * 7 % 300) + ".mp3");
    std::vector<std::string> sorted = urls;
    std::sort(sorted.begin(), sorted.end());

    auto expected_file = [&](const std::vector<std::string> &keys,
                             const std::string &stamp_of_last) {
        std::string text = std::string(declaration) + "<channel version=\"1.0\">\n";
        for (const std::string &url : keys)
            text += "  <enclosure url=\"" + url + "\" downloadtime=\"" +
                    (url == keys.back() ? stamp_of_last : "t") + "\"/>\n";
        return text + "</channel>\n";
    };

    struct order_case {
        const char *name;
        std::vector<std::string> order;
    };
    std::vector<std::string> descending(sorted.rbegin(), sorted.rend());
    std::vector<std::string> halves; // from the middle outwards, both ways
    for (size_t i = 0; i < sorted.size() / 2; ++i) {
        halves.push_back(sorted[sorted.size() / 2 + i]);
        halves.push_back(sorted[sorted.size() / 2 - 1 - i]);
    }
    const order_case cases[] = {
        {"ascending", sorted}, {"descending", descending}, {"scattered", urls}, {"halves", halves}};
    for (const order_case &c : cases) {
        SCOPED_TRACE(c.name);
        channel_state state;
        for (const std::string &url : c.order) {
            state.downloaded_enclosures.insert_or_assign(url, "first");
            state.downloaded_enclosures.insert_or_assign(url, "t");
            EXPECT_FALSE(state.downloaded_enclosures.emplace(url, "never").second);
        }
        // A new stamp for the last URL in byte order, with markup to escape.
        state.downloaded_enclosures.insert_or_assign(sorted.back(), "a&b");
        EXPECT_EQ(written(state), expected_file(sorted, "a&amp;b"));

        channel_state copy = state;
        copy.downloaded_enclosures.insert_or_assign(sorted.back(), "t");
        EXPECT_EQ(written(copy), expected_file(sorted, "t"));
        EXPECT_EQ(written(state), expected_file(sorted, "a&amp;b"));
        copy = state;
        EXPECT_EQ(written(copy), expected_file(sorted, "a&amp;b"));
    }
}

TEST_F(channel_state_test, round_trips_any_url_and_stamp) {
    channel_state state;
    state.rsslastfetched = "stamp & \"quoted\" <x>";
    state.downloaded_enclosures = {
        {"http://example.com/?a=1&b=2", {"Sat, 10-Jun-2000 04:00:00 GMT"}},
        {"http://example.com/<tag>", {"Sat, 10-Jun-2000 04:00:01 GMT"}},
        {"http://example.com/\"double\"", {"Sat, 10-Jun-2000 04:00:02 GMT"}},
        {"http://example.com/'single'", {"Sat, 10-Jun-2000 04:00:03 GMT"}},
        {"http://example.com/&amp;", {"&amp; \"<'>\""}},
        // Control characters: some escaped by markup escaping, and the
        // white space that the parser would otherwise turn into spaces.
        {"http://example.com/\x7f\xc2\x85", {"\t"}},
        {"http://example.com/a\tb\nc\rd  e", {"x\ny\r\n"}},
        {"http://example.com/\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5", {"plain"}},
        {"", {""}},
        {"HTTP://EXAMPLE.COM/?a=1&b=2", {"case"}},
    };
    written(state);
    auto loaded = load();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->downloaded_enclosures, state.downloaded_enclosures);
    EXPECT_EQ(loaded->rsslastfetched, state.rsslastfetched);
}

TEST_F(channel_state_test, leaves_out_what_xml_cannot_hold) {
    channel_state state;
    state.downloaded_enclosures = {
        {"http://example.com/\x01", {"stamp"}},
        {"http://example.com/\xff", {"stamp"}},
        {"http://example.com/kept", {"stamp"}},
        {"http://example.com/kept-without-stamp", {"bad \x02 stamp"}},
    };
    written(state);
    auto loaded = load();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->downloaded_enclosures.size(), 2u);
    EXPECT_EQ(loaded->downloaded_enclosures.at("http://example.com/kept").stamp, "stamp");
    EXPECT_TRUE(loaded->downloaded_enclosures.count("http://example.com/kept-without-stamp"));
}

TEST_F(channel_state_test, loads_what_the_reader_accepts) {
    auto state = load_text("<?xml version=\"1.0\"?>\n"
                           "<!-- hand edited -->\n"
                           "<feed version=\"7\" rsslastfetched=\"then\" other=\"x\">\n"
                           "  <enclosure url=\"http://e.com/a?x=1&amp;y=2\" downloadtime=\"t1\"/>\n"
                           "  <enclosure url=\"http://e.com/twice\" downloadtime=\"first\"/>\n"
                           "  <enclosure downloadtime=\"no url\"/>\n"
                           "  <item><enclosure url=\"http://e.com/grandchild\"/></item>\n"
                           "  <Enclosure url=\"http://e.com/capital\"/>\n"
                           "  <enclosure url=\"http://e.com/twice\" downloadtime=\"last\"/>\n"
                           "  <enclosure url=\"http://e.com/nested\" downloadtime=\"t2\">"
                           "<enclosure url=\"http://e.com/inner\"/></enclosure>\n"
                           "  text\n"
                           "</feed>\n");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->rsslastfetched, "then");
    const table expected = {
        {"http://e.com/a?x=1&y=2", {"t1"}},
        {"http://e.com/twice", {"last"}},
        {"http://e.com/nested", {"t2"}},
    };
    EXPECT_EQ(state->downloaded_enclosures, expected);

    // The next save writes the root as a channel again.
    std::string text = written(*state);
    EXPECT_EQ(text.substr(0, text.find('\n', sizeof declaration) + 1),
              std::string(declaration) + "<channel version=\"1.0\" rsslastfetched=\"then\">\n");
}

// A file exactly as the program writes it is read without the XML parser;
// it and every near variant, which the parser reads, give the same state,
// and a variant that is not XML is refused as before.
TEST_F(channel_state_test, the_written_form_and_its_variants_read_alike) {
    const std::string head = std::string(declaration) + "<channel version=\"1.0\"";
    const std::string written_form = head + " rsslastfetched=\"then\">\n" +
                                     "  <enclosure url=\"http://e.com/a\" downloadtime=\"t1\"/>\n" +
                                     "  <enclosure url=\"http://e.com/b\" downloadtime=\"\"/>\n" +
                                     "  <enclosure url=\"http://e.com/a\" downloadtime=\"t2\"/>\n" +
                                     "  <enclosure url=\"\" downloadtime=\"t3\"/>\n" +
                                     "</channel>\n";
    const table expected = {{"http://e.com/a", {"t2"}}, {"http://e.com/b", {""}}, {"", {"t3"}}};

    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string text = written_form;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const struct {
        const char *what;
        std::string content;
        bool readable;
    } cases[] = {
        {"as written", written_form, true},
        {"line ends with carriage returns", replaced("\n  <enclosure", "\r\n  <enclosure"), true},
        {"a reference in a value", replaced("http://e.com/b", "http://e.com/&#98;"), true},
        {"single quotes", replaced("\"then\"", "'then'"), true},
        {"white space after the root", written_form + "\n\n", true},
        {"a comment after the root", written_form + "<!-- x -->", true},
        {"cut off before the end", written_form.substr(0, written_form.size() - 11), false},
        {"cut off inside an entry", written_form.substr(0, head.size() + 40), false},
        {"a second root", written_form + "<channel/>", false},
        {"a raw ampersand", replaced("http://e.com/b", "http://e.com/&b"), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fd_capture capture(2);
        auto state = load_text(c.content);
        const std::string errors = capture.finish();
        if (!c.readable) {
            EXPECT_EQ(state, nullptr);
            EXPECT_EQ(errors, "Error parsing channel file " + path_ + ".\n");
            continue;
        }
        ASSERT_NE(state, nullptr) << errors;
        EXPECT_EQ(errors, "");
        EXPECT_EQ(state->downloaded_enclosures, expected);
        EXPECT_EQ(state->rsslastfetched, "then");
    }
}

// The guid comes last on an entry's line, escaped like the URL; entries
// without one keep the line they always had, and a guid that XML cannot hold
// is not kept while its entry is.
TEST_F(channel_state_test, guids_are_written_last_and_read_back) {
    channel_state state;
    state.downloaded_enclosures = {
        {"http://e.com/a", {"Sat, 10-Jun-2000 04:00:00 GMT", "ep-1"}},
        {"http://e.com/b", {"Sat, 10-Jun-2000 04:00:00 GMT"}},
        {"http://e.com/c", {std::nullopt, "ep-3"}},
        {"http://e.com/d", {"t", "<a> & \"b\" 'c'"}},
        {"http://e.com/e", {"t", "tab\tline\ndel\x7fnel\xc2\x85"}},
        {"http://e.com/f", {"t", "\xc3\xa9pisode \xe2\x82\xac"}},
        {"http://e.com/g", {"t", "bad \x01"}},
        {"http://e.com/h", {"t", "bad \xff"}},
    };
    EXPECT_EQ(state.downloaded_enclosures.at("http://e.com/g").guid, std::nullopt);
    EXPECT_EQ(state.downloaded_enclosures.at("http://e.com/h").guid, std::nullopt);
    EXPECT_EQ(written(state),
              std::string(declaration) + "<channel version=\"1.0\">\n" +
                  "  <enclosure url=\"http://e.com/a\" downloadtime=\"Sat, 10-Jun-2000 04:00:00 "
                  "GMT\" guid=\"ep-1\"/>\n"
                  "  <enclosure url=\"http://e.com/b\" downloadtime=\"Sat, 10-Jun-2000 04:00:00 "
                  "GMT\"/>\n"
                  "  <enclosure url=\"http://e.com/c\" guid=\"ep-3\"/>\n"
                  "  <enclosure url=\"http://e.com/d\" downloadtime=\"t\" "
                  "guid=\"&lt;a&gt; &amp; &quot;b&quot; &apos;c&apos;\"/>\n"
                  "  <enclosure url=\"http://e.com/e\" downloadtime=\"t\" "
                  "guid=\"tab&#x9;line&#xa;del&#x7f;nel\xc2\x85\"/>\n"
                  "  <enclosure url=\"http://e.com/f\" downloadtime=\"t\" "
                  "guid=\"\xc3\xa9pisode \xe2\x82\xac\"/>\n"
                  "  <enclosure url=\"http://e.com/g\" downloadtime=\"t\"/>\n"
                  "  <enclosure url=\"http://e.com/h\" downloadtime=\"t\"/>\n"
                  "</channel>\n");
    auto loaded = load();
    ASSERT_NE(loaded, nullptr);
    // The entry without a stamp reads back with the time of loading.
    EXPECT_TRUE(loaded->downloaded_enclosures.at("http://e.com/c").stamp.has_value());
    loaded->downloaded_enclosures.insert_or_assign("http://e.com/c", std::nullopt, "ep-3");
    EXPECT_EQ(loaded->downloaded_enclosures, state.downloaded_enclosures);

    // A guid given later rewrites the entry's line and nothing else.
    channel_state learned;
    learned.downloaded_enclosures = {{"http://e.com/b", {"t"}}, {"http://e.com/c", {"t"}}};
    learned.downloaded_enclosures.set_guid(learned.downloaded_enclosures.find("http://e.com/b"),
                                           "ep-2");
    EXPECT_EQ(written(learned), std::string(declaration) + "<channel version=\"1.0\">\n" +
                                    "  <enclosure url=\"http://e.com/b\" downloadtime=\"t\" "
                                    "guid=\"ep-2\"/>\n"
                                    "  <enclosure url=\"http://e.com/c\" downloadtime=\"t\"/>\n"
                                    "</channel>\n");
}

// A file with guids as the program writes it, and the same file edited by
// hand (attributes in another order, other spacing and quotes, references),
// give the same table.
TEST_F(channel_state_test, guids_read_alike_from_written_and_hand_edited_files) {
    const std::string written_form =
        std::string(declaration) + "<channel version=\"1.0\" rsslastfetched=\"then\">\n" +
        "  <enclosure url=\"http://e.com/a\" downloadtime=\"t1\" guid=\"ep-1\"/>\n" +
        "  <enclosure url=\"http://e.com/b\" guid=\"ep-2\"/>\n" +
        "  <enclosure url=\"http://e.com/c\" downloadtime=\"t3\"/>\n" +
        "  <enclosure url=\"http://e.com/d\" downloadtime=\"t4\" guid=\"a-b\"/>\n" + "</channel>\n";
    const std::string hand_edited =
        "<?xml version='1.0'?>\n<channel rsslastfetched='then' version='1.0'>\n"
        "<enclosure guid=\"ep-1\"   downloadtime=\"t1\"\n url=\"http://e.com/a\" />\n"
        "\t<enclosure guid='ep-2' url='http://e.com/&#98;'></enclosure>\n"
        "<enclosure downloadtime=\"t3\" url=\"http://e.com/c\"/>"
        "<enclosure guid=\"a&#45;b\" url=\"http://e.com/d\" downloadtime=\"t4\"/>"
        "</channel>";
    const table expected = {
        {"http://e.com/a", {"t1", "ep-1"}},
        {"http://e.com/c", {"t3"}},
        {"http://e.com/d", {"t4", "a-b"}},
    };
    for (const std::string *content : {&written_form, &hand_edited}) {
        SCOPED_TRACE(*content);
        fd_capture capture(2);
        auto state = load_text(*content);
        EXPECT_EQ(capture.finish(), "");
        ASSERT_NE(state, nullptr);
        // The entry without a stamp has the time of loading.
        const enclosure_entry &b = state->downloaded_enclosures.at("http://e.com/b");
        EXPECT_TRUE(b.stamp.has_value());
        EXPECT_EQ(b.guid, "ep-2");
        table rest(state->downloaded_enclosures.begin(), state->downloaded_enclosures.end());
        rest.erase("http://e.com/b");
        EXPECT_EQ(rest, expected);
        EXPECT_EQ(state->rsslastfetched, "then");
    }
}

// An entry without a stamp gets the time of loading, whether the file is read
// by the parser or in the form the program writes.
TEST_F(channel_state_test, missing_downloadtime_is_the_time_of_loading) {
    const std::string contents[] = {
        "<channel><enclosure url=\"http://e.com/a\"/></channel>",
        std::string(declaration) +
            "<channel version=\"1.0\">\n  <enclosure url=\"http://e.com/a\"/>\n</channel>\n",
    };
    for (const std::string &content : contents) {
        SCOPED_TRACE(content);
        std::optional<std::string> before = current_time_stamp();
        auto state = load_text(content);
        std::optional<std::string> after = current_time_stamp();
        ASSERT_NE(state, nullptr);
        ASSERT_TRUE(before && after);
        const std::optional<std::string> &stamp =
            state->downloaded_enclosures.at("http://e.com/a").stamp;
        ASSERT_TRUE(stamp);
        EXPECT_TRUE(*stamp == *before || *stamp == *after) << *stamp;
        EXPECT_EQ(state->rsslastfetched, std::nullopt);
    }
}

TEST_F(channel_state_test, order_in_the_file_does_not_matter) {
    auto first = load_text("<channel><enclosure url=\"a\" downloadtime=\"1\"/>"
                           "<enclosure url=\"b\" downloadtime=\"2\"/></channel>");
    auto second = load_text("<channel><enclosure url=\"b\" downloadtime=\"2\"/>"
                            "<enclosure url=\"a\" downloadtime=\"1\"/></channel>");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->downloaded_enclosures, second->downloaded_enclosures);
}

TEST_F(channel_state_test, broken_file_is_reported_and_left_alone) {
    const std::string broken[] = {
        "",
        "not xml at all\n",
        "<channel version=\"1.0\">\n  <enclosure url=\"a\"/>\n",
        "<?xml version=\"1.0\"?>\n<!-- no root -->\n",
        "<channel><enclosure url=\"a&#x1;\"/></channel>\n",
        "<channel><enclosure url=\"\xff\"/></channel>\n",
        "<channel/><channel/>\n",
    };
    for (const std::string &content : broken) {
        SCOPED_TRACE("file: \"" + content + "\"");
        write_file(path_, content);
        fd_capture capture(2);
        auto state = load();
        EXPECT_EQ(capture.finish(), "Error parsing channel file " + path_ + ".\n");
        EXPECT_EQ(state, nullptr);
        EXPECT_EQ(read_file(path_), content);
    }

    std::filesystem::remove(path_);
    std::filesystem::create_directory(path_);
    fd_capture capture(2);
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(capture.finish(), "Error parsing channel file " + path_ + ".\n");
}

TEST_F(channel_state_test, save_replaces_the_state_file) {
    write_file(path_, "old content\n");
    channel_state state;
    state.state_file = path_;
    state.rsslastfetched = "Sun, 11-Jun-2000 05:00:00 GMT";
    state.downloaded_enclosures = {{"http://e.com/a&b", {"Sat, 10-Jun-2000 04:00:00 GMT"}}};
    EXPECT_EQ(save_channel_state(state, 0), 0);
    EXPECT_EQ(read_file(path_),
              std::string(declaration) +
                  "<channel version=\"1.0\" rsslastfetched=\"Sun, 11-Jun-2000 05:00:00 GMT\">\n"
                  "  <enclosure url=\"http://e.com/a&amp;b\" "
                  "downloadtime=\"Sat, 10-Jun-2000 04:00:00 GMT\"/>\n"
                  "</channel>\n");
    // Nothing but the state file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              1);
    auto loaded = load();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->downloaded_enclosures, state.downloaded_enclosures);
}

} // namespace
} // namespace skiffer
