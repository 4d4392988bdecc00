#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "progress.hpp"

namespace skiffer {

// How a retrieval ended. Every result but FETCH_OK is a failure; they differ
// in what the caller can conclude from them.
enum fetch_result : int {
    FETCH_OK = 0,
    // No usable answer: no connection, no name, TLS, a dropped connection, a
    // refused write, an unsupported scheme, too many redirects. Reported.
    FETCH_FAILED = 1,
    // The server answered with an HTTP error status (400 or more). Reported.
    FETCH_HTTP_ERROR = 2,
    // A resumed request was answered 416 without stating `resume_offset` as
    // the resource's size: the stream does not hold the start of this
    // resource. Not reported; the caller, who knows the file, does.
    FETCH_RANGE_REFUSED = 3,
    // A conditional request was answered 304 Not Modified: nothing was
    // written. Not reported.
    FETCH_NOT_MODIFIED = 4,
};

// What a retrieval sends beyond the plain request and what it learns of the
// answer besides the body: the validators of a cached copy, and the headers
// that tell how to ask next time. The headers are those of the last answer,
// after redirects, exactly as the server sent them.
struct http_exchange {
    // Sent as If-None-Match and If-Modified-Since, byte for byte, when
    // present; neither may hold a line break.
    std::optional<std::string> if_none_match;
    std::optional<std::string> if_modified_since;

    long status = 0; // 0 when no answer came
    std::optional<std::string> etag;
    std::optional<std::string> last_modified;
    std::optional<std::string> retry_after;
    // The host name of the URL that gave the last answer, in lower case.
    std::optional<std::string> answering_host;
};

// Appends a received block to the FILE* given as `stream`; returns what fwrite wrote.
size_t stream_write_cb(char *ptr, size_t size, size_t nmemb, void *stream);

// Retrieves the enclosure at `url` (http or https only, at most 20 redirects)
// into `stream`, from `resume_offset` on when it is not 0; `resume_offset` is
// the number of bytes the stream already holds. The body is written as the
// server sends it: no compression is asked for, and none is undone. An HTTP
// error status is a failure and its body is not written; a connection not
// made within 30 seconds and a transfer averaging fewer than 10 bytes a
// second over 60 seconds are FETCH_FAILED, as a dropped connection is. A
// 416 to a resumed request is success when its "Content-Range: bytes */N"
// states N = `resume_offset` (the stream is complete), else
// FETCH_RANGE_REFUSED, with the stated size, or none when the answer states
// none, in `remote_size` when it is not null. `exchange`, when not null,
// receives what the answer said (see http_exchange).
int fetch_url(const char *url, FILE *stream, curl_write_callback write_function,
              int64_t resume_offset, int debug, progress_bar *bar,
              std::optional<int64_t> *remote_size = nullptr, http_exchange *exchange = nullptr);

// The host name in `url`, in lower case; none when it has none or is no URL.
std::optional<std::string> url_host(const char *url);

// The most bytes a feed may decode to: 256 MiB, far more than any real feed
// needs.
int64_t feed_size_limit();

// Writer form of fetch_url for write_via_temporary_file, for feeds: the whole
// resource, no bar, compression offered and undone, and refused (after a
// message) once its decoded size exceeds 256 MiB. With `exchange`, its
// validators are sent and the answer's headers kept there; a 304 answer is
// FETCH_NOT_MODIFIED when validators were sent and an HTTP error when none
// were.
int fetch_url_to_stream(FILE *stream, const std::string &url, int debug,
                        http_exchange *exchange = nullptr);

} // namespace skiffer
