#include "xmlutil.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <libxml/xmlmemory.h>

namespace skiffer {

namespace {

// Strings handed out by libxml2 must go back through xmlFree, which is a
// function pointer variable rather than a function.
struct xml_string_deleter {
    void operator()(xmlChar *text) const { xmlFree(text); }
};
using xml_string = std::unique_ptr<xmlChar, xml_string_deleter>;

bool is_named_element(const xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

std::optional<std::string> copy_of(const xml_string &text) {
    if (!text)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(text.get()));
}

} // namespace

int32_t xml_count_children(const xmlNode *element, const char *name) {
    int32_t count = 0;
    for (const xmlNode *child = element->children; child != nullptr; child = child->next)
        if (is_named_element(child, name))
            ++count;
    return count;
}

void xml_foreach_child(xmlNode *element, const char *name,
                       const std::function<void(int32_t, xmlNode *)> &callback) {
    int32_t index = 0;
    // The sibling link is read after the callback returns; callers fill in
    // records and never unlink the child they are given.
    for (xmlNode *child = element->children; child != nullptr; child = child->next)
        if (is_named_element(child, name))
            callback(index++, child);
}

xmlNode *xml_find_child(xmlNode *element, const char *namespace_uri, const char *name) {
    for (xmlNode *child = element->children; child != nullptr; child = child->next) {
        if (!is_named_element(child, name))
            continue;
        if (namespace_uri == nullptr)
            return child;
        // Exact comparison on purpose: a URI with a trailing slash is another
        // namespace, and an element without namespace never matches one.
        if (child->ns != nullptr && child->ns->href != nullptr &&
            std::strcmp(reinterpret_cast<const char *>(child->ns->href), namespace_uri) == 0)
            return child;
    }
    return nullptr;
}

std::optional<std::string> xml_get_attribute(xmlNode *element, const char *name) {
    xml_string value(xmlGetProp(element, reinterpret_cast<const xmlChar *>(name)));
    return copy_of(value);
}

int64_t xml_get_int_attribute(xmlNode *element, const char *name) {
    xml_string value(xmlGetProp(element, reinterpret_cast<const xmlChar *>(name)));
    if (!value)
        return -1;
    // strtol saturates at the bounds of long; only the low 32 bits are kept
    // afterwards, read as a two's-complement value, so a huge size wraps
    // instead of being clamped.
    const long number = std::strtol(reinterpret_cast<const char *>(value.get()), nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(number));
}

std::optional<std::string> xml_get_text(xmlNode *element) {
    // With inLine set, entity reference children contribute the text of
    // their entity instead of the bare reference.
    xml_string text(xmlNodeListGetString(element->doc, element->children, 1));
    return copy_of(text);
}

} // namespace skiffer
