#pragma once

#include <memory>

#include <glib.h>

namespace skiffer {

struct date_deleter {
    void operator()(GDate *date) const { g_date_free(date); }
};
using date_ptr = std::unique_ptr<GDate, date_deleter>;

// The calendar date at the front of an RSS pubDate ("Sat, 10 Jun 2000 ..."), or null.
date_ptr parse_feed_date(const char *text);

} // namespace skiffer
