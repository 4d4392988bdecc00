#pragma once

#include <glib.h>

#include "channel.hpp"
#include "configuration.hpp"

namespace skiffer {

enum run_mode { RUN_MODE_UPDATE = 0, RUN_MODE_CATCHUP = 1, RUN_MODE_LIST = 2 };

// Runs one channel in `mode`: checks its group, builds its configuration
// with `defaults` (may be null), loads its state and refreshes it with the
// mode's reporter. Failures are reported on standard error; they never stop
// the next channel.
void process_channel(const char *state_directory, GKeyFile *kf, const char *identifier,
                     run_mode mode, const channel_configuration *defaults,
                     const enclosure_filter *filter);

// The reporters handed to the refresh, one per run mode.
void update_callback(const channel_configuration &configuration, run_event event,
                     const channel_info *info, const feed_enclosure *enclosure,
                     const char *filename, bool succeeded);
void catchup_callback(const channel_configuration &configuration, run_event event,
                      const channel_info *info, const feed_enclosure *enclosure,
                      const char *filename, bool succeeded);
void list_callback(const channel_configuration &configuration, run_event event,
                   const channel_info *info, const feed_enclosure *enclosure, const char *filename,
                   bool succeeded);

} // namespace skiffer
