#pragma once

#include <optional>
#include <string>

#include "feed.hpp"

namespace skiffer {

// The local path of `item`'s enclosure: `spool` joined with a name made from
// the enclosure URL, or from `filename_pattern` when there is one, cleaned of
// characters that do not belong in a file name.
std::string enclosure_file_name(const std::string &spool,
                                const std::optional<std::string> &filename_pattern,
                                const channel_info &channel, const feed_item &item);

// Expands %(date), %(title) and %(channel_title) in `pattern`.
std::string expand_filename_pattern(const std::string &pattern, const channel_info &channel,
                                    const feed_item &item);

} // namespace skiffer
