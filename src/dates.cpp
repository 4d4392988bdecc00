#include "dates.hpp"

#include <climits>
#include <cstring>
#include <optional>
#include <string_view>

#include <glib.h>

namespace skiffer {

namespace {

constexpr const char *weekday_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The white space of the POSIX locale, whatever locale the process runs in:
// a non-breaking space or any other byte above 0x7f never counts.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void skip_space(const char *&p) {
    while (is_space(*p))
        ++p;
}

// Reads a decimal integer the way scanf's %d does: optional white space, an
// optional sign, at least one digit. Scanned by hand because %d has no
// defined result for a number that does not fit an int; here such a number
// gives none, which the caller treats like any other unusable date.
std::optional<int> scan_int(const char *&p) {
    const char *q = p;
    skip_space(q);
    bool negative = false;
    if (*q == '+' || *q == '-')
        negative = *q++ == '-';
    if (*q < '0' || *q > '9')
        return std::nullopt;
    // Accumulate as a negative number so that INT_MIN is representable.
    int value = 0;
    bool overflow = false;
    for (; *q >= '0' && *q <= '9'; ++q) {
        int digit = *q - '0';
        if (value < (INT_MIN + digit) / 10)
            overflow = true;
        else
            value = value * 10 - digit;
    }
    p = q;
    if (overflow || (!negative && value == INT_MIN))
        return std::nullopt;
    return negative ? value : -value;
}

// Reads a run of non-white-space characters as scanf's %s does. The word may
// be of any length; only its first three characters are ever looked at.
std::optional<std::string_view> scan_word(const char *&p) {
    skip_space(p);
    const char *start = p;
    while (*p != '\0' && !is_space(*p))
        ++p;
    if (p == start)
        return std::nullopt;
    return std::string_view(start, p - start);
}

bool starts_with_name(const char *text, const char *name) {
    return std::strncmp(text, name, 3) == 0;
}

} // namespace

date_ptr parse_feed_date(const char *text) {
    const char *p = text;
    skip_space(p);
    if (*p == '\0')
        return nullptr;

    for (const char *weekday : weekday_names) {
        if (!starts_with_name(p, weekday))
            continue;
        p += 3;
        skip_space(p);
        if (*p == '\0')
            return nullptr;
        if (*p == ',') {
            ++p;
            skip_space(p);
            if (*p == '\0')
                return nullptr;
        }
        break;
    }

    std::optional<int> day = scan_int(p);
    if (!day)
        return nullptr;
    std::optional<std::string_view> word = scan_word(p);
    if (!word)
        return nullptr;
    std::optional<int> year = scan_int(p);
    if (!year)
        return nullptr;

    int month = 0;
    if (word->size() >= 3) {
        for (int i = 0; i < 12; ++i) {
            if (starts_with_name(word->data(), month_names[i])) {
                month = i + 1;
                break;
            }
        }
    }
    if (month == 0)
        return nullptr;

    // Two-digit years: 50 to 99 are the 1900s, 0 to 49 the 2000s. The rule
    // is applied to every year below 1900, which moves three-digit years far
    // ahead and negative ones back from 2000.
    int y = *year;
    if (y < 50)
        y += 2000;
    else if (y < 1900)
        y += 1900;

    // GLib takes the day as 8 bits and the year as 16, so a value outside
    // those types would wrap into a valid date before it could be checked.
    if (*day < 1 || *day > 31 || y < 1 || y > G_MAXUINT16)
        return nullptr;
    auto d = static_cast<GDateDay>(*day);
    auto m = static_cast<GDateMonth>(month);
    auto gy = static_cast<GDateYear>(y);
    if (!g_date_valid_dmy(d, m, gy))
        return nullptr;
    return date_ptr(g_date_new_dmy(d, m, gy));
}

} // namespace skiffer
