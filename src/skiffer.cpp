#include "skiffer.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <variant>

#include <sys/stat.h>

#include <glib.h>
#include <libxml/parser.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <taglib/tstring.h>

#include "common.hpp"

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
    {},
};

struct option_context_deleter {
    void operator()(GOptionContext *context) const { g_option_context_free(context); }
};
// ---- reporters -------------------------------------------------------------

// The detail line of an enclosure; `unknown_size_name` is shown when the feed
// gives no size.
void print_enclosure_line(const feed_enclosure &enclosure, const char *unknown_size_name) {
    if (!verbose_flag)
        return;
    if (enclosure.length > 0) {
        gchar_ptr size{g_format_size(static_cast<guint64>(enclosure.length))};
        std::printf(" * %s (%s)\n", enclosure.url->c_str(), size.get());
    } else {
        std::printf(" * %s (unknown size)\n", unknown_size_name);
    }
}

bool has_tag_settings(const channel_configuration &configuration) {
    return configuration.artist_tag || configuration.title_tag || configuration.album_tag ||
           configuration.genre_tag || configuration.year_tag || configuration.comment_tag;
}

// Sets one text field when the channel configures it.
void set_tag_field(TagLib::Tag &tag, void (TagLib::Tag::*setter)(const TagLib::String &),
                   const std::optional<std::string> &value, const char *field_name) {
    if (!value)
        return;
    (tag.*setter)(TagLib::String(*value, TagLib::String::UTF8));
    if (verbose_flag)
        std::printf(" * Set %s tag to %s.\n", field_name, value->c_str());
}

void tag_enclosure_file(const channel_configuration &configuration, const char *filename) {
    if (!has_tag_settings(configuration))
        return;
    TagLib::FileRef file(filename);
    // A file the library cannot read, or one of a format without a tag, gets
    // no fields at all.
    if (file.isNull() || !file.tag()) {
        std::fprintf(stderr, "Error setting tags for file %s.\n", filename);
        return;
    }
    TagLib::Tag &tag = *file.tag();
    set_tag_field(tag, &TagLib::Tag::setArtist, configuration.artist_tag, "artist");
    set_tag_field(tag, &TagLib::Tag::setTitle, configuration.title_tag, "title");
    set_tag_field(tag, &TagLib::Tag::setAlbum, configuration.album_tag, "album");
    set_tag_field(tag, &TagLib::Tag::setGenre, configuration.genre_tag, "genre");
    if (configuration.year_tag) {
        guint64 year = g_ascii_strtoull(configuration.year_tag->c_str(), nullptr, 10);
        tag.setYear(static_cast<unsigned int>(year));
        if (verbose_flag)
            std::printf(" * Set %s tag to %s.\n", "year", configuration.year_tag->c_str());
    }
    set_tag_field(tag, &TagLib::Tag::setComment, configuration.comment_tag, "comment");
    if (!file.save())
        std::fprintf(stderr, "Error setting tags for file %s.\n", filename);
}

void append_to_playlist(const channel_configuration &configuration, const char *filename) {
    if (!configuration.playlist)
        return;
    const char *playlist = configuration.playlist->c_str();
    FILE *stream = std::fopen(playlist, "a");
    if (!stream) {
        std::fprintf(stderr, "Error opening playlist file %s: %s.\n", playlist,
                     std::strerror(errno));
        return;
    }
    std::fprintf(stream, "%s\n", filename);
    std::fclose(stream);
    if (verbose_flag)
        std::printf(" * Added downloaded enclosure %s to playlist %s.\n", filename, playlist);
}

// ---- the run driver -------------------------------------------------------

// Creates the state directory when the path is not a directory yet.
bool prepare_state_directory(const char *path) {
    if (g_file_test(path, G_FILE_TEST_IS_DIR))
        return true;
    if (mkdir(path, 0755) != 0) {
        std::perror("Error creating channel directory");
        return false;
    }
    return true;
}

// Parses the command line; answers the exit status when the run ends here.
std::optional<int> parse_command_line(int &argc, char **&argv) {
    std::unique_ptr<GOptionContext, option_context_deleter> context{
        g_option_context_new("CHANNELS")};
    g_option_context_add_main_entries(context.get(), option_entries, nullptr);
    GError *raw_error = nullptr;
    if (!g_option_context_parse(context.get(), &argc, &argv, &raw_error)) {
        error_ptr error{raw_error};
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

int run(int argc, char **argv) {
    if (auto status = parse_command_line(argc, argv))
        return *status;
    auto mode_or_status = choose_run_mode();
    if (auto *status = std::get_if<int>(&mode_or_status))
        return *status;
    run_mode mode = std::get<run_mode>(mode_or_status);

    std::unique_ptr<enclosure_filter> filter;
    if (filter_option) {
        filter = enclosure_filter_new(filter_option, 0);
        g_free(filter_option);
        filter_option = nullptr;
    }
    if (verbose_flag && new_only_flag)
        std::printf("Fetching new channels only...\n");

    LIBXML_TEST_VERSION;

    gchar_ptr state_directory{g_build_filename(g_get_home_dir(), ".skiffer", nullptr)};
    if (!prepare_state_directory(state_directory.get()))
        return 1;

    gchar_ptr configuration_path{rcfile_option
                                     ? g_strdup(rcfile_option)
                                     : g_build_filename(g_get_home_dir(), ".skifferrc", nullptr)};
    g_free(rcfile_option);
    rcfile_option = nullptr;

    key_file_ptr kf{g_key_file_new()};
    GError *raw_error = nullptr;
    if (!g_key_file_load_from_file(kf.get(), configuration_path.get(), G_KEY_FILE_NONE,
                                   &raw_error)) {
        error_ptr error{raw_error};
        std::fprintf(stderr, "Error reading configuration file %s: %s.\n", configuration_path.get(),
                     error->message);
        xmlCleanupParser();
        return 1;
    }

    std::optional<channel_configuration> defaults;
    if (g_key_file_has_group(kf.get(), "*")) {
        if (check_channel_keys(kf.get(), "*") < 0)
            return -1;
        defaults = channel_configuration_new(kf.get(), "*", nullptr);
    }
    const channel_configuration *defaults_pointer = defaults ? &*defaults : nullptr;

    if (argc > 1) {
        for (int i = 1; i < argc; ++i)
            process_channel(state_directory.get(), kf.get(), argv[i], mode, defaults_pointer,
                            filter.get());
    } else {
        strv_ptr groups{g_key_file_get_groups(kf.get(), nullptr)};
        for (gchar **group = groups.get(); *group; ++group) {
            if (std::strcmp(*group, "*") != 0)
                process_channel(state_directory.get(), kf.get(), *group, mode, defaults_pointer,
                                filter.get());
        }
    }

    xmlCleanupParser();
    return 0;
}

} // namespace

void update_callback(const channel_configuration &configuration, run_event event,
                     const channel_info *info, const feed_enclosure *enclosure,
                     const char *filename, bool succeeded) {
    switch (event) {
    case EVENT_CHANNEL_START:
        if (!quiet_flag)
            std::printf("Updating channel %s...\n", configuration.identifier.c_str());
        break;
    case EVENT_ENCLOSURE_START:
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        print_enclosure_line(*enclosure, filename);
        break;
    case EVENT_ENCLOSURE_DONE:
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        SKIFFER_ASSERT(filename);
        // A failed download is neither tagged nor listed: players would
        // offer a broken episode, and a later resume would list it twice.
        if (!succeeded)
            break;
        tag_enclosure_file(configuration, filename);
        append_to_playlist(configuration, filename);
        break;
    default:
        break;
    }
}

void catchup_callback(const channel_configuration &configuration, run_event event,
                      const channel_info *info, const feed_enclosure *enclosure, const char *,
                      bool) {
    if (event == EVENT_CHANNEL_START) {
        if (!quiet_flag)
            std::printf("Catching up with channel %s...\n", configuration.identifier.c_str());
    } else if (event == EVENT_ENCLOSURE_START) {
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        print_enclosure_line(*enclosure, enclosure->url->c_str());
    }
}

void list_callback(const channel_configuration &configuration, run_event event,
                   const channel_info *info, const feed_enclosure *enclosure, const char *, bool) {
    if (event == EVENT_CHANNEL_START) {
        std::printf("Listing channel %s...\n", configuration.identifier.c_str());
    } else if (event == EVENT_ENCLOSURE_START) {
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        print_enclosure_line(*enclosure, enclosure->url->c_str());
    }
}

void process_channel(const char *state_directory, GKeyFile *kf, const char *identifier,
                     run_mode mode, const channel_configuration *defaults,
                     const enclosure_filter *filter) {
    if (!g_key_file_has_group(kf, identifier)) {
        std::fprintf(stderr, "Unknown channel identifier %s.\n", identifier);
        return;
    }
    if (check_channel_keys(kf, identifier) < 0)
        return;
    channel_configuration configuration = channel_configuration_new(kf, identifier, defaults);
    if (!configuration.url) {
        std::fprintf(stderr, "No feed URL set for channel %s.\n", identifier);
        return;
    }
    if (!configuration.spool) {
        std::fprintf(stderr, "No spool directory set for channel %s.\n", identifier);
        return;
    }

    std::string state_file_name = std::string(identifier) + ".xml";
    gchar_ptr state_file{g_build_filename(state_directory, state_file_name.c_str(), nullptr)};
    if (new_only_flag && g_file_test(state_file.get(), G_FILE_TEST_EXISTS))
        return;

    std::unique_ptr<channel_state> state = channel_state_load(
        *configuration.url, state_file.get(), *configuration.spool, configuration.filename);
    state_file.reset();
    if (!state) {
        std::fprintf(stderr, "Error parsing channel file for channel %s.\n", identifier);
        return;
    }

    // A filter from the command line overrides the channel's own.
    std::unique_ptr<enclosure_filter> channel_filter;
    if (!filter && configuration.filter) {
        channel_filter = enclosure_filter_new(configuration.filter->c_str(), 0);
        filter = channel_filter.get();
    }

    switch (mode) {
    case RUN_MODE_UPDATE:
        channel_refresh(*state, configuration, update_callback, 0, 0, first_only_flag, resume_flag,
                        filter, debug_flag, progress_bar_flag);
        break;
    case RUN_MODE_CATCHUP:
        channel_refresh(*state, configuration, catchup_callback, 1, 0, first_only_flag, 0, filter,
                        debug_flag, progress_bar_flag);
        break;
    case RUN_MODE_LIST:
        channel_refresh(*state, configuration, list_callback, 1, 1, first_only_flag, 0, filter,
                        debug_flag, progress_bar_flag);
        break;
    }
}

} // namespace skiffer

int main(int argc, char **argv) {
    return skiffer::run(argc, argv);
}
