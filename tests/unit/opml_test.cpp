#include "opml.hpp"

#include <gtest/gtest.h>

#include "configuration.hpp"
#include "test_support.hpp"

namespace skiffer {
namespace {

using test::fd_capture;
using test::load_key_file;
using test::scratch_directory;

const std::string opml_data = std::string(SKIFFER_TEST_DATA) + "/opml/";

// The identifiers and URLs that importing `feeds` into `kf` would add.
std::vector<std::pair<std::string, std::string>> planned(const std::vector<opml_feed> &feeds,
                                                         GKeyFile *kf) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const opml_channel &channel : opml_plan_import(feeds, kf))
        result.emplace_back(channel.identifier, channel.url);
    return result;
}

using channel_list = std::vector<std::pair<std::string, std::string>>;

struct fixture_case {
    const char *file;
    channel_list channels; // what an import into an empty file adds
    const char *messages;  // standard error, exactly; {file} is the file's path
    size_t skipped = 0;
};

// `text` with every "{file}" replaced by `path`.
std::string with_path(std::string text, const std::string &path) {
    for (size_t at = 0; (at = text.find("{file}", at)) != std::string::npos; at += path.size())
        text.replace(at, 6, path);
    return text;
}

TEST(opml_read_file, reads_the_feeds_that_apps_export) {
    const fixture_case cases[] = {
        {"folders.opml",
         {{"harbour-notes", "https://example.org/harbour/feed.xml"},
          {"the-morning-brief", "http://feeds.example.com/morning?format=rss&lang=en"},
          {"cafe-uberall", "https://example.net/cafe.rss"},
          {"Tideline", "https://tideline.example.org/rss"}},
         "Skipping https://example.org/harbour/feed.xml: channel harbour-notes has the same "
         "URL.\n"},
        {"flat.opml",
         {{"radio-bremerhaven-nachrichten-mehr-fur-sie", "http://radio.example.de/news.xml"},
          {"Lectures", "https://lectures.example.edu/podcast.rss"},
          {"Lectures-2", "https://lectures.example.edu/extra.rss"},
          {"pod-example-com", "https://www.pod.example.com/feed"},
          {"spaced-out", "https://space.example.org/feed.xml"}},
         ""},
        {"untitled.opml",
         {{"feeds-example-com", "https://feeds.example.com/a.xml"},
          {"feeds-example-com-2", "https://feeds.example.com/b.xml"},
          {"example-jp", "https://example.jp/radio"}},
         ""},
        {"character-references.opml",
         {{"creme-brulee", "https://example.org/creme.xml?a=1&b=2"}},
         ""},
        // Names that would break the file or leave the state directory.
        {"hostile-names.opml",
         {{"etc-passwd", "https://example.org/1.xml"},
          {"example-org", "https://example.org/2.xml"},
          {"example-org-2", "https://example.org/3.xml"},
          {"evil-url-http-attacker-example-x", "https://example.org/4.xml"},
          {"hidden", "https://example.org/5.xml"},
          {"a-very-long-title-that-goes-on-and-on-well-past-any-sensible",
           "https://example.org/6.xml"}},
         ""},
        // The external DTD is not read, so its entity is unknown and the
        // name comes from the host.
        {"external-dtd.opml", {{"example-org", "https://example.org/dtd.xml"}}, ""},
        {"empty.opml", {}, ""},
        // Subscribe links stand for http URLs; the outlines that cannot
        // become a channel are left out, each with its line.
        {"subscribe-links.opml",
         {{"One", "http://example.org/one.xml"},
          {"Two", "http://example.org/two.xml"},
          {"Three", "HTTPS://example.org/three.xml"},
          {"Five", "http://example.org/five.xml"}},
         "Skipping the outline on line 10 of OPML file {file}: its xmlUrl is not an http or "
         "https URL.\n",
         1},
        {"bad-url.opml",
         {{"Good", "https://example.org/good.xml"}},
         "Skipping the outline on line 6 of OPML file {file}: its xmlUrl is not an http or https "
         "URL.\n",
         1},
        {"rss-without-url.opml",
         {{"Good", "https://example.org/good.xml"}},
         "Skipping the outline on line 6 of OPML file {file}: it has type rss but no xmlUrl.\n",
         1},
        {"url-injection.opml",
         {},
         "Skipping the outline on line 5 of OPML file {file}: its xmlUrl is not an http or https "
         "URL.\n",
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = opml_data + c.file;
        fd_capture err(2);
        std::optional<opml_document> document = opml_read_file(path.c_str());
        ASSERT_TRUE(document.has_value()) << err.finish();
        EXPECT_EQ(document->skipped, c.skipped);
        key_file_ptr empty = load_key_file("");
        EXPECT_EQ(planned(document->feeds, empty.get()), c.channels);
        EXPECT_EQ(err.finish(), with_path(c.messages, path));
    }
}

TEST(opml_read_file, keeps_names_and_lines_as_written) {
    const std::string path = opml_data + "folders.opml";
    std::optional<opml_document> document = opml_read_file(path.c_str());
    ASSERT_TRUE(document.has_value());
    const std::vector<opml_feed> &feeds = document->feeds;
    ASSERT_EQ(feeds.size(), 5u);
    EXPECT_EQ(feeds[2].text, "Café Überall");
    EXPECT_EQ(feeds[2].line, 15);
    EXPECT_EQ(feeds[4].title, std::nullopt);
    EXPECT_EQ(feeds[4].text, "Harbour Notes (again)");
}

TEST(opml_read_file, refuses_hostile_and_broken_files_with_one_message) {
    const struct {
        const char *file;
        const char *reason;
    } cases[] = {
        {"entity-bomb.opml", "line 3: entity declarations are not accepted"},
        {"external-entity.opml", "line 3: entity declarations are not accepted"},
        {"html-entities.opml", "line 6: Entity 'egrave' not defined"},
        {"malformed.opml", "line 8: Premature end of data in tag opml line 2"},
        {"not-opml.xml", "the top-level element is not opml"},
        {"no-body.opml", "no body element"},
        {"missing.opml", "No such file or directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = opml_data + c.file;
        fd_capture err(2);
        EXPECT_EQ(opml_read_file(path.c_str()), std::nullopt);
        EXPECT_EQ(err.finish(),
                  "Error reading OPML file " + path + ": " + std::string(c.reason) + ".\n");
    }
}

TEST(opml_read_file, reads_up_to_the_size_limit_and_no_further) {
    scratch_directory directory;
    const std::string head = "<?xml version=\"1.0\"?>\n<opml version=\"2.0\"><body>"
                             "<outline xmlUrl=\"https://example.org/a.xml\" text=\"a\"/>"
                             "</body></opml>\n<!--";
    const std::string tail = "-->\n";
    std::string at_limit =
        head + std::string(opml_max_size - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(at_limit.size(), opml_max_size);
    test::write_file(directory / "limit.opml", at_limit);
    auto document = opml_read_file((directory / "limit.opml").c_str());
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(document->feeds.size(), 1u);

    at_limit.insert(head.size(), "x");
    test::write_file(directory / "over.opml", at_limit);
    fd_capture err(2);
    EXPECT_EQ(opml_read_file((directory / "over.opml").c_str()), std::nullopt);
    EXPECT_EQ(err.finish(),
              "Error reading OPML file " + (directory / "over.opml") + ": larger than 8 MiB.\n");
}

TEST(opml_parse, takes_attribute_names_in_any_case_and_ignores_other_outlines) {
    const char *document = "<opml><body>"
                           "<outline XMLURL='https://example.org/a' TEXT='Upper'/>"
                           "<outline type='link' url='https://example.org/more.opml' text='L'/>"
                           "<outline type='include' url='https://example.org/x.opml'/>"
                           "<outline text='Folder'><outline text='Empty folder'/></outline>"
                           "</body></opml>";
    auto parsed = opml_parse(document, "memory");
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->feeds.size(), 1u);
    EXPECT_EQ(parsed->skipped, 0u);
    EXPECT_EQ(parsed->feeds[0].url, "https://example.org/a");
    EXPECT_EQ(parsed->feeds[0].text, "Upper");
}

TEST(is_valid_channel_identifier, follows_group_names_and_file_names) {
    const struct {
        const char *identifier;
        bool valid;
    } cases[] = {
        {"harbour-notes", true},
        {"Radio 4 Extra", true},
        {"café", true},
        {"a.b_c", true},
        {"", false},
        {"*", false},
        {".", false},
        {"..", false},
        {"a/b", false},
        {"[x", false},
        {"x]", false},
        {"a\nb", false},
        {"tab\there", false},
        {"\x7f", false},
        {"\xff\xfe", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.identifier);
        EXPECT_EQ(is_valid_channel_identifier(c.identifier), c.valid);
    }
}

TEST(opml_identifier_base, prefers_text_then_title_then_host) {
    const struct {
        std::optional<std::string> text;
        std::optional<std::string> title;
        const char *url;
        const char *identifier;
    } cases[] = {
        {"Harbour Notes", "Ignored", "https://example.org/", "harbour-notes"},
        {std::nullopt, "Harbour Notes", "https://example.org/", "harbour-notes"},
        {"   ", "From Title", "https://example.org/", "from-title"},
        {"", std::nullopt, "https://www.example.org/feed", "example-org"},
        {"日本のラジオ", std::nullopt, "https://radio.example.jp/", "radio-example-jp"},
        {"Ærø – Øst", std::nullopt, "https://example.org/", "aeroe-oest"},
        {"news_daily.v2", std::nullopt, "https://example.org/", "news_daily.v2"},
        {"-dash-first", std::nullopt, "https://example.org/", "dash-first"},
        {"UPPER", std::nullopt, "https://example.org/", "UPPER"},
        {"Upper Case", std::nullopt, "https://example.org/", "upper-case"},
        {"!!!", std::nullopt, "https://[::1]:8080/feed", "1"},
        {std::string(80, 'a'), std::nullopt, "https://example.org/",
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.identifier);
        opml_feed feed{c.url, c.text, c.title, 1};
        EXPECT_EQ(opml_identifier_base(feed), c.identifier);
    }
}

TEST(opml_plan_import, leaves_known_urls_alone_and_avoids_every_group_name) {
    key_file_ptr kf = load_key_file("[*]\nurl=https://example.org/default.xml\n"
                                    "[news]\nurl=https://example.org/news.xml\n"
                                    "[news-2]\nspool=/x\n"
                                    "[old]\nurl=  https://example.org/old.xml\n");
    const std::vector<opml_feed> feeds = {
        {"https://example.org/news.xml", "News", std::nullopt, 1},
        {"https://example.org/other-news.xml", "News", std::nullopt, 2},
        {"https://example.org/old.xml", "Old", std::nullopt, 3},
        // The defaults group's url is no channel's own.
        {"https://example.org/default.xml", "*", std::nullopt, 4},
        {"https://example.org/third-news.xml", "news", std::nullopt, 5},
        {"https://example.org/other-news.xml", "Again", std::nullopt, 6},
    };
    fd_capture err(2);
    // Names differ from the taken ones in more than case, so that no two
    // state files clash on a file system that ignores case.
    EXPECT_EQ(planned(feeds, kf.get()),
              (channel_list{{"News-3", "https://example.org/other-news.xml"},
                            {"example-org", "https://example.org/default.xml"},
                            {"news-4", "https://example.org/third-news.xml"}}));
    EXPECT_EQ(err.finish(),
              "Skipping https://example.org/news.xml: channel news has the same URL.\n"
              "Skipping https://example.org/old.xml: channel old has the same URL.\n"
              "Skipping https://example.org/other-news.xml: channel News-3 has the same URL.\n");
}

TEST(opml_plan_import, many_feeds_of_one_name_get_the_free_numbers_in_order) {
    key_file_ptr kf = load_key_file("[news-3]\n[NEWS-5]\n");
    std::vector<opml_feed> feeds;
    for (int i = 0; i < 1000; ++i)
        feeds.push_back(
            {"https://example.org/" + std::to_string(i), i % 2 ? "news" : "News", std::nullopt, i});
    const channel_list plan = planned(feeds, kf.get());
    ASSERT_EQ(plan.size(), feeds.size());
    EXPECT_EQ(plan[0].first, "News");
    EXPECT_EQ(plan[1].first, "news-2");
    EXPECT_EQ(plan[2].first, "News-4");
    EXPECT_EQ(plan[3].first, "news-6");
    EXPECT_EQ(plan.back().first, "news-1002");
}

TEST(opml_plan_import, suffixes_keep_identifiers_within_the_length_limit) {
    const std::string long_name(64, 'b');
    key_file_ptr kf = load_key_file("[" + long_name + "]\n");
    const std::vector<opml_feed> feeds = {{"https://example.org/b", long_name, std::nullopt, 1}};
    EXPECT_EQ(planned(feeds, kf.get()),
              (channel_list{{std::string(62, 'b') + "-2", "https://example.org/b"}}));
}

TEST(opml_groups_text, writes_one_group_per_channel_with_its_spool_directory) {
    EXPECT_EQ(opml_groups_text({{"a", "https://example.org/a"}, {"b-2", "http://example.org/b"}},
                               "/home/me/podcasts/"),
              "[a]\nurl=https://example.org/a\nspool=/home/me/podcasts/a\n"
              "\n"
              "[b-2]\nurl=http://example.org/b\nspool=/home/me/podcasts/b-2\n");
}

TEST(opml_append_groups, keeps_every_existing_byte) {
    const struct {
        const char *existing;
        const char *result;
    } cases[] = {
        {"", "[n]\n"},
        {"[a]\nurl=x\n", "[a]\nurl=x\n\n[n]\n"},
        {"[a]\nurl=x", "[a]\nurl=x\n\n[n]\n"},
        {"# only a comment\r\n\n\n", "# only a comment\r\n\n\n\n[n]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.existing);
        EXPECT_EQ(opml_append_groups(c.existing, "[n]\n"), c.result);
    }
}

TEST(opml_export_document, lists_the_http_channels_in_file_order) {
    key_file_ptr kf = load_key_file("[*]\nspool=/p\n"
                                    "[zeta]\nurl=https://example.org/z?a=1&b=\"2\"\n"
                                    "[local]\nurl=/home/me/feed.xml\n"
                                    "[<odd> & 'name']\nurl=HTTP://EXAMPLE.ORG/odd\n"
                                    "[nourl]\nspool=/x\n"
                                    "[spaced]\nurl=https://example.org/a b\n");
    fd_capture err(2);
    EXPECT_EQ(opml_export_document(kf.get()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<opml version=\"2.0\">\n"
              "  <head>\n"
              "    <title>skiffer channels</title>\n"
              "  </head>\n"
              "  <body>\n"
              "    <outline type=\"rss\" text=\"zeta\" title=\"zeta\" "
              "xmlUrl=\"https://example.org/z?a=1&amp;b=&quot;2&quot;\"/>\n"
              "    <outline type=\"rss\" text=\"&lt;odd&gt; &amp; &apos;name&apos;\" "
              "title=\"&lt;odd&gt; &amp; &apos;name&apos;\" xmlUrl=\"HTTP://EXAMPLE.ORG/odd\"/>\n"
              "  </body>\n"
              "</opml>\n");
    EXPECT_EQ(err.finish(), "Channel local has no http or https URL; not exported.\n"
                            "Channel nourl has no http or https URL; not exported.\n"
                            "Channel spaced has no http or https URL; not exported.\n");
}

TEST(opml_export_document, takes_the_url_from_the_defaults) {
    key_file_ptr kf = load_key_file("[*]\nurl=https://example.org/shared.xml\n[one]\n");
    const std::string document = opml_export_document(kf.get());
    EXPECT_NE(document.find("<outline type=\"rss\" text=\"one\" title=\"one\" "
                            "xmlUrl=\"https://example.org/shared.xml\"/>"),
              std::string::npos)
        << document;
}

TEST(opml_export_document, round_trip_gives_back_the_same_channels) {
    key_file_ptr kf = load_key_file("[*]\nspool=/p\n"
                                    "[harbour-notes]\nurl=https://example.org/harbour.xml\n"
                                    "[Lectures_2026]\nurl=http://example.edu/l.rss?x=1&y=2\n"
                                    "[news.daily]\nurl=https://example.org/n\n"
                                    "[café]\nurl=https://example.org/cafe\n");
    const std::string document = opml_export_document(kf.get());
    auto parsed = opml_parse(document, "export");
    ASSERT_TRUE(parsed.has_value());
    key_file_ptr empty = load_key_file("");
    // Plain words come back as they were; other names as their words.
    EXPECT_EQ(planned(parsed->feeds, empty.get()),
              (channel_list{{"harbour-notes", "https://example.org/harbour.xml"},
                            {"Lectures_2026", "http://example.edu/l.rss?x=1&y=2"},
                            {"news.daily", "https://example.org/n"},
                            {"cafe", "https://example.org/cafe"}}));
}

} // namespace
} // namespace skiffer
