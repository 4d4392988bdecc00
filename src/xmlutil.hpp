#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "common.hpp"

namespace skiffer {

using xml_document_ptr = c_ptr<xmlDoc, xmlFreeDoc>;
using xml_parser_context_ptr = c_ptr<xmlParserCtxt, xmlFreeParserCtxt>;

// Number of child elements of `element` whose local name is `name`, in any namespace.
int32_t xml_count_children(const xmlNode *element, const char *name);

// Calls `callback(index, child)` for every child element named `name`, in
// document order, with an index counting only the matches.
void xml_foreach_child(xmlNode *element, const char *name,
                       const std::function<void(int32_t, xmlNode *)> &callback);

// The first child element named `name` and, when `namespace_uri` is not null,
// in exactly that namespace; null when there is none.
xmlNode *xml_find_child(xmlNode *element, const char *namespace_uri, const char *name);

// A copy of the attribute's value, found by name whatever its namespace, with
// entity references replaced, as xmlGetProp gives it; none when the element
// lacks it. Present but empty gives "".
std::optional<std::string> xml_get_attribute(xmlNode *element, const char *name);

// The attribute read as a signed 64-bit decimal number as strtoll does
// (leading white space, a sign, the digits up to the first other character:
// " 42", "+42" and "42abc" are 42; no digits give 0); 0 when it does not fit
// 64 bits; -1 when absent.
int64_t xml_get_int_attribute(xmlNode *element, const char *name);

// The element's text, CDATA and entity reference children joined in
// document order, untrimmed, as xmlNodeListGetString(doc, children, 1) gives
// it; child elements contribute nothing. None when no child gives text (no
// children at all, or only elements and comments).
std::optional<std::string> xml_get_text(xmlNode *element);

// Has libxml2 print its own messages on standard error with the control
// characters of every line escaped as printable() shows them: a message
// about a broken document quotes the offending line, which from a feed can
// hold escape sequences. For the whole process, from the first document on.
void xml_escape_messages();

} // namespace skiffer
