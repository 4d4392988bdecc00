#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common.hpp"

namespace skiffer {

// Writes the whole content of a file into `stream`; `extra` is passed through.
// Returns 0 on success.
using temporary_file_writer = std::function<int(FILE *stream, int extra)>;

// Writes through `writer` into a new temporary file. With a target, the file
// lies beside it and replaces it by a rename when the writer succeeded;
// without one it lies in the temporary directory and its path is handed back
// in `out_path`. A target that is a symbolic link is replaced where the link
// leads, and the link stays. The file is flushed (and, with a target, synced,
// and its directory after the rename) and checked before it replaces
// anything; a failed write removes it. Returns -1 when this function failed,
// else the writer's result.
int write_via_temporary_file(const std::optional<std::string> &target,
                             const temporary_file_writer &writer, std::string *out_path, int extra);

// Removes the temporary files that write_via_temporary_file left beside
// `target` (its name, a dot and six letters or digits) when the process
// writing them was killed. Only for a target that no other process can be
// writing at the time. Reports a file it cannot remove.
void remove_stale_temporary_files(const std::string &target);

// The temporary files that write_via_temporary_file left in one directory,
// found by reading the directory once: a run over many channels reads its
// state directory once, not once per channel.
class stale_temporary_files {
public:
    stale_temporary_files() = default;
    explicit stale_temporary_files(const std::string &directory);

    // Removes the files found beside `target`, under the same condition as
    // remove_stale_temporary_files; for a target elsewhere or behind a
    // symbolic link, that function does it.
    void remove_for(const std::string &target) const;

private:
    std::string directory_;
    // The names found, under the name of the file each was meant to replace.
    std::unordered_map<std::string, std::vector<std::string>> names_;
};

// Takes an exclusive advisory lock on the file `path`, made when absent,
// without waiting. The lock is held while the descriptor stays open, and the
// kernel releases it when the process ends, however it ends. Answers the
// descriptor; none (and `busy`) when another process holds the lock; none
// after a message when the file cannot be opened or locked.
unique_fd try_lock_file(const std::string &path, bool &busy);

// Flushes the directory that holds `path` to the disk, so that a file made
// or renamed there keeps its name after a power cut. Answers 0, or the error
// number of the step that failed.
int sync_directory_of(const std::string &path);

// Receives the path of a copy and a descriptor open on it for reading and
// writing; answers whether it changed the copy as it meant to.
using copy_editor = std::function<bool(const std::string &copy_path, int copy_fd)>;

// Changes the file at `path` so that it is never seen half changed: copies it
// to a new file in the same directory, under a hidden temporary name that
// keeps the file's extension (libraries that go by the name see the same
// kind of file), hands the copy to `edit`, then syncs the copy and renames it
// over `path` (over the file it leads to, when it is a symbolic link). The
// copy gets the file's owner and permission bits. When copying, syncing or
// renaming fails (after a message) or `edit` answers false, the copy is
// removed and the file stays as it was. Answers whether it was replaced.
bool edit_through_copy(const std::string &path, const copy_editor &edit);

// The home directory as HOME names it, and nothing else: GLib would fall
// back on the password entry when it is unset, which a run from cron or a
// service does not expect, and an empty or relative value would put the
// program's files wherever the run happens to start. None, after a message,
// when HOME is unset, empty or relative.
std::optional<std::string> home_directory();

// The current UTC time as "%a, %d-%b-%Y %X GMT" in the POSIX forms, or none.
std::optional<std::string> current_time_stamp();

// The time `when` in the form of current_time_stamp, or none.
std::optional<std::string> time_stamp(std::time_t when);

} // namespace skiffer
