// skiffer-opml: moves subscriptions between skiffer's configuration file and
// OPML, the list that podcast apps import and export.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <libxml/parser.h>

#include "common.hpp"
#include "configuration.hpp"
#include "files.hpp"
#include "opml.hpp"

namespace skiffer {

namespace {

gchar *rcfile_option = nullptr;
gchar *spool_root_option = nullptr;
gboolean dry_run_flag = FALSE;
gboolean version_flag = FALSE;

GOptionEntry option_entries[] = {
    {"rcfile", 'C', 0, G_OPTION_ARG_FILENAME, &rcfile_option,
     "override the default configuration file name", "FILE"},
    {"spool-root", 's', 0, G_OPTION_ARG_FILENAME, &spool_root_option,
     "import: make each channel's spool directory under DIRECTORY", "DIRECTORY"},
    {"dry-run", 'n', 0, G_OPTION_ARG_NONE, &dry_run_flag,
     "import: print the channel groups instead of adding them", nullptr},
    {"version", 'V', 0, G_OPTION_ARG_NONE, &version_flag, "print version and exit", nullptr},
    {},
};

using option_context_ptr = c_ptr<GOptionContext, g_option_context_free>;

bool has_control_characters(const char *text) {
    for (const char *c = text; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f)
            return true;
    return false;
}

// Flushes standard output; a full disk or a closed pipe makes the output
// incomplete, which must not pass for success.
int finish_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "Error writing standard output: %s.\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

// The configuration file's bytes, "" when it does not exist; none after a
// message.
std::optional<std::string> read_configuration_bytes(const char *path, bool &exists) {
    gchar_ptr contents;
    gsize length = 0;
    error_ptr error;
    if (!g_file_get_contents(path, out_ptr(contents), &length, out_ptr(error))) {
        if (g_error_matches(error.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
            exists = false;
            return std::string();
        }
        std::fprintf(stderr, "Error reading configuration file %s: %s.\n", path, error->message);
        return std::nullopt;
    }
    exists = true;
    return std::string(contents.get(), length);
}

// Removes the directories that an import made, newest first; they are empty.
void remove_directories(const std::vector<std::string> &made) {
    for (auto directory = made.rbegin(); directory != made.rend(); ++directory)
        g_rmdir(directory->c_str());
}

// Makes `path` and its missing parents, recording each one it made in
// `made`. Returns false after a message.
bool make_directory(const std::string &path, std::vector<std::string> &made) {
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR))
        return true;
    gchar_ptr parent(g_path_get_dirname(path.c_str()));
    if (path != parent.get() && !make_directory(parent.get(), made))
        return false;
    if (g_mkdir(path.c_str(), 0755) != 0) {
        std::fprintf(stderr, "Error creating spool directory %s: %s.\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    made.push_back(path);
    return true;
}

int import_command(const char *configuration_path, const char *opml_path,
                   const char *spool_root_argument) {
    if (has_control_characters(spool_root_argument)) {
        std::fprintf(stderr, "Invalid spool directory %s.\n", spool_root_argument);
        return 1;
    }
    // skiffer takes paths as written and may run from any directory (a
    // timer, cron), so a relative directory is made absolute here.
    gchar_ptr spool_root(g_canonicalize_filename(spool_root_argument, nullptr));

    bool exists = false;
    std::optional<std::string> existing = read_configuration_bytes(configuration_path, exists);
    if (!existing)
        return 1;
    key_file_ptr kf(g_key_file_new());
    error_ptr error;
    if (!g_key_file_load_from_data(kf.get(), existing->data(), existing->size(), G_KEY_FILE_NONE,
                                   out_ptr(error))) {
        std::fprintf(stderr, "Error reading configuration file %s: %s.\n", configuration_path,
                     error->message);
        return 1;
    }

    std::optional<opml_document> document = opml_read_file(opml_path);
    if (!document)
        return 1;
    // The outlines skipped were told as they were read; the import goes on
    // without them, and its exit status, 1 like any failure's, says that
    // something was left out.
    const int skipped_status = document->skipped > 0 ? 1 : 0;
    std::vector<opml_channel> channels = opml_plan_import(document->feeds, kf.get());
    if (channels.empty()) {
        std::printf("No new channels in OPML file %s.\n", opml_path);
        return finish_output() | skipped_status;
    }
    const std::string groups = opml_groups_text(channels, spool_root.get());
    if (dry_run_flag) {
        std::fputs(groups.c_str(), stdout);
        return finish_output() | skipped_status;
    }

    struct stat status;
    std::optional<mode_t> mode;
    if (exists && g_stat(configuration_path, &status) == 0)
        mode = status.st_mode & 07777;

    // The directories first: a configuration that names missing spool
    // directories would fail at every run, while directories left over
    // from a failed write are undone below.
    std::vector<std::string> made;
    for (const opml_channel &channel : channels) {
        gchar_ptr spool(g_build_filename(spool_root.get(), channel.identifier.c_str(), nullptr));
        if (!make_directory(spool.get(), made)) {
            remove_directories(made);
            return 1;
        }
    }

    // The old bytes and then the new groups go into a file beside the
    // configuration that replaces it in one rename: a reader sees the old
    // file or the whole new one, and a failure leaves the old one alone. A
    // configuration that is a symbolic link (into a collection of
    // configuration files kept elsewhere) stays one.
    const std::string content = opml_append_groups(*existing, groups);
    std::string left_over;
    int result = write_via_temporary_file(
        configuration_path,
        [&](FILE *stream, int) {
            // The replacement keeps the permissions of the file it replaces;
            // a new file keeps the temporary file's, readable by its owner.
            if (mode && fchmod(fileno(stream), *mode) != 0) {
                std::fprintf(stderr, "Error setting permissions of configuration file %s: %s.\n",
                             configuration_path, std::strerror(errno));
                return 1;
            }
            std::fwrite(content.data(), 1, content.size(), stream);
            return 0;
        },
        &left_over, 0);
    if (result != 0) {
        if (result > 0)
            g_unlink(left_over.c_str());
        remove_directories(made);
        return 1;
    }
    for (const opml_channel &channel : channels)
        std::printf("Added channel %s (%s).\n", channel.identifier.c_str(), channel.url.c_str());
    return finish_output() | skipped_status;
}

int export_command(const char *configuration_path) {
    key_file_ptr kf(g_key_file_new());
    error_ptr error;
    if (!g_key_file_load_from_file(kf.get(), configuration_path, G_KEY_FILE_NONE, out_ptr(error))) {
        std::fprintf(stderr, "Error reading configuration file %s: %s.\n", configuration_path,
                     error->message);
        return 1;
    }
    const std::string document = opml_export_document(kf.get());
    std::fputs(document.c_str(), stdout);
    return finish_output();
}

int run(int argc, char **argv) {
    option_context_ptr context{g_option_context_new("import FILE | export")};
    g_option_context_set_summary(context.get(),
                                 "Commands:\n"
                                 "  import FILE    add the feeds of an OPML file as channels\n"
                                 "  export         print the channels as an OPML document");
    g_option_context_add_main_entries(context.get(), option_entries, nullptr);
    error_ptr error;
    if (!g_option_context_parse(context.get(), &argc, &argv, out_ptr(error))) {
        std::fprintf(stderr, "option parsing failed: %s\n", error->message);
        return 1;
    }
    if (version_flag) {
        std::printf("%s-opml %s\n", SKIFFER_NAME, SKIFFER_VERSION);
        return finish_output();
    }
    gchar_ptr rcfile(rcfile_option);
    gchar_ptr spool_root(spool_root_option);
    rcfile_option = spool_root_option = nullptr;

    if (argc < 2) {
        std::fprintf(stderr, "option parsing failed: no command given (import FILE or export)\n");
        return 1;
    }
    const bool importing = std::strcmp(argv[1], "import") == 0;
    if (!importing && std::strcmp(argv[1], "export") != 0) {
        std::fprintf(stderr, "option parsing failed: unknown command %s\n", argv[1]);
        return 1;
    }
    if (importing && argc != 3) {
        std::fprintf(stderr, "option parsing failed: import takes one OPML file\n");
        return 1;
    }
    if (importing && !spool_root) {
        std::fprintf(stderr, "option parsing failed: import needs --spool-root DIRECTORY\n");
        return 1;
    }
    if (!importing && argc != 2) {
        std::fprintf(stderr, "option parsing failed: export takes no arguments\n");
        return 1;
    }
    if (!importing && (spool_root || dry_run_flag)) {
        std::fprintf(stderr, "option parsing failed: --spool-root and --dry-run go with import\n");
        return 1;
    }

    std::string configuration_path;
    if (rcfile) {
        configuration_path = rcfile.get();
    } else {
        const std::optional<std::string> home = home_directory();
        if (!home)
            return 1;
        gchar_ptr path{g_build_filename(home->c_str(), ".skifferrc", nullptr)};
        configuration_path = path.get();
    }
    LIBXML_TEST_VERSION;
    int status = importing ? import_command(configuration_path.c_str(), argv[2], spool_root.get())
                           : export_command(configuration_path.c_str());
    xmlCleanupParser();
    return status;
}

} // namespace

} // namespace skiffer

int main(int argc, char **argv) {
    return skiffer::run(argc, argv);
}
