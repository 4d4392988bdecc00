#pragma once

#include <string>
#include <unordered_map>

#include <libxml/entities.h>
#include <libxml/parser.h>

namespace skiffer {

// The HTML 4.01 character entities by name, each held as the entity record
// that resolve_entity hands to the parser.
using entity_table = std::unordered_map<std::string, xmlEntity>;

// Builds the table of all 252 HTML 4.01 character entity names (Latin-1,
// symbols, special), each answering its decimal character reference text,
// "&#233;" for eacute. The records point at constant texts and own nothing.
entity_table build_entity_table();

// getEntity handler for feed parsing: the five predefined XML entities as
// libxml2 has them, then the HTML 4.01 character entity names, each answering
// its decimal character reference text. Null for any other name. The table
// is built on the first call that needs it and kept until the program ends.
xmlEntityPtr resolve_entity(void *user_data, const xmlChar *name);

} // namespace skiffer
