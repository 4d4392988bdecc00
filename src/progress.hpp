#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include <curl/curl.h>

namespace skiffer {

// One download's text progress bar on standard output.
struct progress_bar {
    FILE *stream = nullptr;
    int64_t resume_offset = 0;
    int width = 0;         // bar characters; 0 draws nothing
    int drawn_length = -1; // filled characters last drawn
    std::unique_ptr<char[]> bar_text;
};

// A bar for a download that starts `resume_offset` bytes into the file,
// sized from COLUMNS.
std::unique_ptr<progress_bar> progress_bar_new(int64_t resume_offset);

// libcurl's transfer-info function (CURLOPT_XFERINFOFUNCTION); `bar` is the
// progress_bar, the rest are byte counts. Always returns 0.
int progress_bar_cb(void *bar, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                    curl_off_t ulnow);

// Ends the bar's line and releases the bar.
void progress_bar_free(std::unique_ptr<progress_bar> bar);

} // namespace skiffer
