#pragma once

#include <libxml/entities.h>
#include <libxml/parser.h>

namespace skiffer {

// getEntity handler for feed parsing: the five predefined XML entities as
// libxml2 has them, then the HTML 4.01 character entity names, each answering
// its decimal character reference text. Null for any other name.
xmlEntityPtr resolve_entity(void *user_data, const xmlChar *name);

} // namespace skiffer
