#include "channel.hpp"

#include <cstring>
#include <memory>

#include "common.hpp"
#include "state.hpp"

namespace skiffer {

namespace {

// The path of the channel's file with `extension` in the state directory.
std::string state_directory_file(const run_settings &settings,
                                 const channel_configuration &configuration,
                                 const char *extension) {
    const std::string name = configuration.identifier + extension;
    gchar_ptr path{g_build_filename(settings.state_directory.c_str(), name.c_str(), nullptr)};
    return path.get();
}

} // namespace

std::optional<channel_configuration> check_channel(const run_settings &settings, GKeyFile *kf,
                                                   const char *identifier) {
    if (!g_key_file_has_group(kf, identifier)) {
        print_err("Unknown channel identifier %s.\n", identifier);
        return std::nullopt;
    }
    // The identifier names the state file; with a '/' it would name one
    // outside the state directory, or in a directory that does not exist.
    if (std::strchr(identifier, '/') != nullptr) {
        print_err("Invalid channel identifier %s.\n", identifier);
        return std::nullopt;
    }
    if (check_channel_keys(kf, identifier) < 0)
        return std::nullopt;
    channel_configuration configuration = channel_configuration_new(
        kf, identifier, settings.defaults ? &*settings.defaults : nullptr);
    if (!configuration.url) {
        print_err("No feed URL set for channel %s.\n", identifier);
        return std::nullopt;
    }
    if (!configuration.spool) {
        print_err("No spool directory set for channel %s.\n", identifier);
        return std::nullopt;
    }
    return configuration;
}

void run_checked_channel(const run_settings &settings, const channel_configuration &configuration) {
    const std::string state_file = state_directory_file(settings, configuration, ".xml");
    if (settings.new_only && g_file_test(state_file.c_str(), G_FILE_TEST_EXISTS))
        return;

    // Held until the channel is done, so that two runs at once (a cron job
    // that overlaps the last one) never download into the same files or
    // save the same state; the second leaves the channel to the first. A
    // list writes nothing and reads a state file that is only ever replaced
    // whole, so it neither waits for a run nor makes one wait.
    unique_fd lock;
    if (!settings.refresh.no_record) {
        bool busy = false;
        lock = try_lock_file(state_directory_file(settings, configuration, ".lock"), busy);
        if (busy)
            print_err("Channel %s is locked by another process, skipped.\n",
                      configuration.identifier.c_str());
        if (!lock)
            return;
        // Under the lock no other run writes this state file, so any
        // temporary file beside it is left over from a run that was killed.
        settings.leftovers.remove_for(state_file);
    }

    std::unique_ptr<channel_state> state = channel_state_load(
        *configuration.url, state_file, *configuration.spool, configuration.filename);
    if (!state) {
        print_err("Error parsing channel file for channel %s.\n", configuration.identifier.c_str());
        return;
    }

    const enclosure_filter *filter = settings.filter;
    std::unique_ptr<enclosure_filter> channel_filter;
    if (!filter && configuration.filter) {
        channel_filter = enclosure_filter_new(configuration.filter->c_str(), 0);
        filter = channel_filter.get();
    }
    channel_refresh(*state, configuration, settings.reporter, settings.refresh, filter,
                    settings.shared.get());
}

void run_channel(const run_settings &settings, GKeyFile *kf, const char *identifier,
                 output_sink &output) {
    scoped_output printing_into(output);
    if (std::optional<channel_configuration> configuration =
            check_channel(settings, kf, identifier))
        run_checked_channel(settings, *configuration);
}

} // namespace skiffer
