#include "xmlutil.hpp"

#include <glib.h>

namespace skiffer {

int32_t xml_count_children(const xmlNode *, const char *) { g_error("not implemented"); }
void xml_foreach_child(xmlNode *, const char *, const std::function<void(int32_t, xmlNode *)> &) { g_error("not implemented"); }
xmlNode *xml_find_child(xmlNode *, const char *, const char *) { g_error("not implemented"); }
std::optional<std::string> xml_get_attribute(xmlNode *, const char *) { g_error("not implemented"); }
int64_t xml_get_int_attribute(xmlNode *, const char *) { g_error("not implemented"); }
std::optional<std::string> xml_get_text(xmlNode *) { g_error("not implemented"); }

} // namespace skiffer
