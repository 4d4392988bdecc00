#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include <curl/curl.h>

#include "output.hpp"

namespace skiffer {

// One download's text progress bar on standard output.
struct progress_bar {
    output_sink *output = nullptr; // the output of the thread that made the bar
    int64_t resume_offset = 0;
    int width = 0;         // bar characters; 0 draws nothing
    int drawn_length = -1; // filled characters last drawn
    std::unique_ptr<char[]> bar_text;
    // Counted into the run's download totals instead of drawn, for the one
    // status line of a run with several jobs; the figures last counted.
    bool in_status_line = false;
    int64_t counted_now = 0;
    int64_t counted_total = 0;
};

// A bar for a download that starts `resume_offset` bytes into the file,
// sized from COLUMNS.
std::unique_ptr<progress_bar> progress_bar_new(int64_t resume_offset);

// A bar that draws nothing and counts the download, from `resume_offset`
// on, into the run's download totals.
std::unique_ptr<progress_bar> progress_bar_for_status_line(int64_t resume_offset);

// What the downloads of bars in the status line add up to, read at one
// moment; safe to read from any thread.
struct download_totals {
    int downloads = 0;    // under way
    int64_t done = 0;     // the bytes their files hold
    int64_t known = 0;    // the sizes of their files, as far as known
    int64_t received = 0; // every byte received since the run started, for the rate
};
download_totals current_download_totals();

// libcurl's transfer-info function (CURLOPT_XFERINFOFUNCTION); `bar` is the
// progress_bar, the rest are byte counts. Always returns 0.
int progress_bar_cb(void *bar, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                    curl_off_t ulnow);

// Ends the bar's line (a bar in the status line takes its download out of
// the totals instead) and releases the bar.
void progress_bar_free(std::unique_ptr<progress_bar> bar);

} // namespace skiffer
