#include "filenames.hpp"

#include <algorithm>
#include <memory>
#include <string_view>

#include <glib.h>

#include "common.hpp"
#include "dates.hpp"

namespace skiffer {

namespace {

// Characters that must not reach a file name: separators, shell and
// file-system specials, and line breaks.
constexpr std::string_view refused_characters = "/\\?%*:|\"<>,'\n\t\r";

std::string without_refused_characters(const std::string &name) {
    std::string cleaned;
    cleaned.reserve(name.size());
    for (char c : name) {
        if (refused_characters.find(c) == std::string_view::npos)
            cleaned += c;
    }
    return cleaned;
}

// The name an enclosure has on its server: the last component of the URL,
// without query and fragment. The component is taken first, so a '/' inside
// the query decides where it starts.
std::string name_from_url(const std::string &url) {
    gchar_ptr base(g_path_get_basename(url.c_str()));
    std::string name(base.get());
    return name.substr(0, name.find_first_of("?#"));
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
