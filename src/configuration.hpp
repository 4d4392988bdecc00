#pragma once

#include <memory>
#include <optional>
#include <string>

#include <glib.h>

#include "common.hpp"

namespace skiffer {

using key_file_ptr = c_ptr<GKeyFile, g_key_file_free>;

// One channel's resolved settings. Every optional field is none when neither
// the channel's group nor the defaults set it; an empty value is kept as "".
struct channel_configuration {
    std::string identifier;
    std::optional<std::string> url;
    std::optional<std::string> spool;
    std::optional<std::string> filename;
    std::optional<std::string> playlist;
    std::optional<std::string> artist_tag;
    std::optional<std::string> title_tag;
    std::optional<std::string> album_tag;
    std::optional<std::string> genre_tag;
    std::optional<std::string> year_tag;
    std::optional<std::string> comment_tag;
    std::optional<std::string> filter;
};

// Checks the key names of group `identifier`: warns about retired keys,
// returns -1 after a message on an invalid key or an unreadable group, else 0.
int check_channel_keys(GKeyFile *kf, const char *identifier);

// The raw value of `key` in `group` (no escape decoding), or none when absent.
std::optional<std::string> read_key_value(GKeyFile *kf, const char *group, const char *key);

// Builds the configuration of group `identifier`, completing every field the
// group lacks from `defaults` (may be null). The group must exist.
channel_configuration channel_configuration_new(GKeyFile *kf, const char *identifier,
                                                const channel_configuration *defaults);

} // namespace skiffer
