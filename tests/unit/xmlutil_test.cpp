#include "xmlutil.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "test_support.hpp"

namespace skiffer {
namespace {

xml_document_ptr parse(const std::string &text) {
    xml_document_ptr doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), "test.xml", nullptr, 0));
    EXPECT_NE(doc, nullptr) << text;
    return doc;
}

xmlNode *root_of(const xml_document_ptr &doc) {
    return xmlDocGetRootElement(doc.get());
}

// The `id` attribute of a found child, the easiest way to tell children apart.
std::optional<std::string> id_of(xmlNode *node) {
    if (node == nullptr)
        return std::nullopt;
    return xml_get_attribute(node, "id");
}

// A channel in the shape real feeds take: prefixed and default namespaces,
// comments, white space, a processing instruction and text between children.
const char *const channel_xml = R"(<?xml version="1.0"?>
<channel xmlns:media="http://search.yahoo.com/mrss"
         xmlns:slashed="http://search.yahoo.com/mrss/"
         xmlns:other="urn:other">
  <other:title id="t1">foreign</other:title>
  <title id="t2">own</title>
  text between children
  <item id="i1"><item id="nested"/></item>
  <!-- a comment between the items -->
  <?pi item?>
  <Item id="upper"/>
  <other:item id="i2"/>
  <content id="c-none"/>
  <slashed:content id="c-slash"/>
  <media:content id="c-media"/>
  <media:content id="c-media-2"/>
  <item id="i3"/>
</channel>)";

TEST(xml_find_child, match_rules) {
    const xml_document_ptr doc = parse(channel_xml);
    xmlNode *channel = root_of(doc);
    const struct {
        const char *namespace_uri;
        const char *name;
        std::optional<std::string> expected;
    } cases[] = {
        // Without a namespace URI the first child of that name wins, whatever
        // its namespace.
        {nullptr, "title", "t1"},
        {nullptr, "item", "i1"},
        {nullptr, "content", "c-none"},
        {"urn:other", "title", "t1"},
        // Only exact namespace matches: no namespace and the slashed URI are
        // passed over.
        {"http://search.yahoo.com/mrss", "content", "c-media"},
        {"http://search.yahoo.com/mrss/", "content", "c-slash"},
        {"http://search.yahoo.com/MRSS", "content", std::nullopt},
        {"", "content", std::nullopt},
        {"http://search.yahoo.com/mrss", "title", std::nullopt},
        // Names are exact and case-sensitive; prefixes are not part of them.
        {nullptr, "ITEM", std::nullopt},
        {nullptr, "Item", "upper"},
        {nullptr, "media:content", std::nullopt},
        {nullptr, "pi", std::nullopt},
        {nullptr, "channel", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.namespace_uri ? c.namespace_uri : "(none)") + " " + c.name);
        EXPECT_EQ(id_of(xml_find_child(channel, c.namespace_uri, c.name)), c.expected);
    }
}

TEST(xml_count_children, counts_direct_elements_of_the_name_in_any_namespace) {
    const xml_document_ptr doc = parse(channel_xml);
    xmlNode *channel = root_of(doc);
    EXPECT_EQ(xml_count_children(channel, "item"), 3);
    EXPECT_EQ(xml_count_children(channel, "content"), 4);
    EXPECT_EQ(xml_count_children(channel, "Item"), 1);
    EXPECT_EQ(xml_count_children(channel, "nothing"), 0);
}

TEST(xml_foreach_child, visits_matches_in_order_with_a_running_index) {
    const xml_document_ptr doc = parse(channel_xml);
    xmlNode *channel = root_of(doc);
    std::vector<std::pair<int32_t, std::optional<std::string>>> seen;
    xml_foreach_child(channel, "item", [&](int32_t index, xmlNode *child) {
        seen.emplace_back(index, id_of(child));
    });
    const std::vector<std::pair<int32_t, std::optional<std::string>>> expected = {
        {0, "i1"}, {1, "i2"}, {2, "i3"}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(static_cast<int32_t>(seen.size()), xml_count_children(channel, "item"));
}

TEST(xml_helpers, element_without_children) {
    const xml_document_ptr doc = parse("<r><empty/><pair></pair></r>");
    for (const char *name : {"empty", "pair"}) {
        SCOPED_TRACE(name);
        xmlNode *element = xml_find_child(root_of(doc), nullptr, name);
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(xml_count_children(element, "item"), 0);
        int calls = 0;
        xml_foreach_child(element, "item", [&](int32_t, xmlNode *) { ++calls; });
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(xml_find_child(element, nullptr, "item"), nullptr);
        EXPECT_EQ(xml_get_text(element), std::nullopt);
    }
}

TEST(xml_get_attribute, present_empty_absent_and_namespaced) {
    const xml_document_ptr doc =
        parse(R"(<r xmlns:x="urn:x" url="a&amp;b&#233;" empty="" x:size="7"/>)");
    xmlNode *r = root_of(doc);
    EXPECT_EQ(xml_get_attribute(r, "url"), "a&b\xc3\xa9");
    EXPECT_EQ(xml_get_attribute(r, "empty"), "");
    EXPECT_EQ(xml_get_attribute(r, "size"), "7");
    EXPECT_EQ(xml_get_attribute(r, "URL"), std::nullopt);
    EXPECT_EQ(xml_get_attribute(r, "missing"), std::nullopt);
}

TEST(xml_get_int_attribute, converts_as_strtoll_with_out_of_range_as_zero) {
    const struct {
        std::optional<std::string> text;
        int64_t expected;
    } cases[] = {
        {std::nullopt, -1},
        {"", 0},
        {"250", 250},
        {" 42", 42},
        {"\t\n 42", 42},
        {"+7", 7},
        {"+42", 42},
        {"12abc", 12},
        {"42abc", 42},
        {"abc", 0},
        {"0x10", 0},
        {"010", 10},
        {"-5", -5},
        {"-1", -1},
        {"2147483647", 2147483647},
        // Every 64-bit value is kept whole.
        {"2147483648", 2147483648LL},
        {"4294967297", 4294967297LL},
        {"4294967295", 4294967295LL},
        {"4294967396", 4294967396LL},
        {"-2147483649", -2147483649LL},
        {"5000000000", 5000000000LL},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        // Beyond 64 bits there is no number.
        {"9223372036854775808", 0},
        {"99999999999999999999", 0},
        {"-99999999999999999999", 0},
        {"99999999999999999999abc", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        std::string xml = "<r";
        if (c.text)
            xml += " n=\"" + *c.text + "\"";
        xml += "/>";
        const xml_document_ptr doc = parse(xml);
        EXPECT_EQ(xml_get_int_attribute(root_of(doc), "n"), c.expected);
    }
}

TEST(xml_get_text, joins_text_untrimmed) {
    const struct {
        const char *content;
        std::optional<std::string> expected;
    } cases[] = {
        {"  A&amp;B  ", "  A&B  "},
        {"<![CDATA[<b>bold</b>]]> and text", "<b>bold</b> and text"},
        {"before<child>inner</child>after", "beforeafter"},
        {"\n  line one\n  line two\n", "\n  line one\n  line two\n"},
        {"x<!-- gone -->y", "xy"},
        {"&lt;&gt;&quot;&apos;&#233;&#x20AC;", "<>\"'\xc3\xa9\xe2\x82\xac"},
        {"&e;", "entity text"},
        {"a&nested;b", "a[entity text]b"},
        {"<child>only a child</child>", std::nullopt},
        {"<!-- only a comment -->", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        // Declared entities stay entity references in the tree, so these
        // also show that references are replaced by their text.
        const xml_document_ptr doc = parse(std::string("<!DOCTYPE r [<!ENTITY e \"entity text\">"
                                                       "<!ENTITY nested \"[&e;]\">]><r>") +
                                           c.content + "</r>");
        EXPECT_EQ(xml_get_text(root_of(doc)), c.expected);
    }
}

// The text and attribute readers join the pieces themselves, in linear time;
// libxml2's own functions are the reference for what they must give.
TEST(xml_helpers, read_as_libxml2_does) {
    const xml_document_ptr doc = parse(R"(<!DOCTYPE r [
  <!ENTITY e "entity text">
  <!ENTITY empty "">
  <!ENTITY markup "<b>bold</b> tail &e;">
  <!ENTITY nested "[&e;|&markup;|&empty;]">
  <!ENTITY flat "[&e;|&empty;]">
  <!ATTLIST x fixed CDATA #FIXED "fixed value" plain CDATA "default value" implied CDATA #IMPLIED>
]>
<r>
  <x a="1" />
  <x a="&e;" b="&empty;" c="x&flat;y&amp;&#65;&e;" d="" />
  <x fixed="fixed value" plain="given" />
  <x>&empty;</x>
  <x>&markup;</x>
  <x>a&nested;b<![CDATA[c&e;]]><?pi d?>e<!-- f -->&lt;</x>
  <x>&e;&e;&e;<y>&e;</y>&e;</x>
  <x><y>inner</y></x>
  <x/>
</r>)");
    int index = 0;
    for (xmlNode *x = root_of(doc)->children; x != nullptr; x = x->next) {
        if (x->type != XML_ELEMENT_NODE)
            continue;
        SCOPED_TRACE("x number " + std::to_string(index++));
        xmlChar *text = xmlNodeListGetString(doc.get(), x->children, 1);
        const std::optional<std::string> expected_text =
            text ? std::optional<std::string>(reinterpret_cast<const char *>(text)) : std::nullopt;
        xmlFree(text);
        EXPECT_EQ(xml_get_text(x), expected_text);
        for (const char *name : {"a", "b", "c", "d", "fixed", "plain", "implied", "none"}) {
            SCOPED_TRACE(name);
            xmlChar *value = xmlGetProp(x, reinterpret_cast<const xmlChar *>(name));
            const std::optional<std::string> expected_value =
                value ? std::optional<std::string>(reinterpret_cast<const char *>(value))
                      : std::nullopt;
            xmlFree(value);
            EXPECT_EQ(xml_get_attribute(x, name), expected_value);
        }
    }
    EXPECT_EQ(index, 9);
    // Spot checks that the reference itself reads as intended.
    xmlNode *second = xml_find_child(root_of(doc), nullptr, "x")->next->next;
    EXPECT_EQ(xml_get_attribute(second, "c"), "x[entity text|]y&Aentity text");
    EXPECT_EQ(xml_get_attribute(second, "b"), "");
    EXPECT_EQ(xml_get_attribute(second, "plain"), "default value");
}

TEST(xml_escape_messages, quoted_lines_show_control_characters_escaped) {
    const std::string broken = "<?xml version=\"1.0\"?>\n<a>\x1b[31mred\xc2\x9b</a>\n";
    xml_escape_messages();
    test::fd_capture err(2);
    xml_document_ptr doc(
        xmlReadMemory(broken.data(), static_cast<int>(broken.size()), "broken.xml", nullptr, 0));
    std::string message = err.finish();
    xmlSetGenericErrorFunc(nullptr, nullptr);

    EXPECT_EQ(doc, nullptr);
    EXPECT_EQ(message, "broken.xml:2: parser error : PCDATA invalid Char value 27\n"
                       "<a>\\x1b[31mred\\u009b</a>\n"
                       "   ^\n");
}

} // namespace
} // namespace skiffer
