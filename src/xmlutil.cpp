#include "xmlutil.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <glib.h>
#include <libxml/entities.h>
#include <libxml/xmlerror.h>

#include "output.hpp"

namespace skiffer {

namespace {

bool is_named_element(const xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

// Appends to `text` what xmlNodeListGetString(doc, list, 1) gives for the
// sibling list from `list` on, and tells whether that would be a string at
// all rather than null. The library function appends piece by piece to a
// string that it measures afresh each time, which takes quadratic time over
// a text split into many pieces (comments in between, or many entity
// references), and a feed from anywhere can be built that way.
bool append_text(xmlDoc *doc, const xmlNode *list, std::string &text) {
    bool any = false;
    for (const xmlNode *node = list; node != nullptr; node = node->next) {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            if (node->content != nullptr) {
                text += reinterpret_cast<const char *>(node->content);
                any = true;
            }
        } else if (node->type == XML_ENTITY_REF_NODE) {
            // A reference stands for its entity's parsed content; a reference
            // to an entity the document does not declare, for its own content.
            if (xmlEntity *entity = xmlGetDocEntity(doc, node->name)) {
                if (append_text(doc, entity->children, text))
                    any = true;
            } else if (node->content != nullptr) {
                text += reinterpret_cast<const char *>(node->content);
                any = true;
            }
        }
    }
    return any;
}

// libxml2's message function: a message comes in pieces, and the line ends
// in them stay line ends.
void print_xml_message(void *, const char *format, ...) G_GNUC_PRINTF(2, 3);
void print_xml_message(void *, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    gchar_ptr text(g_strdup_vprintf(format, arguments));
    va_end(arguments);
    std::string shown;
    std::string_view rest(text.get());
    for (;;) {
        const std::string_view::size_type end = rest.find('\n');
        shown += printable(rest.substr(0, end));
        if (end == std::string_view::npos)
            break;
        shown += '\n';
        rest.remove_prefix(end + 1);
    }
    current_output().write(output_stream::err, shown);
}

} // namespace

void xml_escape_messages() {
    xmlSetGenericErrorFunc(nullptr, print_xml_message);
}

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
    // What xmlGetProp gives, without its quadratic joining of a value split
    // by entity references: the attribute whatever its namespace, else a
    // default value that the document's DTD declares for it.
    xmlAttr *attribute = xmlHasProp(element, reinterpret_cast<const xmlChar *>(name));
    if (attribute == nullptr)
        return std::nullopt;
    if (attribute->type == XML_ATTRIBUTE_DECL) {
        const xmlChar *value = reinterpret_cast<xmlAttribute *>(attribute)->defaultValue;
        if (value == nullptr)
            return std::nullopt;
        return std::string(reinterpret_cast<const char *>(value));
    }
    std::string value;
    append_text(attribute->doc, attribute->children, value);
    return value;
}

int64_t xml_get_int_attribute(xmlNode *element, const char *name) {
    const std::optional<std::string> value = xml_get_attribute(element, name);
    if (!value)
        return -1;
    // g_ascii_strtoll reads as strtoll does in the POSIX locale, whatever
    // the process's locale: white space, a sign, then digits up to the first
    // other character; text without digits gives 0.
    errno = 0;
    const gint64 number = g_ascii_strtoll(value->c_str(), nullptr, 10);
    // A number beyond 64 bits is no size at all; saturated, it would show as
    // exabytes.
    if (errno == ERANGE)
        return 0;
    return number;
}

std::optional<std::string> xml_get_text(xmlNode *element) {
    std::string text;
    if (!append_text(element->doc, element->children, text))
        return std::nullopt;
    return text;
}

} // namespace skiffer
