#include "reporters.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <taglib/tiostream.h>
#include <taglib/tstring.h>

#include "common.hpp"
#include "files.hpp"
#include "output.hpp"

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
        print_out(" * %s (%s)\n", printable(*enclosure.url).c_str(), size.get());
    } else {
        print_out(" * %s (unknown size)\n", printable(unknown_size_name).c_str());
    }
}

// The tag library's stream over a descriptor, which remembers the first
// read or write that failed. The library's own file stream drops write
// errors: a tag that grows on a full disk leaves the file cut short while
// the save still reports success.
class checked_stream : public TagLib::IOStream {
public:
    checked_stream(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    // The first error number met, or 0.
    int error() const { return error_; }

    TagLib::FileName name() const override { return path_.c_str(); }
    bool readOnly() const override { return false; }
    bool isOpen() const override { return true; }
    long tell() const override { return position_; }
    void clear() override {}

    long length() override {
        struct stat status;
        if (fstat(fd_, &status) != 0) {
            note(errno);
            return 0;
        }
        return static_cast<long>(status.st_size);
    }

    void seek(long offset, Position from) override {
        long base = from == Beginning ? 0 : from == Current ? position_ : length();
        // Before the start there is nothing; the position stays, as it does
        // for a stdio stream.
        if (base + offset >= 0)
            position_ = base + offset;
    }

    TagLib::ByteVector readBlock(unsigned long count) override {
        long available = std::max(0L, length() - position_);
        auto wanted = static_cast<unsigned int>(std::min<unsigned long>(count, available));
        TagLib::ByteVector block(wanted);
        size_t got = 0;
        while (got < wanted) {
            ssize_t read = pread(fd_, block.data() + got, wanted - got, position_ + got);
            if (read < 0 && errno == EINTR)
                continue;
            if (read < 0)
                note(errno);
            if (read <= 0)
                break;
            got += static_cast<size_t>(read);
        }
        block.resize(static_cast<unsigned int>(got));
        position_ += static_cast<long>(got);
        return block;
    }

    void writeBlock(const TagLib::ByteVector &block) override {
        write_at(position_, block.data(), block.size());
        position_ += static_cast<long>(block.size());
    }

    void insert(const TagLib::ByteVector &block, unsigned long start,
                unsigned long replace) override {
        const auto at = static_cast<long>(start);
        if (block.size() < replace) {
            removeBlock(start + block.size(), replace - block.size());
        } else if (block.size() > replace) {
            // What follows the replaced bytes moves to just after the new ones.
            const auto old_end = static_cast<long>(start + replace);
            const long tail = std::max(0L, length() - old_end);
            move(old_end, at + static_cast<long>(block.size()), tail);
        }
        write_at(at, block.data(), block.size());
        position_ = at + static_cast<long>(block.size());
    }

    void removeBlock(unsigned long start, unsigned long count) override {
        const long size = length();
        const auto from = static_cast<long>(start + count);
        if (from >= size) {
            truncate(std::min(size, static_cast<long>(start)));
        } else {
            move(from, static_cast<long>(start), size - from);
            truncate(size - static_cast<long>(count));
        }
        position_ = static_cast<long>(start);
    }

    void truncate(long size) override {
        if (ftruncate(fd_, size) != 0)
            note(errno);
    }

private:
    void note(int error) {
        if (error_ == 0)
            error_ = error;
    }

    void write_at(long offset, const char *data, size_t size) {
        while (size > 0) {
            ssize_t written = pwrite(fd_, data, size, offset);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0) {
                note(errno);
                return;
            }
            data += written;
            size -= static_cast<size_t>(written);
            offset += written;
        }
    }

    // Moves `count` bytes from offset `from` to offset `to` in blocks, in
    // the order that reads every byte before it is overwritten.
    void move(long from, long to, long count) {
        constexpr long block_size = 1 << 16;
        std::string buffer(block_size, '\0');
        for (long done = 0; done < count;) {
            const long size = std::min(block_size, count - done);
            // Towards the end the last block goes first, towards the start
            // the first one.
            const long offset = to > from ? count - done - size : done;
            ssize_t read = pread(fd_, buffer.data(), static_cast<size_t>(size), from + offset);
            if (read < 0 && errno == EINTR)
                continue;
            if (read != size) {
                note(read < 0 ? errno : EIO);
                return;
            }
            write_at(to + offset, buffer.data(), static_cast<size_t>(size));
            done += size;
        }
    }

    std::string path_;
    int fd_;
    long position_ = 0;
    int error_ = 0;
};

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
        print_out(" * Set %s tag to %s.\n", field_name, value->c_str());
}

// Whether the playlist at `path` already has `line` as one of its lines (the
// last one with or without its line feed). Only a regular file is read, and
// opening does not wait: a FIFO or a terminal may be named as the playlist.
// A playlist that cannot be read counts as not having the line, so that the
// worst that follows is a line listed twice.
bool playlist_has_line(const char *path, const char *line) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!fd || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    std::string content = "\n";
    char buffer[65536];
    for (;;) {
        const ssize_t count = read(fd.get(), buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0 && errno != EINTR)
            return false;
        if (count > 0)
            content.append(buffer, static_cast<size_t>(count));
    }
    if (content.back() != '\n')
        content += '\n';
    return content.find('\n' + std::string(line) + '\n') != std::string::npos;
}

} // namespace

void tag_enclosure_file(const channel_configuration &configuration, const char *filename,
                        bool verbose) {
    if (!has_tag_settings(configuration))
        return;
    // The tags go into a copy, which replaces the episode only once the
    // library has written them all: a kill or a full disk halfway through
    // the rewrite of the file leaves the episode as it was downloaded.
    bool tagged = edit_through_copy(filename, [&](const std::string &copy_path, int copy_fd) {
        // TagLib keeps tables of its own (frame factories, string handlers,
        // genres) that it makes no promise to share between threads: one
        // file at a time is tagged, while the downloads of other channels go
        // on. Held until the file's objects below are gone.
        static std::mutex tagging;
        std::lock_guard one_at_a_time(tagging);
        checked_stream stream(copy_path, copy_fd);
        TagLib::FileRef file(&stream);
        // A file the library cannot read, or one of a format without a tag,
        // gets no fields at all.
        if (file.isNull() || !file.tag())
            return false;
        TagLib::Tag &tag = *file.tag();
        set_tag_field(tag, &TagLib::Tag::setArtist, configuration.artist_tag, "artist", verbose);
        set_tag_field(tag, &TagLib::Tag::setTitle, configuration.title_tag, "title", verbose);
        set_tag_field(tag, &TagLib::Tag::setAlbum, configuration.album_tag, "album", verbose);
        set_tag_field(tag, &TagLib::Tag::setGenre, configuration.genre_tag, "genre", verbose);
        if (configuration.year_tag) {
            guint64 year = g_ascii_strtoull(configuration.year_tag->c_str(), nullptr, 10);
            tag.setYear(static_cast<unsigned int>(year));
            if (verbose)
                print_out(" * Set %s tag to %s.\n", "year", configuration.year_tag->c_str());
        }
        set_tag_field(tag, &TagLib::Tag::setComment, configuration.comment_tag, "comment", verbose);
        bool saved = file.save();
        if (stream.error() != 0) {
            print_err("Error writing tags into %s: %s.\n", printable(filename).c_str(),
                      std::strerror(stream.error()));
            return false;
        }
        return saved;
    });
    if (!tagged)
        print_err("Error setting tags for file %s.\n", printable(filename).c_str());
}

void append_to_playlist(const channel_configuration &configuration, const char *filename,
                        bool verbose) {
    if (!configuration.playlist)
        return;
    const char *playlist = configuration.playlist->c_str();
    FILE *stream = std::fopen(playlist, "a");
    if (!stream) {
        print_err("Error opening playlist file %s: %s.\n", playlist, std::strerror(errno));
        return;
    }
    // A run killed after listing an episode but before the state save that
    // records it takes the episode again on resume: a line already there is
    // not written again, and the episode is told as added all the same.
    const bool listed = playlist_has_line(playlist, filename);
    // The line reaches the file when the stream is flushed, so that is where
    // a full disk shows; the close can still report an error that the file
    // system deferred. The first failure's error number is the one told.
    int error = 0;
    if (!listed && (std::fprintf(stream, "%s\n", filename) < 0 || std::fflush(stream) != 0))
        error = errno;
    if (std::fclose(stream) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        print_err("Error writing playlist file %s: %s.\n", playlist, std::strerror(error));
        return;
    }
    if (verbose)
        print_out(" * Added downloaded enclosure %s to playlist %s.\n", printable(filename).c_str(),
                  playlist);
}

void update_callback(const verbosity &verbosity, const channel_configuration &configuration,
                     run_event event, const channel_info *info, const feed_enclosure *enclosure,
                     const char *filename, bool succeeded) {
    switch (event) {
    case EVENT_CHANNEL_START:
        if (!verbosity.quiet)
            print_out("Updating channel %s...\n", configuration.identifier.c_str());
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
            print_out("Catching up with channel %s...\n", configuration.identifier.c_str());
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
        print_out("Listing channel %s...\n", configuration.identifier.c_str());
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
