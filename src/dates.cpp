#include "dates.hpp"

#include <glib.h>

namespace skiffer {

date_ptr parse_feed_date(const char *) { g_error("not implemented"); }

} // namespace skiffer
