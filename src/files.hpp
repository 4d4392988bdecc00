#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace skiffer {

// Writes the whole content of a file into `stream`; `extra` is passed through.
// Returns 0 on success.
using temporary_file_writer = std::function<int(FILE *stream, int extra)>;

// Writes through `writer` into a new temporary file. With a target, the file
// lies beside it and replaces it by a rename when the writer succeeded;
// without one it lies in the temporary directory and its path is handed back
// in `out_path`. The file is flushed (and, with a target, synced) and checked
// before it replaces anything; a failed write removes it. Returns -1 when
// this function failed, else the writer's result.
int write_via_temporary_file(const std::optional<std::string> &target,
                             const temporary_file_writer &writer, std::string *out_path, int extra);

// The current UTC time as "%a, %d-%b-%Y %X GMT" in the POSIX forms, or none.
std::optional<std::string> current_time_stamp();

} // namespace skiffer
