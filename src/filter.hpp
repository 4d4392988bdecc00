#pragma once

#include <memory>
#include <string>

#include "feed.hpp"

namespace skiffer {

struct enclosure_filter {
    std::string pattern;
    int caseless = 0;
};

// A filter over enclosure URLs; the pattern is compiled only when tested.
std::unique_ptr<enclosure_filter> enclosure_filter_new(const char *pattern, int caseless);

// True when the filter's expression matches anywhere in the enclosure URL;
// false, after a message, when the expression does not compile.
bool _enclosure_pattern_match(const enclosure_filter *filter, const feed_enclosure *enclosure);

} // namespace skiffer
