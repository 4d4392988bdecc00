#pragma once

#include <cstdint>
#include <cstdio>
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

// Writes the state file's XML to `stream`; `extra` is ignored. An entry whose
// URL XML cannot hold at all is left out so the file stays readable. Always
// returns 0.
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

// A reporter. `succeeded` tells, on EVENT_ENCLOSURE_DONE, whether the
// enclosure was taken (always true when nothing is downloaded).
using run_callback = void (*)(const channel_configuration &configuration, run_event event,
                              const channel_info *info, const feed_enclosure *enclosure,
                              const char *filename, bool succeeded);

// Obtains the channel's feed and takes its new enclosures. Returns 1 when no
// feed could be obtained, else 0.
int channel_refresh(channel_state &state, const channel_configuration &configuration,
                    run_callback reporter, int no_download, int no_record, int first_only,
                    int resume, const enclosure_filter *filter, int debug, int show_progress);

} // namespace skiffer
