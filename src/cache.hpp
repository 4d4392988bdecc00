#pragma once

// The feed cache: for each channel with a remote feed, one file in the
// user's cache directory that holds the last feed body the server sent
// whole, the validators it came with, and the time before which the server
// asked not to be asked again. It is regenerable: a missing or damaged entry
// costs one whole download, nothing else, so every problem with it reads as
// "no entry".

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace skiffer {

// A cached copy is sent back as validators for this long after the server
// sent it whole; after that the feed is fetched whole again, so that a host
// that answers "not modified" wrongly cannot freeze a feed for longer.
constexpr std::time_t feed_cache_lifetime = 24 * 60 * 60;

// A server's request to wait is honoured for at most this long.
constexpr std::time_t longest_requested_wait = 24 * 60 * 60;

struct feed_cache_entry {
    std::string url; // the feed location the entry belongs to, as configured
    // The response's validators, byte for byte as the server sent them.
    std::optional<std::string> etag;
    std::optional<std::string> last_modified;
    // When the body was downloaded whole (seconds since the epoch); none
    // without a body.
    std::optional<std::time_t> stored;
    // The time before which the feed is not to be requested; none when the
    // server asked for nothing.
    std::optional<std::time_t> not_before;
    // The body, compressed as on disk (a gzip stream); none when the entry
    // only holds the time to wait.
    std::optional<std::string> compressed_body;
};

// The directory of the feed cache: "skiffer" in $XDG_CACHE_HOME when that
// is an absolute path, else in `home`/.cache.
std::string feed_cache_directory(const std::string &home);

// The path of the entry of the channel `identifier` in `directory`.
std::string feed_cache_path(const std::string &directory, const std::string &identifier);

// Reads the entry at `path`; none when there is none or it is not exactly
// in the form feed_cache_store writes, with `why` telling which (for the
// debug option; empty when the file is simply absent).
std::optional<feed_cache_entry> feed_cache_load(const std::string &path, std::string &why);

// Writes `entry` to `path` through a temporary file and a rename, making the
// directory when needed. The caller holds the channel's lock. A value that
// could not be sent back in a header (a line break) is not stored. Answers
// whether the entry was written; failures print nothing but under `debug`.
bool feed_cache_store(const std::string &path, const feed_cache_entry &entry, bool debug);

// Compresses the file at `path` into a gzip stream in `compressed`; answers
// whether it could be read.
bool feed_cache_compress_file(const std::string &path, std::string &compressed);

// Writes the decompressed `compressed` body into `stream`, refusing more
// than `limit` bytes; answers 0 when the whole stream decompressed intact
// (its check sum and length included), else -1.
int feed_cache_decompress(FILE *stream, const std::string &compressed, int64_t limit);

// Whether a stored body may be sent back as validators at `now`.
bool feed_cache_is_fresh(const feed_cache_entry &entry, std::time_t now);

// The HTTP Retry-After value `text` (a number of seconds or an HTTP date)
// as the time to wait for, from `now`, at most longest_requested_wait on;
// none when it cannot be read or lies in the past.
std::optional<std::time_t> retry_after_time(const std::string &text, std::time_t now);

} // namespace skiffer
