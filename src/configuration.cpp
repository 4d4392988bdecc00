#include "configuration.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "common.hpp"
#include "output.hpp"

namespace skiffer {

namespace {

struct retired_key {
    const char *name;
    const char *warning;
};

// Keys of earlier releases: recognised only to tell the user what replaced them.
constexpr std::array<retired_key, 7> retired_keys{{
    {"id3contentgroup", "Key id3contentgroup no longer supported.\n"},
    {"id3leadartist", "Key id3leadartist no longer supported. Please use artist_tag instead.\n"},
    {"id3title", "Key id3title no longer supported. Please use title_tag instead.\n"},
    {"id3album", "Key id3album no longer supported. Please use album_tag instead.\n"},
    {"id3contenttype", "Key id3contenttype no longer supported. Please use genre_tag instead.\n"},
    {"id3year", "Key id3year no longer supported. Please use year_tag instead.\n"},
    {"id3comment", "Key id3comment no longer supported. Please use comment_tag instead.\n"},
}};

// The allowed keys and the configuration fields they fill, in reading order.
using setting_field = std::optional<std::string> channel_configuration::*;
struct allowed_key {
    const char *name;
    setting_field field;
};

constexpr std::array<allowed_key, 11> allowed_keys{{
    {"url", &channel_configuration::url},
    {"spool", &channel_configuration::spool},
    {"filename", &channel_configuration::filename},
    {"playlist", &channel_configuration::playlist},
    {"artist_tag", &channel_configuration::artist_tag},
    {"title_tag", &channel_configuration::title_tag},
    {"album_tag", &channel_configuration::album_tag},
    {"genre_tag", &channel_configuration::genre_tag},
    {"year_tag", &channel_configuration::year_tag},
    {"comment_tag", &channel_configuration::comment_tag},
    {"filter", &channel_configuration::filter},
}};

bool is_allowed_key(const char *name) {
    for (const auto &key : allowed_keys)
        if (std::strcmp(name, key.name) == 0)
            return true;
    return false;
}

// Writes the key's warning and answers true when `name` is a retired key.
bool warn_if_retired(const char *name) {
    for (const auto &key : retired_keys) {
        if (std::strcmp(name, key.name) == 0) {
            print_err("%s", key.warning);
            return true;
        }
    }
    return false;
}

} // namespace

int check_channel_keys(GKeyFile *kf, const char *identifier) {
    strv_ptr keys{g_key_file_get_keys(kf, identifier, nullptr, nullptr)};
    if (!keys) {
        print_err("Error reading keys in configuration of channel %s.\n", identifier);
        return -1;
    }
    for (gchar **key = keys.get(); *key; ++key) {
        if (warn_if_retired(*key) || is_allowed_key(*key))
            continue;
        print_err("Invalid key %s in configuration of channel %s.\n", *key, identifier);
        return -1;
    }
    return 0;
}

std::optional<std::string> read_key_value(GKeyFile *kf, const char *group, const char *key) {
    if (!g_key_file_has_key(kf, group, key, nullptr))
        return std::nullopt;
    // The raw value: no escape decoding and no tilde expansion.
    gchar_ptr value{g_key_file_get_value(kf, group, key, nullptr)};
    if (!value)
        return std::nullopt;
    return std::string{value.get()};
}

channel_configuration channel_configuration_new(GKeyFile *kf, const char *identifier,
                                                const channel_configuration *defaults) {
    SKIFFER_ASSERT(g_key_file_has_group(kf, identifier));

    channel_configuration configuration;
    configuration.identifier = identifier;
    for (const auto &key : allowed_keys)
        configuration.*key.field = read_key_value(kf, identifier, key.name);

    // Each field the group leaves unset comes from the defaults on its own;
    // a value the group sets, even an empty one, is kept.
    if (defaults) {
        for (const auto &key : allowed_keys) {
            if (!(configuration.*key.field) && defaults->*key.field)
                configuration.*key.field = defaults->*key.field;
        }
    }
    return configuration;
}

} // namespace skiffer
