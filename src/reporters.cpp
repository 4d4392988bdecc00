#include "reporters.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <glib.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <taglib/tstring.h>

#include "common.hpp"

namespace skiffer {

namespace {

// The detail line of an enclosure; `unknown_size_name` is shown when the feed
// gives no size.
void print_enclosure_line(const verbosity &verbosity, const feed_enclosure &enclosure,
                          const char *unknown_size_name) {
    if (!verbosity.verbose)
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
                   const std::optional<std::string> &value, const char *field_name, bool verbose) {
    if (!value)
        return;
    (tag.*setter)(TagLib::String(*value, TagLib::String::UTF8));
    if (verbose)
        std::printf(" * Set %s tag to %s.\n", field_name, value->c_str());
}

} // namespace

void tag_enclosure_file(const channel_configuration &configuration, const char *filename,
                        bool verbose) {
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
    set_tag_field(tag, &TagLib::Tag::setArtist, configuration.artist_tag, "artist", verbose);
    set_tag_field(tag, &TagLib::Tag::setTitle, configuration.title_tag, "title", verbose);
    set_tag_field(tag, &TagLib::Tag::setAlbum, configuration.album_tag, "album", verbose);
    set_tag_field(tag, &TagLib::Tag::setGenre, configuration.genre_tag, "genre", verbose);
    if (configuration.year_tag) {
        guint64 year = g_ascii_strtoull(configuration.year_tag->c_str(), nullptr, 10);
        tag.setYear(static_cast<unsigned int>(year));
        if (verbose)
            std::printf(" * Set %s tag to %s.\n", "year", configuration.year_tag->c_str());
    }
    set_tag_field(tag, &TagLib::Tag::setComment, configuration.comment_tag, "comment", verbose);
    if (!file.save())
        std::fprintf(stderr, "Error setting tags for file %s.\n", filename);
}

void append_to_playlist(const channel_configuration &configuration, const char *filename,
                        bool verbose) {
    if (!configuration.playlist)
        return;
    const char *playlist = configuration.playlist->c_str();
    FILE *stream = std::fopen(playlist, "a");
    if (!stream) {
        std::fprintf(stderr, "Error opening playlist file %s: %s.\n", playlist,
                     std::strerror(errno));
        return;
    }
    // The line reaches the file when the stream is flushed, so that is where
    // a full disk shows; the close can still report an error that the file
    // system deferred. The first failure's error number is the one told.
    int error = 0;
    if (std::fprintf(stream, "%s\n", filename) < 0 || std::fflush(stream) != 0)
        error = errno;
    if (std::fclose(stream) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        std::fprintf(stderr, "Error writing playlist file %s: %s.\n", playlist,
                     std::strerror(error));
        return;
    }
    if (verbose)
        std::printf(" * Added downloaded enclosure %s to playlist %s.\n", filename, playlist);
}

void update_callback(const verbosity &verbosity, const channel_configuration &configuration,
                     run_event event, const channel_info *info, const feed_enclosure *enclosure,
                     const char *filename, bool succeeded) {
    switch (event) {
    case EVENT_CHANNEL_START:
        if (!verbosity.quiet)
            std::printf("Updating channel %s...\n", configuration.identifier.c_str());
        break;
    case EVENT_ENCLOSURE_START:
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        print_enclosure_line(verbosity, *enclosure, filename);
        break;
    case EVENT_ENCLOSURE_DONE:
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        SKIFFER_ASSERT(filename);
        // A failed download is neither tagged nor listed: players would
        // offer a broken episode, and a later resume would list it twice.
        if (!succeeded)
            break;
        tag_enclosure_file(configuration, filename, verbosity.verbose);
        append_to_playlist(configuration, filename, verbosity.verbose);
        break;
    default:
        break;
    }
}

void catchup_callback(const verbosity &verbosity, const channel_configuration &configuration,
                      run_event event, const channel_info *info, const feed_enclosure *enclosure,
                      const char *, bool) {
    if (event == EVENT_CHANNEL_START) {
        if (!verbosity.quiet)
            std::printf("Catching up with channel %s...\n", configuration.identifier.c_str());
    } else if (event == EVENT_ENCLOSURE_START) {
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        print_enclosure_line(verbosity, *enclosure, enclosure->url->c_str());
    }
}

void list_callback(const verbosity &verbosity, const channel_configuration &configuration,
                   run_event event, const channel_info *info, const feed_enclosure *enclosure,
                   const char *, bool) {
    // The list header is what the mode prints, so quiet does not silence it.
    if (event == EVENT_CHANNEL_START) {
        std::printf("Listing channel %s...\n", configuration.identifier.c_str());
    } else if (event == EVENT_ENCLOSURE_START) {
        SKIFFER_ASSERT(info);
        SKIFFER_ASSERT(enclosure);
        print_enclosure_line(verbosity, *enclosure, enclosure->url->c_str());
    }
}

run_callback bind_reporter(reporter_function reporter, verbosity verbosity) {
    return [reporter, verbosity](const channel_configuration &configuration, run_event event,
                                 const channel_info *info, const feed_enclosure *enclosure,
                                 const char *filename, bool succeeded) {
        reporter(verbosity, configuration, event, info, enclosure, filename, succeeded);
    };
}

} // namespace skiffer
