#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <curl/curl.h>

#include "progress.hpp"

namespace skiffer {

// Appends a received block to the FILE* given as `stream`; returns what fwrite wrote.
size_t stream_write_cb(char *ptr, size_t size, size_t nmemb, void *stream);

// Retrieves `url` (http or https only, redirects included) into `stream`,
// from `resume_offset` on when it is not 0. An HTTP error status is a failure
// and its body is not written. Returns 0 on success, 1 after a message
// otherwise.
int fetch_url(const char *url, FILE *stream, curl_write_callback write_function,
              int64_t resume_offset, int debug, progress_bar *bar);

// Writer form of fetch_url for write_via_temporary_file: whole resource, no bar.
int fetch_url_to_stream(FILE *stream, const std::string &url, int debug);

} // namespace skiffer
