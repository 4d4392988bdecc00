#include "skiffer.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <libxml/parser.h>

#include "cache.hpp"
#include "common.hpp"
#include "files.hpp"
#include "jobs.hpp"
#include "reporters.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

// The command-line flags: written once by the option parser, read afterwards.
gboolean catchup_flag = FALSE;
gboolean list_flag = FALSE;
gboolean version_flag = FALSE;
gboolean resume_flag = FALSE;
gchar *rcfile_option = nullptr;
gboolean debug_flag = FALSE;
gboolean verbose_flag = FALSE;
gboolean progress_bar_flag = FALSE;
gboolean new_only_flag = FALSE;
gboolean quiet_flag = FALSE;
gboolean first_only_flag = FALSE;
gchar *filter_option = nullptr;
int jobs_option = 1;

// Reads the number of jobs, which must be a whole number from 1 to max_jobs.
gboolean parse_jobs(const gchar *option_name, const gchar *value, gpointer, GError **error) {
    guint64 jobs = 0;
    if (!g_ascii_string_to_unsigned(value, 10, 1, max_jobs, &jobs, nullptr)) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                    "Invalid number of jobs “%s” for %s: give a number from 1 to %d", value,
                    option_name, max_jobs);
        return FALSE;
    }
    jobs_option = static_cast<int>(jobs);
    return TRUE;
}

GOptionEntry option_entries[] = {
    {"catchup", 'c', 0, G_OPTION_ARG_NONE, &catchup_flag, "catch up with channels and exit",
     nullptr},
    {"list", 'l', 0, G_OPTION_ARG_NONE, &list_flag,
     "list available enclosures that have not yet been downloaded and exit", nullptr},
    {"version", 'V', 0, G_OPTION_ARG_NONE, &version_flag, "print version and exit", nullptr},
    {"resume", 'r', 0, G_OPTION_ARG_NONE, &resume_flag, "resume aborted downloads", nullptr},
    {"rcfile", 'C', 0, G_OPTION_ARG_FILENAME, &rcfile_option,
     "override the default configuration file name", nullptr},
    {"debug", 'd', 0, G_OPTION_ARG_NONE, &debug_flag, "print connection debug information",
     nullptr},
    {"verbose", 'v', 0, G_OPTION_ARG_NONE, &verbose_flag, "print detailed progress information",
     nullptr},
    {"progress-bar", 'p', 0, G_OPTION_ARG_NONE, &progress_bar_flag, "print progress bar", nullptr},
    {"new-only", 'n', 0, G_OPTION_ARG_NONE, &new_only_flag, "only process new channels", nullptr},
    {"quiet", 'q', 0, G_OPTION_ARG_NONE, &quiet_flag, "only print error messages", nullptr},
    {"first-only", '1', 0, G_OPTION_ARG_NONE, &first_only_flag,
     "only process the most recent item from each channel", nullptr},
    {"filter", 'f', 0, G_OPTION_ARG_STRING, &filter_option,
     "only process items whose enclosure names match a regular expression", nullptr},
    {"jobs", 'j', 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(parse_jobs),
     "run up to N channels at once (1 to 64; default 1)", "N"},
    {},
};

using option_context_ptr = c_ptr<GOptionContext, g_option_context_free>;

// Creates the state directory when the path is not a directory yet.
bool prepare_state_directory(const char *path) {
    if (g_file_test(path, G_FILE_TEST_IS_DIR))
        return true;
    if (mkdir(path, 0755) != 0) {
        int error = errno;
        // Another run may have made it since the test above.
        if (error == EEXIST && g_file_test(path, G_FILE_TEST_IS_DIR))
            return true;
        errno = error;
        std::perror("Error creating channel directory");
        return false;
    }
    return true;
}

// Parses the command line; answers the exit status when the run ends here.
std::optional<int> parse_command_line(int &argc, char **&argv) {
    option_context_ptr context{g_option_context_new("CHANNELS")};
    g_option_context_add_main_entries(context.get(), option_entries, nullptr);
    error_ptr error;
    if (!g_option_context_parse(context.get(), &argc, &argv, out_ptr(error))) {
        std::printf("option parsing failed: %s\n", error->message);
        return 1;
    }
    return std::nullopt;
}

// Chooses the run mode from the flags; answers an exit status instead when
// the options conflict or only the version was asked for.
std::variant<run_mode, int> choose_run_mode() {
    if (quiet_flag && (verbose_flag || progress_bar_flag)) {
        std::printf("option parsing failed: options are incompatible.\n");
        return 1;
    }
    if (catchup_flag || list_flag) {
        if ((catchup_flag && (list_flag || version_flag)) || (list_flag && version_flag)) {
            std::printf("option parsing failed: --catchup, --list and --version options are "
                        "incompatible.\n");
            return 1;
        }
        return catchup_flag ? RUN_MODE_CATCHUP : RUN_MODE_LIST;
    }
    if (version_flag) {
        std::printf("%s %s", SKIFFER_NAME, SKIFFER_VERSION);
        std::printf(" with taglib support\n");
        std::printf("Written by the skiffer developers; free software, no warranty.\n");
        return 0;
    }
    return RUN_MODE_UPDATE;
}

// The reporter and refresh options of `mode`, from the command-line flags.
// Only an update downloads, and so only an update resumes; only a list
// leaves the state as it was.
run_settings settings_for(run_mode mode) {
    const verbosity verbosity{.verbose = verbose_flag != FALSE, .quiet = quiet_flag != FALSE};
    run_settings settings;
    settings.new_only = new_only_flag;
    settings.refresh.first_only = first_only_flag;
    settings.refresh.debug = debug_flag;
    settings.refresh.show_progress = progress_bar_flag;
    // Bars of several downloads at once would overwrite each other: they
    // add up to one status line instead.
    settings.refresh.status_line = jobs_option > 1;
    switch (mode) {
    case RUN_MODE_UPDATE:
        settings.reporter = bind_reporter(update_callback, verbosity);
        settings.refresh.resume = resume_flag;
        break;
    case RUN_MODE_CATCHUP:
        settings.reporter = bind_reporter(catchup_callback, verbosity);
        settings.refresh.no_download = true;
        break;
    case RUN_MODE_LIST:
        settings.reporter = bind_reporter(list_callback, verbosity);
        settings.refresh.no_download = true;
        settings.refresh.no_record = true;
        break;
    }
    return settings;
}

// Everything between the XML library's set-up and its clean-up: the state
// directory, the configuration file and the channels. Answers the exit status.
int run_channels(int argc, char **argv, run_settings &settings) {
    const std::optional<std::string> home = home_directory();
    if (!home)
        return 1;
    gchar_ptr state_directory{g_build_filename(home->c_str(), ".skiffer", nullptr)};
    if (!prepare_state_directory(state_directory.get()))
        return 1;

    gchar_ptr configuration_path{rcfile_option
                                     ? g_strdup(rcfile_option)
                                     : g_build_filename(home->c_str(), ".skifferrc", nullptr)};
    g_free(rcfile_option);
    rcfile_option = nullptr;

    key_file_ptr kf{g_key_file_new()};
    error_ptr error;
    if (!g_key_file_load_from_file(kf.get(), configuration_path.get(), G_KEY_FILE_NONE,
                                   out_ptr(error))) {
        std::fprintf(stderr, "Error reading configuration file %s: %s.\n", configuration_path.get(),
                     error->message);
        return 1;
    }

    if (g_key_file_has_group(kf.get(), "*")) {
        if (check_channel_keys(kf.get(), "*") < 0)
            return -1;
        settings.defaults = channel_configuration_new(kf.get(), "*", nullptr);
    }
    settings.state_directory = state_directory.get();
    settings.shared->cache_directory = feed_cache_directory(*home);
    settings.leftovers = stale_temporary_files(settings.state_directory);

    std::vector<std::string> identifiers;
    if (argc > 1) {
        identifiers.assign(argv + 1, argv + argc);
    } else {
        strv_ptr groups{g_key_file_get_groups(kf.get(), nullptr)};
        for (gchar **group = groups.get(); *group; ++group) {
            if (std::strcmp(*group, "*") != 0)
                identifiers.emplace_back(*group);
        }
    }

    if (jobs_option > 1) {
        run_channels_in_parallel(settings, kf.get(), identifiers, jobs_option,
                                 progress_bar_flag != FALSE);
        return 0;
    }
    direct_output output;
    for (const std::string &identifier : identifiers)
        run_channel(settings, kf.get(), identifier.c_str(), output);
    return 0;
}

int run(int argc, char **argv) {
    if (auto status = parse_command_line(argc, argv))
        return *status;
    auto mode_or_status = choose_run_mode();
    if (auto *status = std::get_if<int>(&mode_or_status))
        return *status;
    run_settings settings = settings_for(std::get<run_mode>(mode_or_status));

    std::unique_ptr<enclosure_filter> filter;
    if (filter_option) {
        filter = enclosure_filter_new(filter_option, 0);
        g_free(filter_option);
        filter_option = nullptr;
    }
    if (verbose_flag && new_only_flag)
        std::printf("Fetching new channels only...\n");

    LIBXML_TEST_VERSION;
    xml_escape_messages();
    settings.filter = filter.get();
    int status = run_channels(argc, argv, settings);
    xmlCleanupParser();
    return status;
}

// Opens /dev/null on each of the standard descriptors that is closed. The
// next file opened would otherwise take its number, and messages and the
// progress bar would be written into an episode or a state file. Answers
// false when /dev/null cannot be opened.
bool reopen_closed_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is this one, since those below are open.
        int null = open("/dev/null", O_RDWR);
        if (null == -1)
            return false;
        if (null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return true;
}

int start(int argc, char **argv) {
    if (!reopen_closed_standard_streams())
        return 1;
    // A reader that goes away (`skiffer -v | head`) must not end the run
    // halfway through a download: writes to it fail with EPIPE instead, and
    // nothing acts on the result of writing a message.
    std::signal(SIGPIPE, SIG_IGN);
    return run(argc, argv);
}

} // namespace

} // namespace skiffer

int main(int argc, char **argv) {
    return skiffer::start(argc, argv);
}
