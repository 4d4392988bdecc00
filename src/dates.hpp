#pragma once

#include <memory>

#include <glib.h>

#include "common.hpp"

namespace skiffer {

using date_ptr = c_ptr<GDate, g_date_free>;

// The calendar date at the front of an RSS pubDate ("Sat, 10 Jun 2000 ..."), or null.
date_ptr parse_feed_date(const char *text);

} // namespace skiffer
