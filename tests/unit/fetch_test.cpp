#include "fetch.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "progress.hpp"
#include "test_support.hpp"

using namespace skiffer;
using namespace skiffer::test;

namespace {

constexpr const char *user_agent =
    SKIFFER_NAME " " SKIFFER_VERSION " (" SKIFFER_NAME " rss enclosure downloader)";

// The loopback server, started once for all transfer tests. Each test asks
// for its own path (a query string is ignored when serving but recorded), so
// that it finds its own requests in the log.
class fetch_test : public loopback_suite {
protected:
    static void SetUpTestSuite() {
        loopback_suite::SetUpTestSuite();
        std::string body;
        for (int i = 0; i < 3000; ++i)
            body += static_cast<char>((i * 7919) % 251);
        episode_ = body;
        serve("episode.bin", body);
    }

    void SetUp() override {
        loopback_suite::SetUp();
        stream_ = std::tmpfile();
    }

    void TearDown() override { std::fclose(stream_); }

    static std::string url(const std::string &path) { return server_->url(path); }

    void empty_stream() {
        std::rewind(stream_);
        ASSERT_EQ(ftruncate(fileno(stream_), 0), 0);
    }

    // Everything written to the test's stream.
    std::string written() { return read_stream(stream_); }

    // The log lines of the requests for exactly `path`.
    static std::vector<std::string> requests_for(const std::string &path) {
        return server_->requests_for(path);
    }

    // A header of a recorded request, or none; the values used here need no
    // JSON unescaping.
    static std::optional<std::string> header(const std::string &request, const std::string &name) {
        std::string key = "\"" + name + "\": \"";
        size_t start = request.find(key);
        if (start == std::string::npos)
            return std::nullopt;
        start += key.size();
        return request.substr(start, request.find('"', start) - start);
    }

    static inline std::string episode_;

    FILE *stream_ = nullptr;
    scoped_environment columns_{"COLUMNS"};
};

TEST_F(fetch_test, whole_resource_with_exact_user_agent_and_no_range) {
    fd_capture err(2);
    EXPECT_EQ(fetch_url_to_stream(stream_, url("/episode.bin?agent"), 0), 0);
    EXPECT_EQ(err.finish(), "");
    EXPECT_TRUE(written() == episode_);

    auto requests = requests_for("/episode.bin?agent");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(header(requests[0], "User-Agent"), user_agent);
    EXPECT_EQ(header(requests[0], "Range"), std::nullopt);
}

TEST_F(fetch_test, retrievals_share_one_connection) {
    // The requests that came over one connection have the same client port.
    auto port_of = [](const std::string &path) {
        auto requests = requests_for(path);
        EXPECT_EQ(requests.size(), 1u) << path;
        std::string key = "\"client_port\": ";
        size_t at = requests.empty() ? std::string::npos : requests[0].find(key);
        return at == std::string::npos ? -1 : std::atoi(requests[0].c_str() + at + key.size());
    };
    // The second retrieval finds the first one's connection; a server that
    // hangs up after answering, without saying so beforehand, and one that
    // drops a transfer halfway make the next retrieval connect anew.
    const char *paths[] = {"/episode.bin?shared-1",          "/episode.bin?shared-2",
                           "/hangup/episode.bin?shared-3",   "/episode.bin?shared-4",
                           "/drop/100/episode.bin?shared-5", "/episode.bin?shared-6"};
    for (const char *path : paths) {
        SCOPED_TRACE(path);
        empty_stream();
        fd_capture err(2);
        const bool dropped = std::strstr(path, "/drop/") != nullptr;
        EXPECT_EQ(fetch_url(url(path).c_str(), stream_, stream_write_cb, 0, 0, nullptr),
                  dropped ? 1 : 0);
        err.finish();
        EXPECT_TRUE(written() == episode_.substr(0, dropped ? 100 : episode_.size()));
    }
    EXPECT_NE(port_of("/episode.bin?shared-1"), -1);
    EXPECT_EQ(port_of("/episode.bin?shared-1"), port_of("/episode.bin?shared-2"));
    EXPECT_EQ(port_of("/episode.bin?shared-2"), port_of("/hangup/episode.bin?shared-3"));
    EXPECT_NE(port_of("/hangup/episode.bin?shared-3"), port_of("/episode.bin?shared-4"));
    EXPECT_EQ(port_of("/episode.bin?shared-4"), port_of("/drop/100/episode.bin?shared-5"));
    EXPECT_NE(port_of("/drop/100/episode.bin?shared-5"), port_of("/episode.bin?shared-6"));
}

TEST_F(fetch_test, follows_redirects_and_decodes_content) {
    for (const char *path : {"/redirect/301/episode.bin?moved", "/redirect/302/episode.bin?found",
                             "/gzip/episode.bin?compressed"}) {
        SCOPED_TRACE(path);
        empty_stream();
        fd_capture err(2);
        EXPECT_EQ(fetch_url(url(path).c_str(), stream_, stream_write_cb, 0, 0, nullptr), 0);
        EXPECT_EQ(err.finish(), "");
        EXPECT_TRUE(written() == episode_);
    }
    auto compressed = requests_for("/gzip/episode.bin?compressed");
    ASSERT_EQ(compressed.size(), 1u);
    EXPECT_NE(header(compressed[0], "Accept-Encoding").value_or("").find("gzip"),
              std::string::npos);
    // Both redirects lead to the bare path, asked for with the same User-Agent.
    auto targets = requests_for("/episode.bin");
    ASSERT_EQ(targets.size(), 2u);
    for (const auto &request : targets)
        EXPECT_EQ(header(request, "User-Agent"), user_agent);
}

TEST_F(fetch_test, resume_asks_for_the_rest_only) {
    struct resume_case {
        const char *path;
        int64_t offset;
        const char *range;
    } cases[] = {
        {"/episode.bin?middle", 500, "bytes=500-"},
        // The server answers 416: the file is complete, nothing to add.
        {"/episode.bin?end", 3000, "bytes=3000-"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        empty_stream();
        fd_capture err(2);
        EXPECT_EQ(fetch_url(url(c.path).c_str(), stream_, stream_write_cb, c.offset, 0, nullptr),
                  0);
        EXPECT_EQ(err.finish(), "");
        EXPECT_TRUE(written() == episode_.substr(c.offset));
        auto requests = requests_for(c.path);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(header(requests[0], "Range"), c.range);
    }
}

TEST_F(fetch_test, failures_are_reported_with_library_text) {
    struct failure_case {
        std::string url;
        std::string reason;
        size_t written; // bytes that reached the stream before the failure
    } cases[] = {
        {url("/status/404"), "The requested URL returned error: 404", 0},
        {url("/status/500"), "The requested URL returned error: 500", 0},
        {url("/drop/100/episode.bin"), "transfer closed with 2900 bytes remaining to read", 100},
        {"file:///etc/passwd", "Protocol \"file\" not supported or disabled in libcurl", 0},
        {url("/redirect-to?file:///etc/passwd"),
         "Protocol \"file\" not supported or disabled in libcurl", 0},
        // A resumed request for a page that does not exist is no complete file.
        {url("/status/404?resumed"), "The requested URL returned error: 404", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        empty_stream();
        int64_t offset = c.url.find("resumed") != std::string::npos ? 100 : 0;
        fd_capture out(1);
        fd_capture err(2);
        EXPECT_EQ(fetch_url(c.url.c_str(), stream_, stream_write_cb, offset, 0, nullptr), 1);
        EXPECT_EQ(err.finish(), "Error retrieving " + c.url + ": " + c.reason + "\n");
        EXPECT_EQ(out.finish(), "");
        EXPECT_TRUE(written() == episode_.substr(0, c.written));
    }
}

TEST_F(fetch_test, failure_ends_the_bar_line_first) {
    // A bar too narrow to draw anything leaves only the line end to see.
    columns_.set("3");
    auto bar = progress_bar_new(0);
    std::string target = url("/status/404?bar");
    fd_capture out(1);
    fd_capture err(2);
    EXPECT_EQ(fetch_url(target.c_str(), stream_, stream_write_cb, 0, 0, bar.get()), 1);
    EXPECT_EQ(err.finish(),
              "Error retrieving " + target + ": The requested URL returned error: 404\n");
    EXPECT_EQ(out.finish(), "\n");
}

TEST_F(fetch_test, short_write_reports_the_system_error) {
    columns_.set("3");
    auto bar = progress_bar_new(0);
    std::string target = url("/episode.bin?full");
    curl_write_callback full_device = [](char *, size_t, size_t nmemb, void *) -> size_t {
        errno = ENOSPC;
        return nmemb / 2;
    };
    fd_capture out(1);
    fd_capture err(2);
    EXPECT_EQ(fetch_url(target.c_str(), stream_, full_device, 0, 0, bar.get()), 1);
    std::string message = err.finish();
    EXPECT_EQ(out.finish(), "\n");
    std::string prefix = "Error retrieving " + target + ": ";
    std::string suffix = std::string(": ") + std::strerror(ENOSPC) + "\n\n";
    ASSERT_GT(message.size(), prefix.size() + suffix.size()) << message;
    EXPECT_EQ(message.substr(0, prefix.size()), prefix);
    EXPECT_EQ(message.substr(message.size() - suffix.size()), suffix);
    // The library's own text sits in between, on the same line.
    std::string reason =
        message.substr(prefix.size(), message.size() - prefix.size() - suffix.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
}

TEST_F(fetch_test, bar_shows_the_whole_file_when_resumed) {
    columns_.set(std::nullopt);
    auto bar = progress_bar_new(500);
    std::string target = url("/episode.bin?bar");
    fd_capture out(1);
    EXPECT_EQ(fetch_url(target.c_str(), stream_, stream_write_cb, 500, 0, bar.get()), 0);
    std::string output = out.finish();
    // Every drawing is a full-width line; the last one is the full bar, and
    // the line stays open for the caller's progress_bar_free.
    EXPECT_TRUE(full_match(R"((\r[# ]{74} [ 0-9]{3}%)+)", output)) << output;
    std::string full = "\r" + std::string(74, '#') + " 100%";
    ASSERT_GE(output.size(), full.size());
    EXPECT_EQ(output.substr(output.size() - full.size()), full);
    EXPECT_TRUE(written() == episode_.substr(500));
}

} // namespace
