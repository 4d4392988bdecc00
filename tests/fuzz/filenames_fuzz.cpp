// Local file names. The input's first byte tells which values are present
// (bit 0 the pattern, 1 the item's title, 2 the channel's title, 3 the
// pubDate, 4 the enclosure URL); the rest holds them in that order, each
// ending at a NUL, as no text from a feed or a key file holds one. Whatever
// the values, the path must name an entry directly in the spool directory,
// of a length any file system takes, without the refused characters and
// without control characters.

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <glib.h>

#include "feed.hpp"
#include "filenames.hpp"
#include "fuzz_support.hpp"

namespace {

// The next NUL-terminated piece of `rest`, or none when `present` is false.
std::optional<std::string> take(std::string_view &rest, bool present) {
    if (!present)
        return std::nullopt;
    const std::string_view::size_type end = rest.find('\0');
    std::string piece(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return piece;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace skiffer;
    if (size == 0)
        return 0;
    const unsigned present = data[0];
    std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);

    const std::optional<std::string> pattern = take(rest, present & 1);
    feed_item item;
    channel_info channel;
    item.title = take(rest, present & 2);
    channel.title = take(rest, present & 4);
    item.pubDate = take(rest, present & 8);
    std::optional<std::string> url = take(rest, present & 16);
    // A refresh names only enclosures that have a URL.
    if (!pattern && !url)
        url = "";
    if (url)
        item.enclosure = feed_enclosure{url, 0, std::nullopt};

    if (pattern) {
        const std::string expanded = expand_filename_pattern(*pattern, channel, item);
        // Text outside directives is kept as it is.
        if (pattern->find('%') == std::string::npos)
            SKIFFER_FUZZ_CHECK(expanded == *pattern);
    }
    if (!item.enclosure)
        return 0;
    const std::string path = enclosure_file_name("/spool", pattern, channel, item);
    SKIFFER_FUZZ_CHECK(path.rfind("/spool/", 0) == 0);
    const std::string_view name = std::string_view(path).substr(7);
    SKIFFER_FUZZ_CHECK(!name.empty() && name != "." && name != "..");
    SKIFFER_FUZZ_CHECK(name.size() <= NAME_MAX);
    SKIFFER_FUZZ_CHECK(name.find_first_of("/\\?%*:|\"<>,'\n\t\r") == std::string_view::npos);
    for (const char c : name)
        SKIFFER_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    // From UTF-8, as every text of a feed is, a UTF-8 name without the C1
    // controls U+0080 to U+009F.
    const std::optional<std::string> *texts[] = {&pattern, &item.title, &channel.title, &url};
    for (const std::optional<std::string> *text : texts)
        if (*text &&
            !g_utf8_validate((*text)->data(), static_cast<gssize>((*text)->size()), nullptr))
            return 0;
    SKIFFER_FUZZ_CHECK(g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr));
    for (const char *p = name.data(); p < name.data() + name.size(); p = g_utf8_next_char(p))
        SKIFFER_FUZZ_CHECK(g_utf8_get_char(p) < 0x80 || g_utf8_get_char(p) > 0x9f);
    return 0;
}
