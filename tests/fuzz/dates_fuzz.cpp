// Publication dates: the input is an item's pubDate text. A date that is
// read must be a valid calendar date, print in the form %(date) uses, and,
// from 1900 on, read back from the usual "day month year" form.

#include <cstdint>
#include <string>

#include <glib.h>

#include "dates.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace skiffer;
    // Texts from the feed reader never hold a NUL; the date ends at the first.
    const std::string text(reinterpret_cast<const char *>(data), size);
    const date_ptr date = parse_feed_date(text.c_str());
    if (!date)
        return 0;
    SKIFFER_FUZZ_CHECK(g_date_valid(date.get()));

    char buffer[20];
    const gsize length = g_date_strftime(buffer, sizeof buffer, "%Y-%m-%d", date.get());
    SKIFFER_FUZZ_CHECK(length >= 5);

    // Years before 1900 take the two-digit rule and so do not read back.
    if (g_date_get_year(date.get()) >= 1900) {
        g_date_strftime(buffer, sizeof buffer, "%d %b %Y", date.get());
        const date_ptr again = parse_feed_date(buffer);
        SKIFFER_FUZZ_CHECK(again != nullptr);
        SKIFFER_FUZZ_CHECK(g_date_compare(again.get(), date.get()) == 0);
    }
    return 0;
}
