#pragma once

// Small helpers shared by the tests of files, fetch and progress: output
// captured at the descriptor level, scratch directories and whole-file I/O.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

#include <glib.h>

namespace skiffer::test {

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
        std::rewind(file_);
        char buffer[4096];
        size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text_.append(buffer, count);
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
        gchar *made = g_dir_make_tmp("skiffer-test-XXXXXX", nullptr);
        path_ = made;
        g_free(made);
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

} // namespace skiffer::test
