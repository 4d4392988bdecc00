#pragma once

#include <glib.h>

#include "channel.hpp"
#include "configuration.hpp"

namespace skiffer {

enum run_mode { RUN_MODE_UPDATE = 0, RUN_MODE_CATCHUP = 1, RUN_MODE_LIST = 2 };

// What every channel of a run gets from the command line; the driver makes
// it once, from the run mode and the options.
struct run_settings {
    run_callback reporter;
    refresh_options refresh;
    bool new_only = false; // skip channels that already have a state file
};

// Runs one channel: checks its group and its identifier (no '/', since it
// names the state file), builds its configuration with `defaults` (may be
// null), loads its state and refreshes it with the run's reporter and
// options, filtered by `filter` (may be null) or else by the channel's own
// filter. Failures are reported on standard error; they never stop the next
// channel.
void process_channel(const char *state_directory, GKeyFile *kf, const char *identifier,
                     const channel_configuration *defaults, const enclosure_filter *filter,
                     const run_settings &settings);

} // namespace skiffer
