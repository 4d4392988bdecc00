#include "files.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <memory>
#include <type_traits>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>
#include "common.hpp"

namespace skiffer {

namespace {

using locale_ptr = c_ptr<std::remove_pointer_t<locale_t>, freelocale>;

// Makes the temporary file: beside the target when there is one, so that the
// final rename stays on one file system, else in the temporary directory.
// Returns the descriptor, or -1 after a message.
int open_temporary_file(const std::optional<std::string> &target, gchar_ptr &path) {
    if (target) {
        path.reset(g_strconcat(target->c_str(), ".XXXXXX", nullptr));
        int fd = g_mkstemp(path.get());
        if (fd == -1)
            std::perror("Error opening temporary file");
        return fd;
    }
    error_ptr error;
    int fd = g_file_open_tmp(nullptr, out_ptr(path), out_ptr(error));
    if (fd == -1)
        std::fprintf(stderr, "Error opening temporary file: %s\n", error->message);
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

} // namespace

int write_via_temporary_file(const std::optional<std::string> &target,
                             const temporary_file_writer &writer, std::string *out_path,
                             int extra) {
    gchar_ptr path;
    int fd = open_temporary_file(target, path);
    if (fd == -1)
        return -1;

    FILE *stream = fdopen(fd, "w");
    if (stream == nullptr) {
        std::perror("Error opening temporary file stream");
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
    int write_error = finish_stream(stream, target.has_value(), writer_errno);
    if (write_error == ENOSPC) {
        std::fprintf(stderr, "No space left on device.\n");
        g_unlink(path.get());
        return -1;
    }
    if (write_error != 0) {
        std::fprintf(stderr, "Error writing temporary file %s: %s.\n", path.get(),
                     std::strerror(write_error));
        g_unlink(path.get());
        return -1;
    }

    if (result == 0 && target) {
        // rename replaces the target in one step: a reader sees the old file
        // or the new one, never a mixture.
        if (std::rename(path.get(), target->c_str()) != 0) {
            int error = errno;
            std::fprintf(stderr, "Error renaming temporary file %s to %s: %s.\n", path.get(),
                         target->c_str(), std::strerror(error));
            g_unlink(path.get());
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

std::optional<std::string> current_time_stamp() {
    std::time_t now = std::time(nullptr);
    struct tm broken_down;
    if (now == static_cast<std::time_t>(-1) || gmtime_r(&now, &broken_down) == nullptr)
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
