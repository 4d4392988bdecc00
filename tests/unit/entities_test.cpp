#include "entities.hpp"

#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>

namespace skiffer {
namespace {

const xmlChar *xml(const char *text) {
    return reinterpret_cast<const xmlChar *>(text);
}

std::string text_of(const xmlChar *text) {
    return reinterpret_cast<const char *>(text);
}

std::string reference_for(unsigned code_point) {
    return "&#" + std::to_string(code_point) + ";";
}

// libxml2's HTML 4 entity list, by name. It can only be walked by code point;
// it also has `apos`, which HTML 4.01 lacks.
std::map<std::string, unsigned> libxml2_html_entities() {
    std::map<std::string, unsigned> names;
    for (unsigned code_point = 0; code_point < 0x10000; ++code_point)
        if (const htmlEntityDesc *entity = htmlEntityValueLookup(code_point))
            names.emplace(entity->name, entity->value);
    return names;
}

TEST(build_entity_table, holds_exactly_the_html_4_01_names) {
    const entity_table table = build_entity_table();
    EXPECT_EQ(table.size(), 252U);
    for (const auto &[name, record] : table) {
        SCOPED_TRACE(name);
        const htmlEntityDesc *entity = htmlEntityLookup(xml(name.c_str()));
        ASSERT_NE(entity, nullptr);
        const std::string expected = reference_for(entity->value);
        EXPECT_EQ(record.type, XML_ENTITY_DECL);
        EXPECT_EQ(record.etype, XML_INTERNAL_PREDEFINED_ENTITY);
        EXPECT_EQ(text_of(record.name), name);
        EXPECT_EQ(text_of(record.content), expected);
        EXPECT_EQ(text_of(record.orig), expected);
        EXPECT_EQ(record.length, static_cast<int>(expected.size()));
        EXPECT_EQ(record.children, nullptr);
        EXPECT_EQ(record.parent, nullptr);
        EXPECT_EQ(record.doc, nullptr);
        EXPECT_EQ(record.next, nullptr);
        EXPECT_EQ(record.ExternalID, nullptr);
        EXPECT_EQ(record.SystemID, nullptr);
        EXPECT_EQ(record.URI, nullptr);
        EXPECT_EQ(record.checked, 0);
    }
    EXPECT_EQ(table.count("apos"), 0U);
}

TEST(resolve_entity, answers_every_html_4_01_name_with_its_character_reference) {
    const auto names = libxml2_html_entities();
    ASSERT_EQ(names.size(), 253U); // the 252 names and apos
    for (const auto &[name, code_point] : names) {
        SCOPED_TRACE(name);
        xmlEntityPtr entity = resolve_entity(nullptr, xml(name.c_str()));
        ASSERT_NE(entity, nullptr);
        if (xmlEntityPtr predefined = xmlGetPredefinedEntity(xml(name.c_str()))) {
            // amp, lt, gt, quot and apos are libxml2's own records.
            EXPECT_EQ(entity, predefined);
            continue;
        }
        EXPECT_EQ(text_of(entity->content), reference_for(code_point));
        EXPECT_EQ(entity->etype, XML_INTERNAL_PREDEFINED_ENTITY);
    }
}

TEST(resolve_entity, samples_from_each_set_in_both_cases) {
    const struct {
        const char *name;
        const char *expected; // null: not resolved
    } cases[] = {
        {"nbsp", "&#160;"},
        {"eacute", "&#233;"},
        {"Eacute", "&#201;"},
        {"yuml", "&#255;"},
        {"copy", "&#169;"},
        {"fnof", "&#402;"},
        {"Alpha", "&#913;"},
        {"alpha", "&#945;"},
        {"hellip", "&#8230;"},
        {"diams", "&#9830;"},
        {"lArr", "&#8656;"},
        {"larr", "&#8592;"},
        {"euro", "&#8364;"},
        {"OElig", "&#338;"},
        {"oelig", "&#339;"},
        {"Dagger", "&#8225;"},
        {"dagger", "&#8224;"},
        {"zwnj", "&#8204;"},
        // Exact names only: other cases, other vocabularies, partial names.
        {"EACUTE", nullptr},
        {"NBSP", nullptr},
        {"Euro", nullptr},
        {"ALPHA", nullptr},
        {"AMP", nullptr},
        {"NewLine", nullptr},
        {"hbar", nullptr},
        {"eacute;", nullptr},
        {"eacut", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        xmlEntityPtr entity = resolve_entity(nullptr, xml(c.name));
        if (c.expected == nullptr) {
            EXPECT_EQ(entity, nullptr);
            continue;
        }
        ASSERT_NE(entity, nullptr);
        EXPECT_STREQ(reinterpret_cast<const char *>(entity->content), c.expected);
        EXPECT_STREQ(reinterpret_cast<const char *>(entity->name), c.name);
    }
}

TEST(resolve_entity, predefined_names_are_libxml2s_records) {
    for (const char *name : {"amp", "lt", "gt", "quot", "apos"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(resolve_entity(nullptr, xml(name)), xmlGetPredefinedEntity(xml(name)));
    }
}

TEST(resolve_entity, keeps_one_table_for_the_run) {
    EXPECT_EQ(resolve_entity(nullptr, xml("eacute")), resolve_entity(nullptr, xml("eacute")));
}

} // namespace
} // namespace skiffer
