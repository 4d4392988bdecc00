#pragma once

// One channel's run, from its group in the configuration file to its saved
// state: the checks, the lock, the state, the refresh and its reporter. A
// run over many channels, one after another or several at once, runs each
// of them through here.

#include <memory>
#include <optional>
#include <string>

#include <glib.h>

#include "configuration.hpp"
#include "files.hpp"
#include "filter.hpp"
#include "output.hpp"
#include "refresh.hpp"

namespace skiffer {

// What every channel of a run gets: made once, when the run starts, and only
// read afterwards.
struct run_settings {
    std::string state_directory;
    run_callback reporter;
    refresh_options refresh;
    bool new_only = false; // skip channels that already have a state file
    // The filter from the command line, which overrides every channel's own;
    // null when none was given.
    const enclosure_filter *filter = nullptr;
    // The `*` group's settings, which every channel's group completes.
    std::optional<channel_configuration> defaults;
    // What killed runs left in the state directory.
    stale_temporary_files leftovers;
    // The feed cache and the hosts that asked the run to stop: the one
    // part that the channels change, safe to share between threads.
    std::shared_ptr<refresh_shared> shared = std::make_shared<refresh_shared>();
};

// Checks a channel's group and its identifier (no '/', since it names the
// state file) and builds its configuration; none after a message when the
// channel cannot run.
std::optional<channel_configuration> check_channel(const run_settings &settings, GKeyFile *kf,
                                                   const char *identifier);

// Runs a checked channel: takes its lock (not for a list), removes what a
// killed run left, loads its state and refreshes it with the run's reporter
// and options, filtered by the run's filter or else by the channel's own.
// Failures are reported; they never concern the next channel.
void run_checked_channel(const run_settings &settings, const channel_configuration &configuration);

// Checks and runs the channel `identifier`, printing everything into `output`.
void run_channel(const run_settings &settings, GKeyFile *kf, const char *identifier,
                 output_sink &output);

} // namespace skiffer
