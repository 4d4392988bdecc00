#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "fetch.hpp"

namespace skiffer {

enum feed_version : int32_t {
    FEED_VERSION_UNKNOWN = 0,
    FEED_VERSION_0_91 = 1,
    FEED_VERSION_0_92 = 2,
    FEED_VERSION_2_0 = 3,
};

struct feed_enclosure {
    std::optional<std::string> url; // none counts as no enclosure everywhere
    int64_t length = 0;             // bytes; 0 when the feed gives no usable size
    std::optional<std::string> type;
};

struct feed_item {
    std::optional<std::string> title;
    std::optional<std::string> link;
    std::optional<std::string> description;
    std::optional<std::string> pubDate;
    // The item's guid without surrounding white space; none when absent,
    // empty, or too long to be an identifier.
    std::optional<std::string> guid;
    std::optional<feed_enclosure> enclosure;
};

struct channel_info {
    std::optional<std::string> title;
    std::optional<std::string> link;
    std::optional<std::string> description;
    std::optional<std::string> language;
    std::string fetched; // time stamp taken when the document was parsed
};

struct feed_document {
    feed_version version = FEED_VERSION_UNKNOWN;
    std::vector<feed_item> items; // in document order
    struct channel_info channel_info;
};

// Reads the RSS document at `path` (or any location libxml2 opens itself);
// none after a message when it cannot be read, is not well-formed, declares
// entities or attribute defaults that would expand beyond reason, or is not
// RSS; none without a message when its root has no channel.
std::unique_ptr<feed_document> feed_parse_file(const char *path);

// Receives the path of a downloaded feed that parsed, before it is removed.
using downloaded_feed_keeper = std::function<void(const std::string &path)>;

// Downloads `url` into a temporary file and parses it; none when the download
// or the parse failed, after their own messages (a parse message names the
// temporary file). The temporary file is removed in every case, after
// `keep` (when given) has seen a download that parsed. With `exchange`, the
// request sends its validators and the answer's headers come back in it; a
// 304 answer to them gives none without a message and status 304 there.
std::unique_ptr<feed_document> feed_fetch(const std::string &url, int debug,
                                          http_exchange *exchange = nullptr,
                                          const downloaded_feed_keeper &keep = {});

// Parses the file at `path` as feed_fetch parses what it downloaded.
std::unique_ptr<feed_document> feed_parse_downloaded(const std::string &path);

// Fills items[index] of `document` from one `item` element.
void parse_feed_item(feed_document &document, int32_t index, xmlNode *item);

} // namespace skiffer
