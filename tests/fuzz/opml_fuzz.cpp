// The OPML reader of skiffer-opml, given the input as the subscription list,
// and the import that follows it into a configuration that already has a
// channel. The configuration file the import would write must load, hold the
// old channel and one group per new channel with exactly its URL, and an
// export of it must read back as the same list of URLs, nothing skipped.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

#include "common.hpp"
#include "configuration.hpp"
#include "fuzz_support.hpp"
#include "opml.hpp"

namespace {

constexpr std::string_view existing =
    "[*]\nspool=/spool\n\n[old]\nurl=http://example.com/old.xml\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace skiffer;
    const std::optional<opml_document> document =
        opml_parse(std::string_view(reinterpret_cast<const char *>(data), size), "fuzz.opml");
    if (!document)
        return 0;
    // Every feed's name makes an identifier as it stands, before any suffix.
    for (const opml_feed &feed : document->feeds)
        SKIFFER_FUZZ_CHECK(is_valid_channel_identifier(opml_identifier_base(feed)));

    key_file_ptr before{g_key_file_new()};
    SKIFFER_FUZZ_CHECK(g_key_file_load_from_data(before.get(), existing.data(), existing.size(),
                                                 G_KEY_FILE_NONE, nullptr));
    const std::vector<opml_channel> channels = opml_plan_import(document->feeds, before.get());
    std::set<std::string> folded{"*", "old"};
    for (const opml_channel &channel : channels) {
        SKIFFER_FUZZ_CHECK(is_valid_channel_identifier(channel.identifier));
        gchar_ptr lower(g_ascii_strdown(channel.identifier.c_str(), -1));
        SKIFFER_FUZZ_CHECK(folded.insert(lower.get()).second);
    }

    const std::string content =
        opml_append_groups(existing, opml_groups_text(channels, "/spool root"));
    key_file_ptr after{g_key_file_new()};
    SKIFFER_FUZZ_CHECK(g_key_file_load_from_data(after.get(), content.data(), content.size(),
                                                 G_KEY_FILE_NONE, nullptr));
    gsize groups = 0;
    strv_ptr names{g_key_file_get_groups(after.get(), &groups)};
    SKIFFER_FUZZ_CHECK(groups == channels.size() + 2);
    std::vector<std::string> urls{"http://example.com/old.xml"};
    for (const opml_channel &channel : channels) {
        const char *identifier = channel.identifier.c_str();
        SKIFFER_FUZZ_CHECK(check_channel_keys(after.get(), identifier) == 0);
        SKIFFER_FUZZ_CHECK(read_key_value(after.get(), identifier, "url") == channel.url);
        SKIFFER_FUZZ_CHECK(read_key_value(after.get(), identifier, "spool") ==
                           "/spool root/" + channel.identifier);
        urls.push_back(channel.url);
    }

    const std::string exported = opml_export_document(after.get());
    const std::optional<opml_document> again = opml_parse(exported, "exported.opml");
    SKIFFER_FUZZ_CHECK(again.has_value() && again->skipped == 0);
    std::vector<std::string> exported_urls;
    for (const opml_feed &feed : again->feeds)
        exported_urls.push_back(feed.url);
    SKIFFER_FUZZ_CHECK(exported_urls == urls);
    return 0;
}
