// The feed reader, given the input as the feed file: libxml2's parse with the
// HTML entity names, the bound on entity expansion and the reading of every
// field. Every text must be UTF-8, and all of them together within the
// bound. What a feed yields is then used as a run uses it: every enclosure
// gets a file name in the spool directory, and its URL is recorded in a
// state file and read back.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <glib.h>

#include "state.hpp"
#include "feed.hpp"
#include "filenames.hpp"
#include "fuzz_support.hpp"

namespace {

using skiffer::feed_document;

// Adds the length of `text` to `total` after checking that it is UTF-8.
void count(const std::optional<std::string> &text, uint64_t &total) {
    if (!text)
        return;
    SKIFFER_FUZZ_CHECK(g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr));
    total += text->size();
}

// The length of every text the document holds.
uint64_t text_size(const feed_document &document) {
    uint64_t total = 0;
    const skiffer::channel_info &channel = document.channel_info;
    for (const auto *text :
         {&channel.title, &channel.link, &channel.description, &channel.language})
        count(*text, total);
    for (const skiffer::feed_item &item : document.items) {
        for (const auto *text :
             {&item.title, &item.link, &item.description, &item.pubDate, &item.guid})
            count(*text, total);
        if (item.enclosure) {
            count(item.enclosure->url, total);
            count(item.enclosure->type, total);
        }
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace skiffer;
    const std::string path = fuzz::write_scratch_file("feed.xml", data, size);
    const std::unique_ptr<feed_document> document = feed_parse_file(path.c_str());
    if (!document)
        return 0;
    // References and attribute defaults stand for at most ten times the
    // document's own text plus a mebibyte, and converted to UTF-8 from any
    // encoding that text is at most three times the input's size: what the
    // reader gives stays below that, with room to spare.
    SKIFFER_FUZZ_CHECK(text_size(*document) <= 40 * uint64_t{size} + (2 << 20));

    const std::optional<std::string> pattern = "%(channel_title) - %(date) - %(title).mp3";
    channel_state state;
    state.url = "http://example.com/feed.xml";
    for (const feed_item &item : document->items) {
        // A refresh names and records only enclosures with a URL.
        if (!item.enclosure || !item.enclosure->url)
            continue;
        SKIFFER_FUZZ_CHECK(item.enclosure->length >= 0);
        for (const std::optional<std::string> &how : {pattern, std::optional<std::string>()}) {
            const std::string named =
                enclosure_file_name("/spool", how, document->channel_info, item);
            SKIFFER_FUZZ_CHECK(named.rfind("/spool/", 0) == 0 && named.size() > 7);
        }
        // A guid is an identifier: never empty, never framed in white space.
        if (item.guid) {
            const std::string &guid = *item.guid;
            SKIFFER_FUZZ_CHECK(!guid.empty() && guid.size() <= 2048);
            SKIFFER_FUZZ_CHECK(guid.find_first_of(" \t\n\r") != 0);
            SKIFFER_FUZZ_CHECK(guid.find_last_of(" \t\n\r") != guid.size() - 1);
        }
        state.downloaded_enclosures.insert_or_assign(*item.enclosure->url, "stamp", item.guid);
    }

    // A URL that the state file could not hold would be downloaded again on
    // every run.
    const std::unique_ptr<channel_state> reloaded = fuzz::save_and_reload(state, "state.xml");
    SKIFFER_FUZZ_CHECK(reloaded != nullptr);
    SKIFFER_FUZZ_CHECK(reloaded->downloaded_enclosures == state.downloaded_enclosures);
    return 0;
}
