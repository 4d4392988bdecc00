#include "files.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>
#include "common.hpp"
#include "output.hpp"

namespace skiffer {

namespace {

using locale_ptr = c_ptr<std::remove_pointer_t<locale_t>, freelocale>;

using dir_ptr = c_ptr<GDir, g_dir_close>;

// Where a target finally is: the target itself, or where the symbolic links
// that it is lead, read one after the other; a relative link counts from the
// link's own directory. Replacing that path keeps the links in place. A chain
// longer than the kernel would follow is taken as far as it was read.
std::string final_link_target(const std::string &target) {
    std::string path = target;
    for (int depth = 0; depth < 40; ++depth) {
        gchar_ptr link(g_file_read_link(path.c_str(), nullptr));
        if (!link)
            break;
        if (g_path_is_absolute(link.get())) {
            path = link.get();
        } else {
            gchar_ptr directory(g_path_get_dirname(path.c_str()));
            gchar_ptr joined(g_build_filename(directory.get(), link.get(), nullptr));
            path = joined.get();
        }
    }
    return path;
}

// Whether `name` is a temporary file of the target called `base`, as
// open_temporary_file names it: the name, a dot and the six characters that
// g_mkstemp puts in place of XXXXXX, which are ASCII letters and digits.
bool is_temporary_name_of(const std::string &name, const std::string &base) {
    if (name.size() != base.size() + 7 || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '.')
        return false;
    for (size_t i = base.size() + 1; i < name.size(); ++i)
        if (!g_ascii_isalnum(name[i]))
            return false;
    return true;
}

// Makes the temporary file: beside the target when there is one, so that the
// final rename stays on one file system, else in the temporary directory.
// Returns the descriptor, or -1 after a message.
int open_temporary_file(const std::optional<std::string> &target, gchar_ptr &path) {
    if (target) {
        path.reset(g_strconcat(target->c_str(), ".XXXXXX", nullptr));
        int fd = g_mkstemp(path.get());
        if (fd == -1)
            print_error_number("Error opening temporary file", errno);
        return fd;
    }
    error_ptr error;
    int fd = g_file_open_tmp(nullptr, out_ptr(path), out_ptr(error));
    if (fd == -1)
        print_err("Error opening temporary file: %s\n", error->message);
    return fd;
}

// Brings everything the writer produced onto the device and closes the
// stream. Returns 0, or the error number of the first step that failed. The
// stream is closed in every case.
int finish_stream(FILE *stream, bool durable, int writer_errno) {
    int error = 0;
    // A failed write inside the writer leaves only the stream's error flag;
    // the error number is the one the writer returned with, if it kept one.
    if (std::ferror(stream))
        error = writer_errno != 0 ? writer_errno : EIO;
    else if (std::fflush(stream) != 0)
        error = errno;
    // Without fsync a crash after the rename could leave an empty or partial
    // file under the target's name on some file systems.
    else if (durable && fsync(fileno(stream)) != 0)
        error = errno;
    // fclose writes nothing more after a successful flush, but it can still
    // report a deferred error (NFS reports write errors at the close).
    if (std::fclose(stream) != 0 && error == 0)
        error = errno;
    return error;
}

// Removes the temporary file `name` in `directory`, which another run may
// have removed already.
void remove_stale_file(const char *directory, const char *name) {
    gchar_ptr stale(g_build_filename(directory, name, nullptr));
    if (g_unlink(stale.get()) != 0 && errno != ENOENT) {
        int error = errno;
        print_err("Error removing temporary file %s: %s.\n", stale.get(), std::strerror(error));
    }
}

} // namespace

int write_via_temporary_file(const std::optional<std::string> &target,
                             const temporary_file_writer &writer, std::string *out_path,
                             int extra) {
    std::optional<std::string> destination;
    if (target)
        destination = final_link_target(*target);
    gchar_ptr path;
    int fd = open_temporary_file(destination, path);
    if (fd == -1)
        return -1;

    FILE *stream = fdopen(fd, "w");
    if (stream == nullptr) {
        print_error_number("Error opening temporary file stream", errno);
        close(fd);
        // Nobody learns this file's name, so nobody else could remove it.
        g_unlink(path.get());
        return -1;
    }

    // Cleared so that an error number found after the writer belongs to it.
    errno = 0;
    int result = writer(stream, extra);
    int writer_errno = errno;

    // A short or failed write means the file is not the content the writer
    // meant, whatever the writer returned, so it must never replace the
    // target nor be handed out.
    int write_error = finish_stream(stream, destination.has_value(), writer_errno);
    if (write_error == ENOSPC) {
        print_err("No space left on device.\n");
        g_unlink(path.get());
        return -1;
    }
    if (write_error != 0) {
        print_err("Error writing temporary file %s: %s.\n", path.get(), std::strerror(write_error));
        g_unlink(path.get());
        return -1;
    }

    if (result == 0 && destination) {
        // rename replaces the target in one step: a reader sees the old file
        // or the new one, never a mixture.
        if (std::rename(path.get(), destination->c_str()) != 0) {
            int error = errno;
            print_err("Error renaming temporary file %s to %s: %s.\n", path.get(),
                      destination->c_str(), std::strerror(error));
            g_unlink(path.get());
            return -1;
        }
        // The new name is only on the disk once the directory is: until
        // then a power cut could bring back the old file.
        if (int error = sync_directory_of(*destination); error != 0) {
            print_err("Error syncing directory of %s: %s.\n", destination->c_str(),
                      std::strerror(error));
            return -1;
        }
        if (out_path != nullptr)
            *out_path = *target;
        return 0;
    }

    // The writer failed, or there is no target: the file stays under its
    // temporary name and the caller who gets its path removes it.
    if (out_path != nullptr)
        *out_path = path.get();
    return result;
}

void remove_stale_temporary_files(const std::string &target) {
    const std::string destination = final_link_target(target);
    gchar_ptr directory(g_path_get_dirname(destination.c_str()));
    gchar_ptr base(g_path_get_basename(destination.c_str()));
    dir_ptr entries(g_dir_open(directory.get(), 0, nullptr));
    // A directory that cannot be read holds nothing this run could save.
    if (!entries)
        return;
    while (const char *name = g_dir_read_name(entries.get())) {
        if (is_temporary_name_of(name, base.get()))
            remove_stale_file(directory.get(), name);
    }
}

stale_temporary_files::stale_temporary_files(const std::string &directory) : directory_(directory) {
    dir_ptr entries(g_dir_open(directory.c_str(), 0, nullptr));
    if (!entries)
        return;
    while (const char *name = g_dir_read_name(entries.get())) {
        const std::string_view found(name);
        if (found.size() <= 7)
            continue;
        std::string target(found.substr(0, found.size() - 7));
        if (is_temporary_name_of(name, target))
            names_[std::move(target)].emplace_back(found);
    }
}

void stale_temporary_files::remove_for(const std::string &target) const {
    gchar_ptr directory(g_path_get_dirname(target.c_str()));
    if (directory.get() != directory_ || final_link_target(target) != target) {
        remove_stale_temporary_files(target);
        return;
    }
    gchar_ptr base(g_path_get_basename(target.c_str()));
    auto found = names_.find(base.get());
    if (found == names_.end())
        return;
    for (const std::string &name : found->second)
        remove_stale_file(directory.get(), name.c_str());
}

unique_fd try_lock_file(const std::string &path, bool &busy) {
    busy = false;
    unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        int error = errno;
        print_err("Error opening lock file %s: %s.\n", path.c_str(), std::strerror(error));
        return fd;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EWOULDBLOCK)
            busy = true;
        else
            print_err("Error locking file %s: %s.\n", path.c_str(), std::strerror(error));
        fd.reset();
    }
    return fd;
}

int sync_directory_of(const std::string &path) {
    gchar_ptr directory(g_path_get_dirname(path.c_str()));
    unique_fd fd(open(directory.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return errno;
    // Some file systems cannot sync a directory at all and say so; there is
    // nothing more to be done for the name on them.
    if (fsync(fd.get()) != 0 && errno != EINVAL)
        return errno;
    return 0;
}

namespace {

// Writes all of `size` bytes, however many calls that takes. Answers 0 or
// the error number.
int write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

// Copies everything `from` holds from its start into `to`. Answers 0 or the
// error number.
int copy_contents(int from, int to) {
    std::unique_ptr<char[]> buffer(new char[1 << 17]);
    for (;;) {
        ssize_t count = read(from, buffer.get(), 1 << 17);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return errno;
        if (count == 0)
            return 0;
        if (int error = write_all(to, buffer.get(), static_cast<size_t>(count)); error != 0)
            return error;
    }
}

// The template of a copy of `path`: hidden, in the same directory, ending in
// the file's own extension.
std::string copy_template(const std::string &path) {
    gchar_ptr directory(g_path_get_dirname(path.c_str()));
    gchar_ptr base(g_path_get_basename(path.c_str()));
    std::string file = ".skiffer-tag-XXXXXX" + std::string(file_extension(base.get()));
    gchar_ptr joined(g_build_filename(directory.get(), file.c_str(), nullptr));
    return joined.get();
}

} // namespace

bool edit_through_copy(const std::string &path, const copy_editor &edit) {
    // A link stays a link: the copy replaces the file it leads to.
    const std::string target = final_link_target(path);
    unique_fd original(open(target.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (!original || fstat(original.get(), &status) != 0) {
        int error = errno;
        print_err("Error copying file %s: %s.\n", printable(path).c_str(), std::strerror(error));
        return false;
    }
    // g_mkstemp takes the last XXXXXX wherever it stands, so the extension
    // can follow it.
    gchar_ptr copy_path(g_strdup(copy_template(target).c_str()));
    int fd = g_mkstemp(copy_path.get());
    if (fd == -1) {
        int error = errno;
        print_err("Error copying file %s: %s.\n", printable(path).c_str(), std::strerror(error));
        return false;
    }
    // The copy takes the file's place, so it takes its owner and permission
    // bits too, as far as this process may give them.
    int error = copy_contents(original.get(), fd);
    if (error == 0 && fchown(fd, status.st_uid, status.st_gid) != 0 && errno != EPERM)
        error = errno;
    if (error == 0 && fchmod(fd, status.st_mode & 07777) != 0)
        error = errno;
    original.reset();
    if (error != 0) {
        print_err("Error copying file %s: %s.\n", printable(path).c_str(), std::strerror(error));
        close(fd);
        g_unlink(copy_path.get());
        return false;
    }

    bool edited = edit(copy_path.get(), fd);
    // Synced before the rename, so that after a power cut the name leads to
    // the old file or to the whole new one.
    if (edited && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && edited && error == 0)
        error = errno;
    if (edited && error == 0 && std::rename(copy_path.get(), target.c_str()) != 0)
        error = errno;
    if (error != 0)
        print_err("Error replacing file %s: %s.\n", printable(path).c_str(), std::strerror(error));
    if (!edited || error != 0) {
        g_unlink(copy_path.get());
        return false;
    }
    return true;
}

std::optional<std::string> home_directory() {
    const char *home = g_getenv("HOME");
    if (home == nullptr || !g_path_is_absolute(home)) {
        print_err("Cannot determine the home directory.\n");
        return std::nullopt;
    }
    return std::string(home);
}

std::optional<std::string> current_time_stamp() {
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1))
        return std::nullopt;
    return time_stamp(now);
}

std::optional<std::string> time_stamp(std::time_t when) {
    struct tm broken_down;
    if (gmtime_r(&when, &broken_down) == nullptr)
        return std::nullopt;

    // The stamp is stored in files and must read the same on every machine,
    // so it is formatted in the POSIX locale even if something in the process
    // has set another one. "C" is the POSIX locale under the name that glibc
    // serves from its built-in copy; "POSIX" goes through the locale loader,
    // which leaks a little on every call when LOCPATH is set.
    locale_ptr posix(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr)));
    if (!posix)
        return std::nullopt;
    char buffer[64];
    if (strftime_l(buffer, sizeof buffer, "%a, %d-%b-%Y %X GMT", &broken_down, posix.get()) == 0)
        return std::nullopt;
    return std::string(buffer);
}

} // namespace skiffer
