#pragma once

#include "refresh.hpp"
#include "configuration.hpp"
#include "feed.hpp"

namespace skiffer {

// What the reporters print besides errors: `quiet` silences the update and
// catch-up channel headers, `verbose` adds the detail lines.
struct verbosity {
    bool verbose = false;
    bool quiet = false;
};

// The reporters of the three run modes. All print the channel header on
// EVENT_CHANNEL_START and, when verbose, a line per enclosure on
// EVENT_ENCLOSURE_START; the update reporter also tags every downloaded file
// and appends it to the channel's playlist on EVENT_ENCLOSURE_DONE.
void update_callback(const verbosity &verbosity, const channel_configuration &configuration,
                     run_event event, const channel_info *info, const feed_enclosure *enclosure,
                     const char *filename, bool succeeded);
void catchup_callback(const verbosity &verbosity, const channel_configuration &configuration,
                      run_event event, const channel_info *info, const feed_enclosure *enclosure,
                      const char *filename, bool succeeded);
void list_callback(const verbosity &verbosity, const channel_configuration &configuration,
                   run_event event, const channel_info *info, const feed_enclosure *enclosure,
                   const char *filename, bool succeeded);

using reporter_function = decltype(&update_callback);

// `reporter` with the run's verbosity, in the form the refresh calls.
run_callback bind_reporter(reporter_function reporter, verbosity verbosity);

// Writes the channel's tag settings into `filename`; opens nothing when the
// channel has none. Reports a file it cannot tag.
void tag_enclosure_file(const channel_configuration &configuration, const char *filename,
                        bool verbose);

// Appends `filename` as one line to the channel's playlist, when it has one
// and the playlist does not hold that line yet (then it confirms the line as
// added). Reports a playlist it cannot open, write or close, and then
// confirms nothing.
void append_to_playlist(const channel_configuration &configuration, const char *filename,
                        bool verbose);

} // namespace skiffer
