#pragma once

#include <optional>
#include <string>

#include "feed.hpp"

namespace skiffer {

// The local path of `item`'s enclosure: `spool` joined with a name made from
// the enclosure URL, or from `filename_pattern` when there is one, cleaned of
// characters that do not belong in a file name. A name that is empty, "." or
// ".." is replaced by one made from the URL (the item must then have an
// enclosure URL): "enclosure-", 12 hexadecimal digits of its SHA-256 and an
// extension for a common audio or video type. A name longer than the spool's
// file system allows is shortened to fit, keeping its extension. The path
// always names an entry directly inside `spool`.
std::string enclosure_file_name(const std::string &spool,
                                const std::optional<std::string> &filename_pattern,
                                const channel_info &channel, const feed_item &item);

// Expands %(date), %(title) and %(channel_title) in `pattern`.
std::string expand_filename_pattern(const std::string &pattern, const channel_info &channel,
                                    const feed_item &item);

} // namespace skiffer
