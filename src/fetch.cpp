#include "fetch.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common.hpp"

namespace skiffer {

namespace {

using curl_easy_ptr = c_ptr<CURL, curl_easy_cleanup>;

constexpr long receive_buffer_size = 128 * 1024;

// Connections, name lookups and TLS sessions that the retrievals of one run
// share, so that the episodes of a host come over one connection after one
// handshake. Null when it could not be made: then every retrieval has its
// own, as libcurl does without one.
CURLSH *shared_connections = nullptr;

void release_shared_connections() {
    // Closes the connections still open; no transfer handle uses it by now.
    curl_share_cleanup(shared_connections);
    shared_connections = nullptr;
}

// libcurl's global set-up is not made for being repeated per transfer; it is
// done before the first one and undone when the program exits, after the
// share is released, since exit handlers run in reverse order. Answers its
// outcome, the same for every call.
CURLcode initialise_curl_once() {
    static const CURLcode outcome = [] {
        CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK)
            return code;
        std::atexit(curl_global_cleanup);
        if (CURLSH *share = curl_share_init()) {
            // One thread: the share needs no lock functions.
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            shared_connections = share;
            std::atexit(release_shared_connections);
        }
        return code;
    }();
    return outcome;
}

} // namespace

size_t stream_write_cb(char *ptr, size_t size, size_t nmemb, void *stream) {
    return std::fwrite(ptr, size, nmemb, static_cast<FILE *>(stream));
}

int fetch_url(const char *url, FILE *stream, curl_write_callback write_function,
              int64_t resume_offset, int debug, progress_bar *bar) {
    if (CURLcode setup = initialise_curl_once(); setup != CURLE_OK) {
        std::fprintf(stderr, "Error retrieving %s: %s\n", url, curl_easy_strerror(setup));
        return 1;
    }
    std::string user_agent =
        SKIFFER_NAME " " SKIFFER_VERSION " (" SKIFFER_NAME " rss enclosure downloader)";

    curl_easy_ptr handle(curl_easy_init());
    if (!handle) {
        std::fprintf(stderr, "Error retrieving %s: %s\n", url,
                     curl_easy_strerror(CURLE_FAILED_INIT));
        return 1;
    }
    CURL *curl = handle.get();

    char error_text[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url);
    if (shared_connections != nullptr)
        curl_easy_setopt(curl, CURLOPT_SHARE, shared_connections);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    // Feed and enclosure URLs come from other people's documents: only web
    // resources may be fetched, never local files or other schemes, and a
    // redirect must not lead there either.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // An error page is not the resource: without this its body would land in
    // the enclosure file or be parsed as the feed, and count as success.
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    // A null write function selects libcurl's own, which fwrites to WRITEDATA.
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_function);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, stream);
    // Larger blocks than libcurl's 16 KiB: an episode arrives in a fraction
    // of the reads and writes.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receive_buffer_size);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent.c_str());
    // The empty text offers every encoding libcurl can decode, and the body
    // reaches the stream decoded.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    if (bar != nullptr) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, progress_bar_cb);
        curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, bar);
    } else {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    }
    if (resume_offset != 0)
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resume_offset));
    curl_easy_setopt(curl, CURLOPT_VERBOSE, static_cast<long>(debug));

    CURLcode outcome = curl_easy_perform(curl);
    // The error number of a failed write is wanted below; closing the
    // connection must not overwrite it.
    int write_errno = errno;
    // A 416 to a resumed request says that the range starts at or past the
    // end: there is nothing left to fetch. libcurl means to accept it even when failing
    // on errors, but forgets the resume once the server's Content-Range reads
    // "bytes */size", as it usually does with a 416; accept it here instead.
    // No body was written, since a failed status stops before the body.
    if (outcome == CURLE_HTTP_RETURNED_ERROR && resume_offset != 0) {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 416)
            outcome = CURLE_OK;
    }
    handle.reset();
    if (outcome == CURLE_OK)
        return 0;

    // libcurl fills the buffer for nearly every failure; its short text for
    // the code stands in where it did not.
    const char *reason = error_text[0] != '\0' ? error_text : curl_easy_strerror(outcome);
    if (bar != nullptr) {
        // The message must not continue the bar's line.
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (outcome == CURLE_WRITE_ERROR)
        std::fprintf(stderr, "Error retrieving %s: %s: %s\n\n", url, reason,
                     std::strerror(write_errno));
    else
        std::fprintf(stderr, "Error retrieving %s: %s\n", url, reason);
    return 1;
}

int fetch_url_to_stream(FILE *stream, const std::string &url, int debug) {
    return fetch_url(url.c_str(), stream, nullptr, 0, debug, nullptr);
}

} // namespace skiffer
