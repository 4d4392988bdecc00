#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

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

// The hosts that answered an enclosure request of this run with 429 or 503:
// their other enclosures wait for a later run. One run's channels share it,
// from whatever thread each runs on.
class paused_hosts {
public:
    // Adds a host name as url_host gives it, in lower case, so that names
    // compare without case.
    void add(const std::string &host);
    bool contains(const std::string &host) const;

private:
    mutable std::mutex mutex_;
    std::unordered_set<std::string> hosts_;
};

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

// What the refreshes of one run share: made once, when the run starts.
struct refresh_shared {
    // The directory of the feed cache; none for no cache. A refresh writes
    // it only without no_record, under the channel's lock.
    std::optional<std::string> cache_directory;
    paused_hosts paused;
};

// Whether the feed location is fetched over the network: an http or https
// URL, its scheme in any case; any other text is read as a local file.
bool is_remote_feed(const std::string &url);

// Obtains the channel's feed and takes its new enclosures that `filter` (may
// be null) accepts. An enclosure whose download fails on its own (an HTTP
// error answer, a file in the way) is reported, left unrecorded for the next
// run and passed over; a failure that every later item would meet as well
// (no spool directory, a file that cannot be written, no answer at all) ends
// the item loop. A remote feed is asked for with the validators of its
// cached copy and read from that copy when the server answers 304; one
// whose server asked not to be polled yet is skipped before event 0, with
// a message. Returns 1 when no feed could be obtained, else 0.
// `shared` may be null: then there is no feed cache, and only this refresh
// leaves the hosts that ask it to stop.
int channel_refresh(channel_state &state, const channel_configuration &configuration,
                    const run_callback &reporter, const refresh_options &options,
                    const enclosure_filter *filter, refresh_shared *shared = nullptr);

} // namespace skiffer
