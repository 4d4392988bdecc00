#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "dates.hpp"

namespace skiffer {
namespace {

struct ymd {
    int year, month, day;
};

struct date_case {
    const char *text;
    std::optional<ymd> expected;
};

const ymd june_10_2000{2000, 6, 10};

const date_case date_cases[] = {
    // The usual form, and the weekday and comma in every arrangement.
    {"Sat, 10 Jun 2000 04:00:00 GMT", june_10_2000},
    {"10 Jun 2000", june_10_2000},
    {"Sat 10 Jun 2000", june_10_2000},
    {"Sat ,10 Jun 2000", june_10_2000},
    {" \t\n\v\f\rSat, \t10\tJun\t2000", june_10_2000},
    // The weekday is not checked against the date.
    {"Mon, 10 Jun 2000", june_10_2000},
    // Only the first three letters of the month word count.
    {"10 June 2000", june_10_2000},
    {"10 Jun. 2000", june_10_2000},
    {"10 Junxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx 2000", june_10_2000},
    {"10 Ju 2000", std::nullopt},
    // The day ends at the first non-digit; the month word runs to white space.
    {"10Jun 2000", june_10_2000},
    {"10 Jun2000", std::nullopt},
    {"+10 Jun +2000", june_10_2000},
    // Case matters for month and weekday names.
    {"10 jun 2000", std::nullopt},
    {"10 JUN 2000", std::nullopt},
    {"sat, 10 Jun 2000", std::nullopt},
    {"Saturday, 10 Jun 2000", std::nullopt},
    {"2000-06-10", std::nullopt},
    {"", std::nullopt},
    {" \t ", std::nullopt},
    {"Tue", std::nullopt},
    {"Tue, ", std::nullopt},
    {"10 Jun", std::nullopt},
    // A non-breaking space is not white space.
    {"\xc2\xa0"
     "10 Jun 2000",
     std::nullopt},
    {"10\xc2\xa0Jun 2000", std::nullopt},
    // Years.
    {"1 Jan 03", ymd{2003, 1, 1}},
    {"1 Jan 49", ymd{2049, 1, 1}},
    {"1 Jan 50", ymd{1950, 1, 1}},
    {"1 Jan 99", ymd{1999, 1, 1}},
    {"1 Jan 0", ymd{2000, 1, 1}},
    {"1 Jan -5", ymd{1995, 1, 1}},
    {"1 Jan 100", ymd{2000, 1, 1}},
    {"1 Jan 1899", ymd{3799, 1, 1}},
    {"1 Jan 1900", ymd{1900, 1, 1}},
    {"1 Jan -2000", std::nullopt},
    {"1 Jan -1999", ymd{1, 1, 1}},
    {"1 Jan 65535", ymd{65535, 1, 1}},
    {"1 Jan 65536", std::nullopt},
    // Would wrap to a valid 16-bit year if it were not checked first.
    {"1 Jan 67536", std::nullopt},
    // Days, leap years, and numbers beyond an int.
    {"29 Feb 2000", ymd{2000, 2, 29}},
    {"29 Feb 1900", std::nullopt},
    {"31 Apr 2000", std::nullopt},
    {"0 Jun 2000", std::nullopt},
    {"300 Jun 2000", std::nullopt},
    {"266 Jun 2000", std::nullopt},
    {"-1 Jun 2000", std::nullopt},
    {"4294967306 Jun 2000", std::nullopt},
    {"10 Jun 4294969296", std::nullopt},
    {"10 Jun -2147483648", std::nullopt},
    {"10 Jun 99999999999999999999999", std::nullopt},
};

TEST(parse_feed_date, cases) {
    for (const date_case &c : date_cases) {
        SCOPED_TRACE(std::string("text: \"") + c.text + "\"");
        date_ptr date = parse_feed_date(c.text);
        if (!c.expected) {
            EXPECT_EQ(date, nullptr);
            continue;
        }
        ASSERT_NE(date, nullptr);
        EXPECT_EQ(g_date_get_year(date.get()), c.expected->year);
        EXPECT_EQ(g_date_get_month(date.get()), c.expected->month);
        EXPECT_EQ(g_date_get_day(date.get()), c.expected->day);
    }
}

} // namespace
} // namespace skiffer
