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
// none, in `remote_size` when it is not null.
int fetch_url(const char *url, FILE *stream, curl_write_callback write_function,
              int64_t resume_offset, int debug, progress_bar *bar,
              std::optional<int64_t> *remote_size = nullptr);

// The host part of `url` in lower case, as transfers are counted per host;
// empty when `url` is no URL with a host.
std::string url_host(const char *url);

// The most bytes a feed may decode to: 256 MiB, far more than any real feed
// needs.
int64_t feed_size_limit();

// Writer form of fetch_url for write_via_temporary_file, for feeds: the whole
// resource, no bar, compression offered and undone, and refused (after a
// message) once its decoded size exceeds 256 MiB.
int fetch_url_to_stream(FILE *stream, const std::string &url, int debug);

} // namespace skiffer
