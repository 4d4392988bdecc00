#include "filter.hpp"

#include <cstdio>

#include <glib.h>

#include "common.hpp"
#include "output.hpp"

namespace skiffer {

namespace {

using regex_ptr = c_ptr<GRegex, g_regex_unref>;

} // namespace

std::unique_ptr<enclosure_filter> enclosure_filter_new(const char *pattern, int caseless) {
    SKIFFER_ASSERT(pattern);
    auto filter = std::make_unique<enclosure_filter>();
    filter->pattern = pattern;
    filter->caseless = caseless;
    return filter;
}

bool _enclosure_pattern_match(const enclosure_filter *filter, const feed_enclosure *enclosure) {
    // The record always holds its pattern, so a present filter is a present
    // pattern; the messages keep the names the checks have always had.
    if (filter == nullptr)
        g_assertion_message_expr(nullptr, __FILE__, __LINE__, __func__, "filter->pattern");
    // An enclosure without a URL counts as no enclosure.
    if (enclosure == nullptr || !enclosure->url)
        g_assertion_message_expr(nullptr, __FILE__, __LINE__, __func__, "enclosure");

    // Compiled for every test: filters are few and short-lived, and a bad
    // expression is reported each time it would have been used.
    error_ptr error;
    auto options = static_cast<GRegexCompileFlags>(filter->caseless ? G_REGEX_CASELESS : 0);
    regex_ptr regex(g_regex_new(filter->pattern.c_str(), options, static_cast<GRegexMatchFlags>(0),
                                out_ptr(error)));
    if (!regex) {
        print_err("Error compiling regular expression %s: %s\n", filter->pattern.c_str(),
                  error->message);
        return false;
    }
    return g_regex_match(regex.get(), enclosure->url->c_str(), static_cast<GRegexMatchFlags>(0),
                         nullptr);
}

} // namespace skiffer
