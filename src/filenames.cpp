#include "filenames.hpp"

#include <algorithm>
#include <climits>
#include <memory>
#include <string_view>

#include <unistd.h>

#include <glib.h>

#include "common.hpp"
#include "dates.hpp"

namespace skiffer {

namespace {

// Characters that must not reach a file name: separators, shell and
// file-system specials, and line breaks.
constexpr std::string_view refused_characters = "/\\?%*:|\"<>,'\n\t\r";

// The name without the refused characters and without any control
// character: a line feed would split a playlist line, and an escape
// sequence would act on every terminal that lists the spool. A C1 control
// goes whole, both of its bytes, so that no other character is cut.
std::string without_refused_characters(const std::string &name) {
    std::string cleaned;
    cleaned.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        if (const size_t control = control_character_length(name, i); control != 0) {
            i += control - 1;
            continue;
        }
        if (refused_characters.find(name[i]) == std::string_view::npos)
            cleaned += name[i];
    }
    return cleaned;
}

std::string name_from_url(const std::string &url) {
    gchar_ptr base(g_path_get_basename(url.c_str()));
    std::string name(base.get());
    return name.substr(0, name.find_first_of("?#"));
}

// Extensions for the common audio and video types, by MIME type as feeds
// write it (including the unregistered names that many feeds use).
struct media_extension {
    const char *type;
    const char *extension;
};
constexpr media_extension media_extensions[] = {
    {"audio/mpeg", ".mp3"},      {"audio/mp3", ".mp3"},        {"audio/x-mp3", ".mp3"},
    {"audio/mpeg3", ".mp3"},     {"audio/x-mpeg", ".mp3"},     {"audio/mp4", ".m4a"},
    {"audio/x-m4a", ".m4a"},     {"audio/m4a", ".m4a"},        {"audio/aac", ".aac"},
    {"audio/x-aac", ".aac"},     {"audio/ogg", ".ogg"},        {"audio/opus", ".opus"},
    {"audio/flac", ".flac"},     {"audio/x-flac", ".flac"},    {"audio/wav", ".wav"},
    {"audio/x-wav", ".wav"},     {"audio/wave", ".wav"},       {"audio/webm", ".webm"},
    {"video/mp4", ".mp4"},       {"video/x-mp4", ".mp4"},      {"video/x-m4v", ".m4v"},
    {"video/quicktime", ".mov"}, {"video/webm", ".webm"},      {"video/mpeg", ".mpg"},
    {"video/ogg", ".ogv"},       {"video/x-matroska", ".mkv"},
};

// The extension for a MIME type such as "Audio/MPEG; charset=x", or "".
std::string extension_for_type(const std::optional<std::string> &type) {
    if (!type)
        return {};
    std::string bare = type->substr(0, type->find(';'));
    gchar_ptr stripped(g_strstrip(g_strdup(bare.c_str())));
    for (const media_extension &known : media_extensions)
        if (g_ascii_strcasecmp(stripped.get(), known.type) == 0)
            return known.extension;
    return {};
}

// The name for an enclosure whose own name is no file name: "enclosure-",
// the first 12 hexadecimal digits of the SHA-256 of its URL, and the
// extension of its type. The same URL always gives the same stem, so a later
// run finds the file again; the digits keep two URLs apart.
std::string name_from_hash(const feed_item &item) {
    SKIFFER_ASSERT(item.enclosure && item.enclosure->url);
    gchar_ptr digest(
        g_compute_checksum_for_string(G_CHECKSUM_SHA256, item.enclosure->url->c_str(), -1));
    return "enclosure-" + std::string(digest.get(), 12) + extension_for_type(item.enclosure->type);
}

// The longest name that the file system under `spool` allows, in bytes.
size_t name_limit(const std::string &spool) {
    long limit = pathconf(spool.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<size_t>(limit) : NAME_MAX;
}

// `name` cut to at most `limit` bytes: its stem is shortened, at a UTF-8
// character boundary, and its extension kept when it leaves room for a stem.
std::string fitted_name(const std::string &name, size_t limit) {
    std::string extension(file_extension(name));
    if (extension.size() >= limit)
        extension.clear();
    size_t cut = limit - extension.size();
    // Back over continuation bytes to the start of the character that the
    // cut would split; at most three, so that text that is not UTF-8 is cut
    // at a byte all the same.
    for (int steps = 0;
         steps < 3 && cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80; ++steps)
        --cut;
    return name.substr(0, cut) + extension;
}

std::string directive_value(const std::string &name, const channel_info &channel,
                            const feed_item &item) {
    if (g_ascii_strcasecmp(name.c_str(), "date") == 0) {
        if (!item.pubDate)
            return {};
        date_ptr date = parse_feed_date(item.pubDate->c_str());
        if (!date)
            return {};
        char buffer[20];
        gsize length = g_date_strftime(buffer, sizeof buffer, "%Y-%m-%d", date.get());
        return std::string(buffer, length);
    }
    if (g_ascii_strcasecmp(name.c_str(), "title") == 0)
        return item.title.value_or(std::string());
    if (g_ascii_strcasecmp(name.c_str(), "channel_title") == 0)
        return channel.title.value_or(std::string());
    return {};
}

} // namespace

std::string enclosure_file_name(const std::string &spool,
                                const std::optional<std::string> &filename_pattern,
                                const channel_info &channel, const feed_item &item) {
    std::string name;
    if (filename_pattern) {
        name = expand_filename_pattern(*filename_pattern, channel, item);
    } else {
        SKIFFER_ASSERT(item.enclosure && item.enclosure->url);
        name = name_from_url(*item.enclosure->url);
    }
    name = without_refused_characters(name);
    // Joined as they are, these would name the spool directory itself or
    // its parent; without a separator, every other name stays inside it.
    if (name.empty() || name == "." || name == "..")
        name = name_from_hash(item);
    // Every file system takes a name this long; the spool's own limit is
    // asked only for longer ones.
    if (name.size() > _POSIX_NAME_MAX) {
        size_t limit = name_limit(spool);
        if (name.size() > limit)
            name = fitted_name(name, limit);
    }
    gchar_ptr path(g_build_filename(spool.c_str(), name.c_str(), nullptr));
    return std::string(path.get());
}

std::string expand_filename_pattern(const std::string &pattern, const channel_info &channel,
                                    const feed_item &item) {
    std::string result;
    std::string::size_type i = 0;
    while (i < pattern.size()) {
        if (pattern[i] != '%') {
            result += pattern[i++];
            continue;
        }
        // A directive runs to the next ')' or to the end of the pattern;
        // every '(' inside it is left out of its name, so "%((title)" and
        // "%ti(tle)" both name the title. There is no escape for '%'.
        std::string::size_type end = pattern.find(')', i + 1);
        std::string name;
        for (std::string::size_type j = i + 1; j < std::min(end, pattern.size()); ++j) {
            if (pattern[j] != '(')
                name += pattern[j];
        }
        result += directive_value(name, channel, item);
        if (end == std::string::npos)
            break;
        i = end + 1;
    }
    return result;
}

} // namespace skiffer
