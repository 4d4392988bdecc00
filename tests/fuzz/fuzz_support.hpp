#pragma once

// What the fuzz targets share: a quiet start, a check that names what failed,
// and scratch files for the readers that take a path.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include <glib.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "state.hpp"

// Stops the run with a message when an expectation about a result does not
// hold; libFuzzer takes the abort as a crash and keeps the input.
#define SKIFFER_FUZZ_CHECK(expr)                                                                   \
    do {                                                                                           \
        if (!(expr))                                                                               \
            skiffer::fuzz::check_failed(__FILE__, __LINE__, #expr);                                \
    } while (0)

namespace skiffer::fuzz {

// The standard error that the fuzzer started with, kept open for the check's
// message after -close_fd_mask has sent descriptor 2 to /dev/null.
inline int report_fd = 2;

[[noreturn]] inline void check_failed(const char *file, int line, const char *expr) {
    dprintf(report_fd, "%s:%d: check failed: %s\n", file, line, expr);
    std::abort();
}

inline void ignore_xml_error(void *, const char *, ...) {
}
inline void ignore_structured_xml_error(void *, xmlErrorPtr) {
}

// Called from LLVMFuzzerInitialize, which may change the arguments before
// libFuzzer reads them. The program's messages and libxml2's would cost more
// than the parse and bury libFuzzer's output, so libxml2's are dropped before
// they are formatted, and -close_fd_mask=2 is added: libFuzzer then sends
// descriptor 2 to /dev/null but keeps its own output and the sanitizers'
// reports on the original standard error. A -close_fd_mask given on the
// command line wins: -close_fd_mask=0 shows every message of a reproduction.
inline void quiet_start(int *argc, char ***argv) {
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, ignore_xml_error);
    xmlSetStructuredErrorFunc(nullptr, ignore_structured_xml_error);
    report_fd = dup(2);

    static std::vector<char *> arguments(*argv, *argv + *argc);
    for (const char *argument : arguments)
        if (std::strncmp(argument, "-close_fd_mask=", 15) == 0)
            return;
    static char close_standard_error[] = "-close_fd_mask=2";
    arguments.push_back(close_standard_error);
    *argc = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    *argv = arguments.data();
}

inline void remove_scratch_directory();

// A directory of this process for the inputs that the code under test reads
// from a file: in memory under /dev/shm where there is one, so that writing
// every input costs no disk, else in the temporary directory. It is removed
// when the fuzzer exits normally.
inline const std::string &scratch_directory() {
    static const std::string path = [] {
        const bool shm = access("/dev/shm", W_OK | X_OK) == 0;
        std::string name = std::string(shm ? "/dev/shm" : g_get_tmp_dir()) + "/skiffer-fuzz-XXXXXX";
        if (mkdtemp(name.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return name;
    }();
    // Registered once the string exists, so it runs before the destructor.
    [[maybe_unused]] static const int removal = std::atexit(remove_scratch_directory);
    return path;
}

inline void remove_scratch_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_directory(), ignored);
}

// The path of scratch file `name`.
inline std::string scratch_path(const char *name) {
    return scratch_directory() + "/" + name;
}

// Writes `size` bytes into scratch file `name` and returns its path.
inline std::string write_scratch_file(const char *name, const uint8_t *data, size_t size) {
    std::string path = scratch_path(name);
    FILE *stream = std::fopen(path.c_str(), "wb");
    if (stream == nullptr || std::fwrite(data, 1, size, stream) != size ||
        std::fclose(stream) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

// Saves `state` as the program does into scratch file `name`, then loads it
// back; null when the loader refuses what the writer wrote.
inline std::unique_ptr<channel_state> save_and_reload(const channel_state &state,
                                                      const char *name) {
    const std::string path = scratch_path(name);
    FILE *stream = std::fopen(path.c_str(), "wb");
    if (stream == nullptr) {
        std::perror(path.c_str());
        std::abort();
    }
    write_channel_state(stream, state, 0);
    if (std::fclose(stream) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return channel_state_load(state.url, path, state.spool, state.filename_pattern);
}

} // namespace skiffer::fuzz
