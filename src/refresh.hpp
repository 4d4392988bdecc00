#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "configuration.hpp"
#include "feed.hpp"
#include "filter.hpp"
#include "state.hpp"

namespace skiffer {

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
    bool status_line = false;   // with show_progress: count into the run's status line instead
};

// Whether the feed location is fetched over the network: only these
// prefixes, exactly as written, make it so; any other text is read as a
// local file.
bool is_remote_feed(const std::string &url);

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
