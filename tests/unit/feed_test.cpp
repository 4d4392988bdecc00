#include "feed.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace skiffer {
namespace {

using test::directory_entries;
using test::fd_capture;
using test::full_match;
using test::loopback_suite;
using test::scratch_directory;
using test::write_file;

constexpr const char *namespaces = R"(xmlns:media="http://search.yahoo.com/mrss" )"
                                   R"(xmlns:slashed="http://search.yahoo.com/mrss/" )"
                                   R"(xmlns:other="urn:other")";

struct parse_result {
    std::unique_ptr<feed_document> document;
    std::string error; // everything written to standard error
    std::string path;
};

// Parses `content` from a file in `directory`, capturing standard error.
parse_result parse_text(const scratch_directory &directory, const std::string &content,
                        const std::string &name = "feed.xml") {
    parse_result result;
    result.path = directory / name;
    write_file(result.path, content);
    fd_capture error(2);
    result.document = feed_parse_file(result.path.c_str());
    result.error = error.finish();
    return result;
}

// An RSS 2.0 document whose channel holds `channel_content`.
std::string rss(const std::string &channel_content) {
    return std::string("<?xml version=\"1.0\"?>\n<rss version=\"2.0\" ") + namespaces +
           "><channel>" + channel_content + "</channel></rss>\n";
}

// libxml2 reports what it found on standard error before our own line; only
// our line is checked exactly, and that it comes last and once.
void expect_parse_message(const parse_result &result, const std::string &message) {
    EXPECT_EQ(result.document, nullptr);
    ASSERT_GE(result.error.size(), message.size()) << result.error;
    EXPECT_EQ(result.error.substr(result.error.size() - message.size()), message) << result.error;
    EXPECT_EQ(result.error.find("Error parsing RSS file"), result.error.size() - message.size())
        << result.error;
}

class feed_parse : public ::testing::Test {
protected:
    scratch_directory directory;
};

TEST_F(feed_parse, version_from_the_root_attribute) {
    const struct {
        const char *attribute; // written as is inside the root's start tag
        feed_version expected;
    } cases[] = {
        {R"(version="0.91")", FEED_VERSION_0_91},
        {R"(version="0.92")", FEED_VERSION_0_92},
        {R"(version="2.0")", FEED_VERSION_2_0},
        {R"(version="2.00")", FEED_VERSION_UNKNOWN},
        {R"(version="2")", FEED_VERSION_UNKNOWN},
        {R"(version=" 2.0")", FEED_VERSION_UNKNOWN},
        {R"(version="")", FEED_VERSION_UNKNOWN},
        {R"(Version="2.0")", FEED_VERSION_UNKNOWN},
        {"", FEED_VERSION_UNKNOWN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.attribute);
        const parse_result result =
            parse_text(directory, std::string("<rss ") + c.attribute + "><channel/></rss>");
        ASSERT_NE(result.document, nullptr);
        EXPECT_EQ(result.document->version, c.expected);
        EXPECT_EQ(result.error, "");
    }
}

TEST_F(feed_parse, channel_information) {
    const parse_result result = parse_text(directory, rss(R"(
        <other:title>foreign title first</other:title>
        <title>  Own &amp; title  </title>
        <link>http://example.com/</link>
        <language></language>
        <item><description>not the channel's</description></item>)"));
    ASSERT_NE(result.document, nullptr);
    const channel_info &info = result.document->channel_info;
    EXPECT_EQ(info.title, "foreign title first");
    EXPECT_EQ(info.link, "http://example.com/");
    EXPECT_EQ(info.description, std::nullopt);
    EXPECT_EQ(info.language, std::nullopt); // an empty element has no text
    EXPECT_TRUE(
        full_match(R"([A-Z][a-z]{2}, \d\d-[A-Z][a-z]{2}-\d{4} \d\d:\d\d:\d\d GMT)", info.fetched))
        << info.fetched;
    EXPECT_EQ(result.error, "");
}

TEST_F(feed_parse, items_in_document_order) {
    const parse_result result = parse_text(directory, rss(R"(
        <title>Channel</title>
        <item>
          <other:title>foreign</other:title>
          <title>
            First
          </title>
          <link>http://example.com/1</link>
          <description><![CDATA[<p>One</p>]]></description>
          <pubDate>  Mon, 01 Jan 2024 00:00:00 GMT </pubDate>
        </item>
        <!-- a comment between items -->
        <other:item><title>Second, in another namespace</title></other:item>
        <wrapper><item><title>nested, not an item of the channel</title></item></wrapper>
        <item/>)"));
    ASSERT_NE(result.document, nullptr);
    const auto &items = result.document->items;
    ASSERT_EQ(items.size(), 3U);
    EXPECT_EQ(items[0].title, "foreign");
    EXPECT_EQ(items[0].link, "http://example.com/1");
    EXPECT_EQ(items[0].description, "<p>One</p>");
    EXPECT_EQ(items[0].pubDate, "  Mon, 01 Jan 2024 00:00:00 GMT ");
    EXPECT_EQ(items[1].title, "Second, in another namespace");
    EXPECT_EQ(items[1].link, std::nullopt);
    for (const feed_item &empty : {items[1], items[2]}) {
        EXPECT_EQ(empty.description, std::nullopt);
        EXPECT_EQ(empty.pubDate, std::nullopt);
        EXPECT_FALSE(empty.enclosure.has_value());
    }
    EXPECT_EQ(items[2].title, std::nullopt);
}

// The guid is an identifier: the text without the white space around it,
// and none where there is nothing to identify an item by.
TEST_F(feed_parse, guid_of_an_item) {
    const std::string longest(2048, 'g');
    const struct {
        const char *what;
        std::string element; // written as is inside the item
        std::optional<std::string> expected;
    } cases[] = {
        {"absent", "", std::nullopt},
        {"plain", "<guid>ep-1</guid>", "ep-1"},
        {"with a permalink attribute", R"(<guid isPermaLink="true">http://e.com/1</guid>)",
         "http://e.com/1"},
        {"white space around", "<guid>\n\t  ep 1 \r\n</guid>", "ep 1"},
        {"references and markup", "<guid> &lt;a&gt; &amp;amp; &quot;&#9;'</guid>",
         "<a> &amp; \"\t'"},
        {"in a CDATA section", "<guid><![CDATA[ <b> ]]></guid>", "<b>"},
        {"non-ASCII", "<guid>\xc3\xa9pisode-\xe2\x82\xac</guid>", "\xc3\xa9pisode-\xe2\x82\xac"},
        {"the first of two", "<guid>one</guid><guid>two</guid>", "one"},
        {"in another namespace", "<other:guid>foreign</other:guid><guid>own</guid>", "foreign"},
        {"empty", "<guid></guid>", std::nullopt},
        {"white space only", "<guid> \n </guid>", std::nullopt},
        {"an element only", "<guid/>", std::nullopt},
        {"2,048 bytes", "<guid> " + longest + " </guid>", longest},
        {"2,049 bytes", "<guid>" + longest + "x</guid>", std::nullopt},
    };
    std::string items;
    for (const auto &c : cases)
        items += "<item>" + c.element + "<enclosure url=\"http://e.com/a\"/></item>\n";
    const parse_result result = parse_text(directory, rss(items));
    ASSERT_NE(result.document, nullptr) << result.error;
    ASSERT_EQ(result.document->items.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(result.document->items[i].guid, cases[i].expected);
    }
}

TEST_F(feed_parse, channel_without_items) {
    const parse_result result = parse_text(directory, rss("<title>Empty</title>"));
    ASSERT_NE(result.document, nullptr);
    EXPECT_TRUE(result.document->items.empty());
    EXPECT_EQ(result.document->channel_info.title, "Empty");
}

TEST_F(feed_parse, enclosure_outcomes) {
    struct expected_enclosure {
        std::optional<std::string> url;
        int64_t length;
        std::optional<std::string> type;
    };
    const std::optional<expected_enclosure> none;
    const struct {
        const char *item;
        std::optional<expected_enclosure> expected;
    } cases[] = {
        // Media RSS content and an enclosure element.
        {R"(<media:content url="C" fileSize="100" type="video/mp4"/>
            <enclosure url="E" length="500" type="audio/mpeg"/>)",
         expected_enclosure{"C", 100, "audio/mpeg"}},
        {R"(<enclosure url="E" length="500" type="audio/mpeg"/>
            <media:content url="C" fileSize="100"/>)",
         expected_enclosure{"C", 100, "audio/mpeg"}},
        {R"(<media:content fileSize="100"/><enclosure url="E" length="500"/>)",
         expected_enclosure{"E", 100, std::nullopt}},
        {R"(<media:content url="C"/><enclosure url="E" length="500" type="t"/>)",
         expected_enclosure{"C", 0, "t"}},
        {R"(<media:content url="C" fileSize="0"/><enclosure url="E" length="500"/>)",
         expected_enclosure{"C", 500, std::nullopt}},
        {R"(<media:content url="C" fileSize="junk"/><enclosure length="500"/>)",
         expected_enclosure{"C", 500, std::nullopt}},
        {R"(<media:content url="C" fileSize="0"/><enclosure url="E"/>)",
         expected_enclosure{"C", 0, std::nullopt}},
        {R"(<media:content url="C" fileSize="-7"/><enclosure length="500"/>)",
         expected_enclosure{"C", 0, std::nullopt}},
        {R"(<media:content url="C" fileSize="3000000000"/><enclosure length="500"/>)",
         expected_enclosure{"C", 3000000000LL, std::nullopt}},
        // A size beyond 64 bits is no size: the enclosure element's stands in.
        {R"(<media:content url="C" fileSize="99999999999999999999"/><enclosure length="500"/>)",
         expected_enclosure{"C", 500, std::nullopt}},
        // Media RSS content only: its own type is never read.
        {R"(<media:content url="C" fileSize="7" type="video/mp4"/>)",
         expected_enclosure{"C", 7, std::nullopt}},
        {R"(<media:content fileSize="3000"/>)",
         expected_enclosure{std::nullopt, 3000, std::nullopt}},
        {R"(<media:content/>)", expected_enclosure{std::nullopt, 0, std::nullopt}},
        {R"(<media:content url="C" fileSize="4294967297"/>)",
         expected_enclosure{"C", 4294967297LL, std::nullopt}},
        {R"(<media:content url="C" fileSize="2147483648"/>)",
         expected_enclosure{"C", 2147483648LL, std::nullopt}},
        // Enclosure element only.
        {R"(<enclosure url="E" length="500" type="audio/mpeg"/>)",
         expected_enclosure{"E", 500, "audio/mpeg"}},
        {R"(<enclosure url="E" type="audio/mpeg"/>)", expected_enclosure{"E", 0, "audio/mpeg"}},
        {R"(<enclosure url="E" length=""/>)", expected_enclosure{"E", 0, std::nullopt}},
        {R"(<enclosure url="E" length="-20"/>)", expected_enclosure{"E", 0, std::nullopt}},
        {R"(<enclosure url="E" length="2147483648"/>)",
         expected_enclosure{"E", 2147483648LL, std::nullopt}},
        {R"(<enclosure url="E" length="4294967297"/>)",
         expected_enclosure{"E", 4294967297LL, std::nullopt}},
        {R"(<enclosure url="E" length=" +4294967396 bytes"/>)",
         expected_enclosure{"E", 4294967396LL, std::nullopt}},
        {R"(<enclosure url="E" length="-4294967396"/>)", expected_enclosure{"E", 0, std::nullopt}},
        {R"(<enclosure url="E" length="9223372036854775808"/>)",
         expected_enclosure{"E", 0, std::nullopt}},
        {R"(<enclosure url="E" length="2147483647"/>)",
         expected_enclosure{"E", 2147483647, std::nullopt}},
        {R"(<enclosure/>)", expected_enclosure{std::nullopt, 0, std::nullopt}},
        {R"(<enclosure url=" http://a/b?x=1&amp;y=2 " type=""/>)",
         expected_enclosure{" http://a/b?x=1&y=2 ", 0, ""}},
        {R"(<enclosure url="E1" length="1"/><enclosure url="E2" length="2" type="t"/>)",
         expected_enclosure{"E1", 1, std::nullopt}},
        {R"(<other:enclosure url="O" length="3"/>)", expected_enclosure{"O", 3, std::nullopt}},
        // Groups: only without direct content, and only their first content.
        {R"(<media:group><media:content url="G1" fileSize="5"/><media:content url="G2"/>
            </media:group>)",
         expected_enclosure{"G1", 5, std::nullopt}},
        {R"(<media:group><media:content url="G"/></media:group><media:content url="C"/>)",
         expected_enclosure{"C", 0, std::nullopt}},
        {R"(<media:group><media:content url="G" fileSize="9"/></media:group>
            <enclosure url="E" length="500" type="t"/>)",
         expected_enclosure{"G", 9, "t"}},
        {R"(<media:group/><enclosure url="E" length="500" type="t"/>)",
         expected_enclosure{"E", 500, "t"}},
        {R"(<media:group><content url="G"/></media:group>)", none},
        {R"(<media:group/>)", none},
        {R"(<media:group><slashed:content url="G"/></media:group>)", none},
        {R"(<slashed:group><media:content url="G"/></slashed:group>)", none},
        // Only the namespace without the trailing slash is Media RSS here.
        {R"(<slashed:content url="S" fileSize="5"/>)", none},
        {R"(<slashed:content url="S" fileSize="5"/><enclosure url="E" length="500" type="t"/>)",
         expected_enclosure{"E", 500, "t"}},
        {R"(<content url="N" fileSize="5"/>)", none},
        {R"(<content url="N" fileSize="5"/><media:content url="C"/>)",
         expected_enclosure{"C", 0, std::nullopt}},
        {R"(<other:content url="O"/><enclosure url="E"/>)",
         expected_enclosure{"E", 0, std::nullopt}},
        {R"(<other:wrap><media:content url="deep"/><enclosure url="deep"/></other:wrap>)", none},
        {R"(<title>nothing to take</title>)", none},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.item);
        const parse_result result =
            parse_text(directory, rss(std::string("<item>") + c.item + "</item>"));
        ASSERT_NE(result.document, nullptr) << result.error;
        ASSERT_EQ(result.document->items.size(), 1U);
        const std::optional<feed_enclosure> &enclosure = result.document->items[0].enclosure;
        ASSERT_EQ(enclosure.has_value(), c.expected.has_value());
        if (!enclosure)
            continue;
        EXPECT_EQ(enclosure->url, c.expected->url);
        EXPECT_EQ(enclosure->length, c.expected->length);
        EXPECT_EQ(enclosure->type, c.expected->type);
    }
}

TEST_F(feed_parse, refused_documents) {
    const struct {
        const char *what;
        std::string content;
        const char *tail; // what follows the path
        bool libxml2_reports;
    } cases[] = {
        {"Atom",
         R"(<?xml version="1.0"?><feed xmlns="http://www.w3.org/2005/Atom"><title>t</title></feed>)",
         ": Unrecognized top-level element feed.", false},
        {"RSS 1.0",
         R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#" xmlns="http://purl.org/rss/1.0/"><channel/></rdf:RDF>)",
         ": Unrecognized top-level element RDF.", false},
        {"capital RSS", "<RSS><channel/></RSS>", ": Unrecognized top-level element RSS.", false},
        {"empty file", "", ".", true},
        {"declaration only", "<?xml version=\"1.0\"?>\n", ".", true},
        {"comment only", "<!-- no root -->", ".", true},
        {"not well-formed", "<rss><channel></rss>", ".", true},
        {"truncated", rss("<item><title>cut").substr(0, 80), ".", true},
        {"invalid UTF-8",
         rss("<title>a\xff\xfe"
             "b</title>"),
         ".", true},
        {"unknown entity", rss("<title>&doesnotexist;</title>"), ".", true},
        {"entity name in capitals", rss("<title>&EACUTE;</title>"), ".", true},
        {"name outside HTML 4.01", rss("<title>&NewLine;</title>"), ".", true},
        {"bare ampersand", rss("<title>Society & Culture</title>"), ".", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const parse_result result = parse_text(directory, c.content);
        const std::string message = "Error parsing RSS file " + result.path + c.tail + "\n";
        if (c.libxml2_reports)
            expect_parse_message(result, message);
        else
            EXPECT_EQ(result.error, message);
        EXPECT_EQ(result.document, nullptr);
    }
}

TEST_F(feed_parse, missing_file) {
    const std::string path = directory / "absent.xml";
    fd_capture error(2);
    EXPECT_EQ(feed_parse_file(path.c_str()), nullptr);
    const std::string text = error.finish();
    const std::string message = "Error parsing RSS file " + path + ".\n";
    ASSERT_GE(text.size(), message.size());
    EXPECT_EQ(text.substr(text.size() - message.size()), message);
}

TEST_F(feed_parse, rss_without_channel_gives_nothing_silently) {
    for (const char *content : {"<rss version=\"2.0\"/>", "<rss><item/><other/></rss>",
                                "<rss xmlns:o=\"urn:o\"><o:channel_/></rss>"}) {
        SCOPED_TRACE(content);
        const parse_result result = parse_text(directory, content);
        EXPECT_EQ(result.document, nullptr);
        EXPECT_EQ(result.error, "");
    }
    // Any namespace: the channel is found by its local name.
    const parse_result result = parse_text(
        directory, R"(<x:rss xmlns:x="urn:x"><x:channel><title>t</title></x:channel></x:rss>)");
    ASSERT_NE(result.document, nullptr);
    EXPECT_EQ(result.document->channel_info.title, "t");
}

TEST_F(feed_parse, html_entities_become_character_references) {
    const struct {
        const char *title;
        const char *expected;
    } cases[] = {
        {"two&nbsp;words", "two&#160;words"},
        {"&Eacute;t&eacute;", "&#201;t&#233;"},
        {"&euro;&diams;&hellip;&Alpha;&alpha;", "&#8364;&#9830;&#8230;&#913;&#945;"},
        {"&amp;&lt;&gt;&quot;&apos;", "&<>\"'"},
        {"&#233;&#x20AC;", "\xc3\xa9\xe2\x82\xac"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title);
        const parse_result result =
            parse_text(directory, rss(std::string("<title>") + c.title + "</title>"));
        ASSERT_NE(result.document, nullptr) << result.error;
        EXPECT_EQ(result.document->channel_info.title, c.expected);
        EXPECT_EQ(result.error, "");
    }
}

TEST_F(feed_parse, html_entity_names_win_over_the_documents_declarations) {
    const parse_result result = parse_text(directory, R"(<?xml version="1.0"?>
<!DOCTYPE rss [<!ENTITY eacute "declared"> <!ENTITY show "My Show">]>
<rss><channel><title>&eacute; &show;</title><item><title>&show; 1</title></item></channel></rss>)");
    ASSERT_NE(result.document, nullptr) << result.error;
    EXPECT_EQ(result.document->channel_info.title, "&#233; My Show");
    EXPECT_EQ(result.document->items.at(0).title, "My Show 1");
}

// libxml2 writes a single-character predefined entity into an attribute
// value; for an HTML name only the first character of its reference text,
// the ampersand, arrives. Pinned here so that a change is noticed: the URL
// is the key of what state files record.
TEST_F(feed_parse, html_entity_in_an_attribute_keeps_only_the_ampersand) {
    const parse_result result = parse_text(
        directory,
        rss(R"(<item><enclosure url="http://a/caf&eacute;.mp3" type="a&nbsp;b"/></item>)"));
    ASSERT_NE(result.document, nullptr) << result.error;
    const auto &enclosure = result.document->items.at(0).enclosure;
    ASSERT_TRUE(enclosure.has_value());
    EXPECT_EQ(enclosure->url, "http://a/caf&.mp3");
    EXPECT_EQ(enclosure->type, "a&b");
}

TEST_F(feed_parse, external_entities_and_dtds_are_not_read) {
    const std::string secret = directory / "secret.txt";
    write_file(secret, "SECRET CONTENT");
    write_file(directory / "evil.dtd",
               "<!ENTITY title \"FROM THE DTD\"><!ENTITY % inner SYSTEM \"file://" + secret +
                   "\">");
    const std::string feed = "<?xml version=\"1.0\"?>\n<!DOCTYPE rss SYSTEM \"file://" +
                             (directory / "evil.dtd") + "\" [\n  <!ENTITY x SYSTEM \"file://" +
                             secret + "\">\n  <!ENTITY % p SYSTEM \"file://" + secret +
                             "\">\n  %p;\n]>\n<rss version=\"2.0\"><channel><title>a&x;b</title>"
                             "<item><title>&x;</title><description>[&x;]</description>"
                             "<enclosure url=\"E\"/></item></channel></rss>\n";
    const parse_result result = parse_text(directory, feed);
    ASSERT_NE(result.document, nullptr) << result.error;
    EXPECT_EQ(result.document->channel_info.title, "ab");
    const feed_item &item = result.document->items.at(0);
    EXPECT_EQ(item.title, std::nullopt);
    EXPECT_EQ(item.description, "[]");
    EXPECT_EQ(result.error.find("SECRET"), std::string::npos) << result.error;

    // With an external DTD that is not read, an entity it would declare is
    // no error, but it stands for nothing.
    const parse_result from_dtd = parse_text(
        directory,
        "<!DOCTYPE rss SYSTEM \"file://" + (directory / "evil.dtd") +
            "\"><rss><channel><title>&title;</title><link>[&title;]</link></channel></rss>",
        "dtd.xml");
    ASSERT_NE(from_dtd.document, nullptr) << from_dtd.error;
    EXPECT_EQ(from_dtd.document->channel_info.title, std::nullopt);
    EXPECT_EQ(from_dtd.document->channel_info.link, "[]");
}

TEST_F(feed_parse, entity_expansion_is_bounded) {
    std::string laughs = "<!ENTITY lol \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        const std::string previous = level == 1 ? "lol" : "lol" + std::to_string(level - 1);
        std::string value;
        for (int i = 0; i < 10; ++i)
            value += "&" + previous + ";";
        laughs += "<!ENTITY lol" + std::to_string(level) + " \"" + value + "\">";
    }
    // A hundred kilobytes referenced twenty thousand times: two gigabytes
    // of text that libxml2 lets through, as it does not substitute.
    const std::string big = "<!ENTITY big \"" + std::string(100000, 'A') + "\">";
    std::string many_references;
    for (int i = 0; i < 20000; ++i)
        many_references += "&big;";
    // Every enclosure without a url reads the declared default instead.
    const std::string long_default =
        "<!ATTLIST enclosure url CDATA \"" + std::string(100000, 'A') + "\">";
    std::string many_enclosures;
    for (int i = 0; i < 200; ++i)
        many_enclosures += "<item><enclosure/></item>";

    const struct {
        const char *what;
        std::string feed;
    } cases[] = {
        {"nested entities",
         "<!DOCTYPE rss [" + laughs + "]><rss><channel><title>&lol9;</title></channel></rss>"},
        {"nested entities in an attribute",
         "<!DOCTYPE rss [" + laughs +
             "]><rss><channel><item><enclosure url=\"&lol9;\"/></item></channel></rss>"},
        {"many references in a text", "<!DOCTYPE rss [" + big + "]><rss><channel><title>" +
                                          many_references + "</title></channel></rss>"},
        {"many references in an attribute", "<!DOCTYPE rss [" + big +
                                                "]><rss><channel><item><enclosure url=\"" +
                                                many_references + "\"/></item></channel></rss>"},
        {"many references in an element never read",
         "<!DOCTYPE rss [" + big + "]><rss><channel><other>" + many_references +
             "</other></channel></rss>"},
        {"an attribute default taken by many elements", "<!DOCTYPE rss [" + long_default +
                                                            "]><rss><channel>" + many_enclosures +
                                                            "</channel></rss>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const parse_result result = parse_text(directory, c.feed);
        expect_parse_message(result, "Error parsing RSS file " + result.path + ".\n");
    }

    // The same declarations used a few times are an ordinary feed.
    const parse_result modest = parse_text(
        directory, "<!DOCTYPE rss [" + big + "<!ATTLIST enclosure type CDATA \"" +
                       std::string(100000, 'T') + "\">]><rss><channel><title>&big;&big;</title>" +
                       "<item><enclosure url=\"&big;\"/></item></channel></rss>");
    ASSERT_NE(modest.document, nullptr) << modest.error;
    EXPECT_EQ(modest.document->channel_info.title, std::string(200000, 'A'));
    EXPECT_EQ(modest.document->items.at(0).enclosure->url, std::string(100000, 'A'));
    EXPECT_EQ(modest.document->items.at(0).enclosure->type, std::string(100000, 'T'));
}

// Items are read while the document is parsed and taken out of the tree;
// what they give, and what the channel around them gives, is the same as
// from a whole tree: channel fields after the items, a second channel,
// nested items, another root, and entity references whose expansion is only
// acceptable once the text at the end of the document counts.
TEST_F(feed_parse, items_read_during_the_parse_give_what_the_whole_tree_gives) {
    const std::string big = "<!DOCTYPE rss [<!ENTITY big \"" + std::string(100000, 'A') + "\">]>";
    std::string twenty_big;
    for (int i = 0; i < 20; ++i)
        twenty_big += "&big;";
    const std::string plain(200000, 'p');

    const struct {
        const char *what;
        std::string feed;
        std::optional<std::string> channel_title;
        std::vector<std::string> titles; // each item's title, "none" for none
    } cases[] = {
        {"channel fields after the items",
         "<rss><channel><item><title>a</title></item>\n<title>Late</title>"
         "<item><title>b</title><item><title>nested</title></item></item>"
         "<item/></channel><channel><item><title>second channel</title></item></channel></rss>",
         "Late",
         {"a", "b", "none"}},
        {"references acceptable only with the text after them",
         big + "<rss><channel><item><title>" + twenty_big + "</title></item>" +
             "<item><title>after</title></item><other>" + plain + "</other></channel></rss>",
         std::nullopt,
         {std::string(2000000, 'A'), "after"}},
        {"references acceptable with the text before them",
         big + "<rss><channel><other>" + plain + "</other><item><title>" + twenty_big +
             "</title></item><item><title>after</title></item></channel></rss>",
         std::nullopt,
         {std::string(2000000, 'A'), "after"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const parse_result result = parse_text(directory, c.feed);
        ASSERT_NE(result.document, nullptr) << result.error;
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(result.document->channel_info.title, c.channel_title);
        std::vector<std::string> titles;
        for (const feed_item &item : result.document->items)
            titles.push_back(item.title.value_or("none"));
        EXPECT_TRUE(titles == c.titles);
    }

    // The same with a root of another name reads no item and says so.
    const parse_result other_root =
        parse_text(directory, "<feed><channel><item><title>a</title></item></channel></feed>");
    expect_parse_message(other_root, "Error parsing RSS file " + other_root.path +
                                         ": Unrecognized top-level element feed.\n");
    // A document that breaks off after items were read gives nothing.
    const parse_result cut_off =
        parse_text(directory, "<rss><channel><item><title>a</title></item><item>");
    expect_parse_message(cut_off, "Error parsing RSS file " + cut_off.path + ".\n");
    // References beyond the bound refuse the document however far the items
    // were read.
    const parse_result refused =
        parse_text(directory, big + "<rss><channel><item><title>a</title></item><item><title>" +
                                  twenty_big + "</title></item></channel></rss>");
    expect_parse_message(refused, "Error parsing RSS file " + refused.path + ".\n");
}

TEST_F(feed_parse, large_feed) {
    const std::string path = directory / "large.xml";
    {
        std::ofstream out(path, std::ios::binary);
        out << "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel><title>Large</title>\n";
        const std::string description(400, 'd');
        for (int i = 0; i < 100000; ++i)
            out << "<item><title>Episode " << i << "</title><description>" << description
                << "</description><pubDate>Mon, 01 Jan 2024 00:00:00 GMT</pubDate>"
                << "<enclosure url=\"http://example.com/" << i << ".mp3\" length=\"" << i
                << "\" type=\"audio/mpeg\"/></item>\n";
        out << "</channel></rss>\n";
    }
    ASSERT_GT(std::filesystem::file_size(path), 50'000'000U);
    const std::unique_ptr<feed_document> document = feed_parse_file(path.c_str());
    ASSERT_NE(document, nullptr);
    ASSERT_EQ(document->items.size(), 100000U);
    for (int i : {0, 1, 54321, 99999}) {
        SCOPED_TRACE(i);
        const feed_item &item = document->items[static_cast<size_t>(i)];
        EXPECT_EQ(item.title, "Episode " + std::to_string(i));
        ASSERT_TRUE(item.enclosure.has_value());
        EXPECT_EQ(item.enclosure->url, "http://example.com/" + std::to_string(i) + ".mp3");
        EXPECT_EQ(item.enclosure->length, i);
    }
}

TEST(feed_parse_real, fixtures) {
    const struct {
        const char *file;
        feed_version version;
        size_t items;
        const char *channel_title;
        std::optional<std::string> first_url; // of the first item's enclosure
        int64_t first_length;
    } cases[] = {
        // The Media RSS elements use the slashed namespace: no enclosure.
        {"podcastparser__mediarss.xml", FEED_VERSION_UNKNOWN, 1, "Podcast", std::nullopt, 0},
        {"feed-rs__rss_2.0_dbengines.xml", FEED_VERSION_2_0, 1, "DB-Engines.com Blog", std::nullopt,
         0},
        {"rss-parser__heraldsun.xml", FEED_VERSION_0_92, 2, "RSS0.92 Example",
         "http://www.oreilly.com/001.mp3", 54321},
        {"node-podcast-parser__apple-example.xml", FEED_VERSION_2_0, 3, "All About Everything",
         "http://example.com/podcasts/everything/AllAboutEverythingEpisode3.m4a", 8727310},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = std::string(SKIFFER_TEST_DATA) + "/" + c.file;
        fd_capture error(2);
        const std::unique_ptr<feed_document> document = feed_parse_file(path.c_str());
        EXPECT_EQ(error.finish(), "");
        ASSERT_NE(document, nullptr);
        EXPECT_EQ(document->version, c.version);
        EXPECT_EQ(document->channel_info.title, c.channel_title);
        ASSERT_EQ(document->items.size(), c.items);
        const auto &enclosure = document->items[0].enclosure;
        EXPECT_EQ(enclosure.has_value(), c.first_url.has_value());
        if (enclosure) {
            EXPECT_EQ(enclosure->url, c.first_url);
            EXPECT_EQ(enclosure->length, c.first_length);
        }
    }
}

TEST(feed_parse_real, text_as_the_feed_gives_it) {
    const std::string dbengines =
        std::string(SKIFFER_TEST_DATA) + "/feed-rs__rss_2.0_dbengines.xml";
    const std::unique_ptr<feed_document> document = feed_parse_file(dbengines.c_str());
    ASSERT_NE(document, nullptr);
    const std::optional<std::string> &description = document->items.at(0).description;
    ASSERT_TRUE(description.has_value());
    EXPECT_NE(description->find("in our&#160;DB-Engines Ranking&#160;within"), std::string::npos)
        << *description;

    const std::string apple =
        std::string(SKIFFER_TEST_DATA) + "/node-podcast-parser__apple-example.xml";
    const std::unique_ptr<feed_document> podcast = feed_parse_file(apple.c_str());
    ASSERT_NE(podcast, nullptr);
    EXPECT_EQ(podcast->items.at(2).title, "Red,Whine, & Blue");
    EXPECT_EQ(podcast->items.at(1).pubDate, "Wed, 8 Jun 2014 19:00:00 GMT");
    EXPECT_EQ(podcast->items.at(1).enclosure->type, "audio/mpeg");

    // Declared as ISO-8859-1; every text comes out as UTF-8.
    const std::string latin1 = std::string(SKIFFER_TEST_DATA) + "/feed-rs__rss_2.0_encoding_1.xml";
    const std::unique_ptr<feed_document> converted = feed_parse_file(latin1.c_str());
    ASSERT_NE(converted, nullptr);
    EXPECT_EQ(converted->channel_info.title,
              "RSS Feed do Site Inova\xc3\xa7\xc3\xa3o Tecnol\xc3\xb3gica");
}

// The loopback server, started once for the tests that fetch feeds.
class feed_fetch_test : public loopback_suite {
protected:
    // The request lines the server has logged so far, one JSON object each.
    static std::string requests() { return server_->requests(); }
};

TEST_F(feed_fetch_test, good_feed) {
    const std::string url = serve("good.xml", rss("<title>Fetched</title><item>"
                                                  "<enclosure url=\"http://e/1.mp3\" length=\"5\"/>"
                                                  "</item>"));
    fd_capture error(2);
    const std::unique_ptr<feed_document> document = feed_fetch(url, 0);
    EXPECT_EQ(error.finish(), "");
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(document->channel_info.title, "Fetched");
    ASSERT_EQ(document->items.size(), 1U);
    EXPECT_EQ(document->items[0].enclosure->url, "http://e/1.mp3");
    // Compressed transfers are decoded before the parser sees them.
    fd_capture gzip_error(2);
    const std::unique_ptr<feed_document> decoded = feed_fetch(server_->url("/gzip/good.xml"), 0);
    EXPECT_EQ(gzip_error.finish(), "");
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->channel_info.title, "Fetched");
}

TEST_F(feed_fetch_test, http_error_is_a_retrieval_failure) {
    const std::string url = server_->url("/status/404");
    fd_capture error(2);
    EXPECT_EQ(feed_fetch(url, 0), nullptr);
    EXPECT_EQ(error.finish(),
              "Error retrieving " + url + ": The requested URL returned error: 404\n");
}

TEST_F(feed_fetch_test, unparsable_feed_names_the_removed_temporary_file) {
    const std::string url = serve("broken.xml", "<rss><channel><title>cut");
    fd_capture error(2);
    EXPECT_EQ(feed_fetch(url, 0), nullptr);
    const std::string text = error.finish();
    const std::string prefix = "Error parsing RSS file ";
    const size_t at = text.rfind(prefix);
    ASSERT_NE(at, std::string::npos) << text;
    ASSERT_EQ(text.back(), '\n');
    const std::string path = text.substr(at + prefix.size(), text.size() - at - prefix.size() - 2);
    EXPECT_EQ(text.substr(at), prefix + path + ".\n");
    EXPECT_EQ(path.find(root_->path()), std::string::npos);
    EXPECT_EQ(path.rfind(std::string(g_get_tmp_dir()) + "/", 0), 0U) << path;
    EXPECT_FALSE(std::filesystem::exists(path)) << path;
}

TEST_F(feed_fetch_test, nothing_else_is_fetched) {
    const std::string &base = server_->base();
    const std::string feed = "<?xml version=\"1.0\"?>\n<!DOCTYPE rss SYSTEM \"" + base +
                             "/probe/dtd\" [\n  <!ENTITY x SYSTEM \"" + base +
                             "/probe/entity\">\n  <!ENTITY % p SYSTEM \"" + base +
                             "/probe/parameter\">\n  %p;\n]>\n<rss><channel><title>a&x;b</title>"
                             "</channel></rss>\n";
    const std::string url = serve("probe.xml", feed);
    const std::string local = *root_ / "probe.xml";
    fd_capture error(2);
    const std::unique_ptr<feed_document> fetched = feed_fetch(url, 0);
    const std::unique_ptr<feed_document> parsed = feed_parse_file(local.c_str());
    error.finish();
    ASSERT_NE(fetched, nullptr);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(fetched->channel_info.title, "ab");
    EXPECT_EQ(parsed->channel_info.title, "ab");
    const std::string log = requests();
    EXPECT_NE(log.find("/probe.xml"), std::string::npos) << log;
    EXPECT_EQ(log.find("/probe/"), std::string::npos) << log;
}

// The temporary file lies in the temporary directory, which GLib reads once
// per process; so the check runs in a fresh process of this test binary,
// which takes a temporary directory of its own before anything asks GLib.
TEST(feed_fetch, failed_download_leaves_no_temporary_file) {
    EXPECT_EXIT(
        {
            char directory[] = "/tmp/skiffer-feed-test-XXXXXX";
            if (mkdtemp(directory) == nullptr)
                std::_Exit(2);
            setenv("TMPDIR", directory, 1);
            if (std::string(g_get_tmp_dir()) != directory)
                std::_Exit(3);
            // Nothing listens on port 1 of the loopback interface.
            const bool refused = feed_fetch("http://127.0.0.1:1/feed.xml", 0) == nullptr;
            const bool empty = directory_entries(directory).empty();
            std::filesystem::remove_all(directory);
            std::_Exit(refused && empty ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Error retrieving http://127.0.0.1:1/feed.xml: ");
}

} // namespace
} // namespace skiffer
