#pragma once

// Helpers shared by the unit tests: output captured at the descriptor level,
// scratch directories, whole-file I/O, environment variables, patterns and
// the loopback HTTP server.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

#include "common.hpp"
#include "configuration.hpp"

namespace skiffer::test {

// Everything in `stream` from its start.
inline std::string read_stream(FILE *stream) {
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
        text.append(buffer, count);
    return text;
}

// Redirects descriptor 1 or 2 into a temporary file until finish(), so that
// everything written there, by stdio or by libraries, is seen byte for byte.
class fd_capture {
public:
    explicit fd_capture(int fd) : fd_(fd), file_(std::tmpfile()) {
        flush_standard_streams();
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    fd_capture(const fd_capture &) = delete;
    fd_capture &operator=(const fd_capture &) = delete;
    ~fd_capture() { finish(); }

    // Restores the descriptor and returns what was written meanwhile.
    std::string finish() {
        if (saved_ == -1)
            return text_;
        flush_standard_streams();
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        text_ = read_stream(file_);
        std::fclose(file_);
        return text_;
    }

private:
    static void flush_standard_streams() {
        std::fflush(stdout);
        std::fflush(stderr);
    }

    int fd_;
    FILE *file_;
    int saved_ = -1;
    std::string text_;
};

// A fresh directory under the temporary directory, removed with its content.
class scratch_directory {
public:
    scratch_directory() {
        error_ptr error;
        gchar_ptr made(g_dir_make_tmp("skiffer-test-XXXXXX", out_ptr(error)));
        if (!made)
            g_error("cannot make a scratch directory: %s", error->message);
        path_ = made.get();
    }
    scratch_directory(const scratch_directory &) = delete;
    scratch_directory &operator=(const scratch_directory &) = delete;
    ~scratch_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A key file read from `text`, as a configuration file holding it would be.
inline key_file_ptr load_key_file(const std::string &text) {
    key_file_ptr kf{g_key_file_new()};
    EXPECT_TRUE(
        g_key_file_load_from_data(kf.get(), text.data(), text.size(), G_KEY_FILE_NONE, nullptr));
    return kf;
}

inline std::optional<std::string> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Sets or removes an environment variable for as long as the object lives,
// then restores what was there before.
class scoped_environment {
public:
    explicit scoped_environment(const char *name) : name_(name) {
        if (const char *value = std::getenv(name))
            saved_ = value;
    }
    scoped_environment(const char *name, const std::optional<std::string> &value)
        : scoped_environment(name) {
        set(value);
    }
    scoped_environment(const scoped_environment &) = delete;
    scoped_environment &operator=(const scoped_environment &) = delete;
    ~scoped_environment() { set(saved_); }

    // Sets the variable to `value`, or removes it for none.
    void set(const std::optional<std::string> &value) const {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::optional<std::string> saved_;
};

// Whether the whole of `text` matches `pattern` (GLib's regular expressions:
// std::regex makes g++ 12 warn wrongly under the sanitizers).
inline bool full_match(const std::string &pattern, const std::string &text) {
    std::string anchored = "^(?:" + pattern + ")\\z";
    return g_regex_match_simple(anchored.c_str(), text.c_str(), G_REGEX_DOTALL,
                                static_cast<GRegexMatchFlags>(0));
}

// `text` as a pattern that matches exactly that text.
inline std::string regex_escape(const std::string &text) {
    gchar *escaped = g_regex_escape_string(text.c_str(), -1);
    std::string result = escaped;
    g_free(escaped);
    return result;
}

inline std::set<std::string> directory_entries(const std::string &path) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

// A small tmpfs on `dir`, so that a full or read-only device is real.
class tmpfs_mount {
public:
    explicit tmpfs_mount(std::string dir) : dir_(std::move(dir)) {}
    tmpfs_mount(const tmpfs_mount &) = delete;
    tmpfs_mount &operator=(const tmpfs_mount &) = delete;
    ~tmpfs_mount() {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }

    // Empty on success, else the reason the test has to be skipped.
    std::string mount_with(const char *options) {
        if (geteuid() != 0)
            return "mounting a tmpfs needs root";
        if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, options) != 0)
            return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
        mounted_ = true;
        return "";
    }

    bool remount_read_only() {
        return mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string dir_;
    bool mounted_ = false;
};

// Writes into `path` until the device refuses more.
inline void fill_device(const std::string &path) {
    FILE *filler = std::fopen(path.c_str(), "w");
    ASSERT_NE(filler, nullptr);
    std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
    }
    std::fclose(filler);
}

// The loopback test server (tests/e2e/server.py) serving the files under a
// root directory and logging every request, for as long as the object lives.
class loopback_server {
public:
    loopback_server(const std::string &root, const std::string &log) : log_(log) {
        const char *argv[] = {SKIFFER_PYTHON, SKIFFER_TEST_SERVER, "--root", root.c_str(),
                              "--log",        log.c_str(),         nullptr};
        error_ptr error;
        int out = -1;
        if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                      G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_, nullptr,
                                      &out, nullptr, out_ptr(error))) {
            failure_ = error->message;
            return;
        }
        // The first line is the port; the server prints nothing after it.
        std::string port;
        char c;
        while (read(out, &c, 1) == 1 && c != '\n')
            port += c;
        close(out);
        if (port.empty())
            failure_ = "the server printed no port";
        else
            base_ = "http://127.0.0.1:" + port;
    }
    loopback_server(const loopback_server &) = delete;
    loopback_server &operator=(const loopback_server &) = delete;
    ~loopback_server() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            g_spawn_close_pid(pid_);
        }
    }

    // Empty when the server runs, else why it could not be started.
    const std::string &failure() const { return failure_; }

    // "http://127.0.0.1:PORT", without a trailing slash.
    const std::string &base() const { return base_; }
    std::string url(const std::string &path) const { return base_ + path; }

    // The requests logged so far, one JSON object a line.
    std::string requests() const { return read_file(log_).value_or(""); }

    // The log lines of the requests for exactly `path` (query included).
    std::vector<std::string> requests_for(const std::string &path) const {
        std::vector<std::string> found;
        std::istringstream log(requests());
        std::string line;
        while (std::getline(log, line))
            if (line.find("\"path\": \"" + path + "\"") != std::string::npos)
                found.push_back(line);
        return found;
    }

private:
    std::string log_;
    std::string base_;
    std::string failure_;
    GPid pid_ = 0;
};

// A header of a request that loopback_server logged, or none; the values
// that tests look at need no JSON unescaping.
inline std::optional<std::string> request_header(const std::string &request,
                                                 const std::string &name) {
    std::string key = "\"" + name + "\": \"";
    size_t start = request.find(key);
    if (start == std::string::npos)
        return std::nullopt;
    start += key.size();
    return request.substr(start, request.find('"', start) - start);
}

// A test suite that shares one loopback server over a scratch directory,
// started before its first test and stopped after its last.
class loopback_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<scratch_directory>();
        server_ = std::make_unique<loopback_server>(root_->path(), *root_ / "requests.log");
    }
    static void TearDownTestSuite() {
        server_.reset();
        root_.reset();
    }
    void SetUp() override { ASSERT_TRUE(server_->failure().empty()) << server_->failure(); }

    // Serves `content` under `/name` and answers its URL.
    static std::string serve(const std::string &name, const std::string &content) {
        write_file(*root_ / name, content);
        return server_->url("/" + name);
    }

    static inline std::unique_ptr<scratch_directory> root_;
    static inline std::unique_ptr<loopback_server> server_;
};

} // namespace skiffer::test
