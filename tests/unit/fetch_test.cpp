#include "fetch.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

    // A loopback port that nothing listens on: bound, read and closed.
    static int free_port() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        close(fd);
        return ntohs(address.sin_port);
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
    EXPECT_EQ(request_header(requests[0], "User-Agent"), user_agent);
    EXPECT_EQ(request_header(requests[0], "Range"), std::nullopt);
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

TEST_F(fetch_test, follows_redirects) {
    for (const char *path : {"/redirect/301/episode.bin?moved", "/redirect/302/episode.bin?found",
                             "/chain/20/episode.bin?twenty"}) {
        SCOPED_TRACE(path);
        empty_stream();
        fd_capture err(2);
        EXPECT_EQ(fetch_url(url(path).c_str(), stream_, stream_write_cb, 0, 0, nullptr), 0);
        EXPECT_EQ(err.finish(), "");
        EXPECT_TRUE(written() == episode_);
    }
    // Every redirect leads to the bare path, asked for with the same
    // User-Agent; twenty hops in a row are still followed.
    EXPECT_EQ(requests_for("/chain/1/episode.bin").size(), 1u);
    auto targets = requests_for("/episode.bin");
    ASSERT_EQ(targets.size(), 3u);
    for (const auto &request : targets)
        EXPECT_EQ(request_header(request, "User-Agent"), user_agent);
}

TEST_F(fetch_test, only_feeds_are_asked_for_compression_and_decoded) {
    const std::string compressed = url("/gzip/episode.bin?enclosure");
    fd_capture err(2);
    EXPECT_EQ(fetch_url(compressed.c_str(), stream_, stream_write_cb, 0, 0, nullptr), 0);
    // Sent encoded although not asked to: kept as sent, never inflated.
    EXPECT_EQ(written().substr(0, 2), "\x1f\x8b");
    EXPECT_NE(written(), episode_);

    empty_stream();
    EXPECT_EQ(fetch_url_to_stream(stream_, url("/gzip/episode.bin?feed"), 0), 0);
    EXPECT_TRUE(written() == episode_);
    EXPECT_EQ(err.finish(), "");

    auto enclosure = requests_for("/gzip/episode.bin?enclosure");
    ASSERT_EQ(enclosure.size(), 1u);
    EXPECT_EQ(request_header(enclosure[0], "Accept-Encoding"), std::nullopt);
    auto feed = requests_for("/gzip/episode.bin?feed");
    ASSERT_EQ(feed.size(), 1u);
    EXPECT_NE(request_header(feed[0], "Accept-Encoding").value_or("").find("gzip"),
              std::string::npos);
}

TEST_F(fetch_test, feed_larger_than_the_limit_is_refused_by_its_decoded_size) {
    // The feed is 3000 bytes decoded, fewer on the wire when compressed.
    struct limit_case {
        const char *path;
        const char *limit;
        bool refused;
    } cases[] = {
        {"/episode.bin?exact", "30:60:3000", false},
        {"/episode.bin?over", "30:60:2999", true},
        {"/gzip/episode.bin?over", "30:60:2999", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        scoped_environment limits("SKIFFER_TEST_LIMITS", c.limit);
        empty_stream();
        fd_capture err(2);
        EXPECT_EQ(fetch_url_to_stream(stream_, url(c.path), 0),
                  c.refused ? FETCH_FAILED : FETCH_OK);
        EXPECT_EQ(err.finish(), c.refused ? "Error retrieving " + url(c.path) +
                                                ": The feed exceeds the limit of 2999 bytes.\n"
                                          : "");
        if (!c.refused)
            EXPECT_TRUE(written() == episode_);
        else
            EXPECT_LE(written().size(), 2999u);
    }
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
        EXPECT_EQ(request_header(requests[0], "Range"), c.range);
    }
}

TEST_F(fetch_test, failures_are_reported_with_library_text) {
    // An HTTP error answer is told apart from a transfer that got no usable
    // answer at all, since only the latter would fail for every resource.
    struct failure_case {
        std::string url;
        std::string reason;
        size_t written; // bytes that reached the stream before the failure
        int result;
    } cases[] = {
        {url("/status/404"), "The requested URL returned error: 404", 0, FETCH_HTTP_ERROR},
        {url("/status/500"), "The requested URL returned error: 500", 0, FETCH_HTTP_ERROR},
        {url("/status/416"), "The requested URL returned error: 416", 0, FETCH_HTTP_ERROR},
        {url("/redirect/302/status/410"), "The requested URL returned error: 410", 0,
         FETCH_HTTP_ERROR},
        {url("/drop/100/episode.bin"), "transfer closed with 2900 bytes remaining to read", 100,
         FETCH_FAILED},
        {"file:///etc/passwd", "Protocol \"file\" not supported or disabled in libcurl", 0,
         FETCH_FAILED},
        {url("/redirect-to?file:///etc/passwd"),
         "Protocol \"file\" not supported or disabled in libcurl", 0, FETCH_FAILED},
        {url("/loop"), "Maximum (20) redirects followed", 0, FETCH_FAILED},
        {url("/chain/21/episode.bin"), "Maximum (20) redirects followed", 0, FETCH_FAILED},
        // A resumed request for a page that does not exist is no complete file.
        {url("/status/404?resumed"), "The requested URL returned error: 404", 0, FETCH_HTTP_ERROR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        empty_stream();
        int64_t offset = c.url.find("resumed") != std::string::npos ? 100 : 0;
        fd_capture out(1);
        fd_capture err(2);
        EXPECT_EQ(fetch_url(c.url.c_str(), stream_, stream_write_cb, offset, 0, nullptr), c.result);
        EXPECT_EQ(err.finish(), "Error retrieving " + c.url + ": " + c.reason + "\n");
        EXPECT_EQ(out.finish(), "");
        EXPECT_TRUE(written() == episode_.substr(0, c.written));
    }
}

TEST_F(fetch_test, a_closed_port_is_no_answer_at_all) {
    // A port that was free a moment ago: nothing listens there.
    std::string target = "http://127.0.0.1:" + std::to_string(free_port()) + "/episode.bin";
    fd_capture err(2);
    EXPECT_EQ(fetch_url(target.c_str(), stream_, stream_write_cb, 0, 0, nullptr), FETCH_FAILED);
    EXPECT_TRUE(
        full_match(regex_escape("Error retrieving " + target + ": ") + ".+\n", err.finish()));
}

TEST_F(fetch_test, a_refused_range_is_complete_only_at_the_stated_size) {
    // The episode has 3000 bytes; the server answers a range from 3000 on or
    // later with 416 and "Content-Range: bytes */3000", and /status/416 with
    // no Content-Range at all.
    struct range_case {
        const char *path;
        int64_t offset;
        int result;
        std::optional<int64_t> remote_size;
    } cases[] = {
        {"/episode.bin?complete", 3000, FETCH_OK, 42},
        {"/episode.bin?longer", 3500, FETCH_RANGE_REFUSED, 3000},
        {"/status/416?unstated", 100, FETCH_RANGE_REFUSED, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        empty_stream();
        // 42 stands for "left alone": success hands nothing back.
        std::optional<int64_t> remote_size = 42;
        fd_capture out(1);
        fd_capture err(2);
        EXPECT_EQ(fetch_url(url(c.path).c_str(), stream_, stream_write_cb, c.offset, 0, nullptr,
                            &remote_size),
                  c.result);
        // The caller reports a refused range: it knows the file.
        EXPECT_EQ(err.finish(), "");
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(remote_size, c.remote_size);
        EXPECT_EQ(written(), "");
    }

    // With a bar, the caller's message starts on a line of its own.
    columns_.set("3");
    auto bar = progress_bar_new(3500);
    fd_capture out(1);
    EXPECT_EQ(fetch_url(url("/episode.bin?bar-refused").c_str(), stream_, stream_write_cb, 3500, 0,
                        bar.get()),
              FETCH_RANGE_REFUSED);
    EXPECT_EQ(out.finish(), "\n");
}

TEST_F(fetch_test, failure_ends_the_bar_line_first) {
    // A bar too narrow to draw anything leaves only the line end to see.
    columns_.set("3");
    auto bar = progress_bar_new(0);
    std::string target = url("/status/404?bar");
    fd_capture out(1);
    fd_capture err(2);
    EXPECT_EQ(fetch_url(target.c_str(), stream_, stream_write_cb, 0, 0, bar.get()),
              FETCH_HTTP_ERROR);
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
    EXPECT_EQ(fetch_url(target.c_str(), stream_, full_device, 0, 0, bar.get()), FETCH_FAILED);
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
