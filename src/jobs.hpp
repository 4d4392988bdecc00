#pragma once

// Several channels at once: a run with more than one job hands its channels
// to worker threads and prints each channel's output as one block, in the
// order the channels were selected.

#include <string>
#include <vector>

#include <glib.h>

#include "channel.hpp"

namespace skiffer {

// The most jobs a run may have.
constexpr int max_jobs = 64;

// Runs the channels `identifiers`, in selection order, on up to `jobs`
// threads. Each channel's standard output and standard error are held and
// printed as one block when it ends, as soon as every channel before it has
// been printed, so each stream gets exactly the bytes a run of one job
// prints. At most two channels whose feeds are on one host run at a time,
// and channels of different hosts are started in turn; channels that share
// a spool directory or a playlist run one after another, in selection
// order. With `status_line`, one line on standard output shows the
// downloads under way, redrawn in place and erased before each block.
void run_channels_in_parallel(const run_settings &settings, GKeyFile *kf,
                              const std::vector<std::string> &identifiers, int jobs,
                              bool status_line);

} // namespace skiffer
