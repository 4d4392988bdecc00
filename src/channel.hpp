#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "configuration.hpp"
#include "feed.hpp"

namespace skiffer {

// What a channel has taken: enclosure URL to the time stamp of its taking.
struct channel_state {
    std::string url;
    std::string state_file;
    std::string spool;
    std::optional<std::string> filename_pattern;
    std::unordered_map<std::string, std::optional<std::string>> downloaded_enclosures;
    std::optional<std::string> rsslastfetched;
};

// A new state, filled from `state_file` when it exists; null after a message
// when it exists but cannot be read as a state file.
std::unique_ptr<channel_state>
channel_state_load(const std::string &url, const std::string &state_file, const std::string &spool,
                   const std::optional<std::string> &filename_pattern);

// Writes the state file's XML to `stream`, the entries in byte order of their
// URLs; `extra` is ignored. An entry whose URL XML cannot hold at all is left
// out so the file stays readable. Always returns 0.
int write_channel_state(FILE *stream, const channel_state &state, int extra);

// Replaces the state file with the current state through a temporary file;
// the result is write_via_temporary_file's.
int save_channel_state(const channel_state &state, int debug);

struct enclosure_filter {
    std::string pattern;
    int caseless = 0;
};

// A filter over enclosure URLs; the pattern is compiled only when tested.
std::unique_ptr<enclosure_filter> enclosure_filter_new(const char *pattern, int caseless);

// True when the filter's expression matches anywhere in the enclosure URL;
// false, after a message, when the expression does not compile.
bool _enclosure_pattern_match(const enclosure_filter *filter, const feed_enclosure *enclosure);

enum run_event : int32_t {
    EVENT_CHANNEL_START = 0,
    EVENT_FEED_FETCHED = 1,
    EVENT_ENCLOSURE_START = 2,
    EVENT_ENCLOSURE_DONE = 3,
};

// A reporter; an empty one is not called. `succeeded` tells, on
// EVENT_ENCLOSURE_DONE, whether the enclosure was taken (always true when
// nothing is downloaded).
using run_callback = std::function<void(const channel_configuration &configuration, run_event event,
                                        const channel_info *info, const feed_enclosure *enclosure,
                                        const char *filename, bool succeeded)>;

// How a refresh takes what it finds; each run mode sets its own.
struct refresh_options {
    bool no_download = false;   // only report new enclosures; open no file
    bool no_record = false;     // add nothing to the state and never save it
    bool first_only = false;    // end the loop after the first new enclosure, whatever came of it
    bool resume = false;        // continue a non-empty enclosure file of no recorded enclosure
    bool debug = false;         // libcurl's connection trace on standard error
    bool show_progress = false; // a progress bar for every download
};

// Obtains the channel's feed and takes its new enclosures that `filter` (may
// be null) accepts. An enclosure whose download fails on its own (an HTTP
// error answer, a file in the way) is reported, left unrecorded for the next
// run and passed over; a failure that every later item would meet as well
// (no spool directory, a file that cannot be written, no answer at all) ends
// the item loop. Returns 1 when no feed could be obtained, else 0.
int channel_refresh(channel_state &state, const channel_configuration &configuration,
                    const run_callback &reporter, const refresh_options &options,
                    const enclosure_filter *filter);

} // namespace skiffer
