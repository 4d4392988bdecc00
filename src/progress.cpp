#include "progress.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "common.hpp"
#include "output.hpp"

namespace skiffer {

namespace {

// The bar and its percentage never make a line wider than this.
constexpr int max_line_width = 79;
// One separating space and "100%" follow the bar.
constexpr int percentage_width = 5;

// The terminal width from COLUMNS, when it holds nothing but a positive
// decimal number; else none (0).
long columns_from_environment() {
    const char *text = std::getenv("COLUMNS");
    if (text == nullptr)
        return 0;
    char *end = nullptr;
    long columns = std::strtol(text, &end, 10);
    // end == text: no digits at all ("", " ", "-"); *end: something after them.
    if (end == text || *end != '\0' || columns <= 0)
        return 0;
    return columns;
}

// The totals of the bars in the status line, which downloads on several
// threads add to while the main thread reads them.
std::atomic<int> status_downloads{0};
std::atomic<int64_t> status_done{0};
std::atomic<int64_t> status_known{0};
std::atomic<int64_t> status_received{0};

// Adds the change since the bar's last call to the totals.
void count_in_status_line(progress_bar &bar, int64_t total, int64_t now) {
    if (total > 0)
        total += bar.resume_offset;
    now += bar.resume_offset;
    status_received.fetch_add(now - bar.counted_now, std::memory_order_relaxed);
    status_done.fetch_add(now - bar.counted_now, std::memory_order_relaxed);
    status_known.fetch_add(total - bar.counted_total, std::memory_order_relaxed);
    bar.counted_now = now;
    bar.counted_total = total;
}

} // namespace

std::unique_ptr<progress_bar> progress_bar_for_status_line(int64_t resume_offset) {
    auto bar = std::make_unique<progress_bar>();
    bar->output = &current_output();
    bar->resume_offset = resume_offset;
    bar->in_status_line = true;
    bar->counted_now = resume_offset;
    // The bytes the file held already are done, not received.
    status_done.fetch_add(resume_offset, std::memory_order_relaxed);
    status_downloads.fetch_add(1, std::memory_order_relaxed);
    return bar;
}

download_totals current_download_totals() {
    return {
        .downloads = status_downloads.load(std::memory_order_relaxed),
        .done = status_done.load(std::memory_order_relaxed),
        .known = status_known.load(std::memory_order_relaxed),
        .received = status_received.load(std::memory_order_relaxed),
    };
}

std::unique_ptr<progress_bar> progress_bar_new(int64_t resume_offset) {
    auto bar = std::make_unique<progress_bar>();
    bar->output = &current_output();
    bar->resume_offset = resume_offset;
    int line_width = max_line_width;
    if (long columns = columns_from_environment(); columns > 0)
        line_width = static_cast<int>(std::min<long>(max_line_width, columns));
    bar->width = line_width >= percentage_width ? line_width - percentage_width : 0;
    bar->drawn_length = -1;
    // Made once here so that the callback, called many times a second,
    // allocates nothing.
    bar->bar_text = std::make_unique<char[]>(bar->width + 1);
    return bar;
}

int progress_bar_cb(void *data, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                    curl_off_t ulnow) {
    auto *bar = static_cast<progress_bar *>(data);
    SKIFFER_ASSERT(ultotal == 0);
    SKIFFER_ASSERT(ulnow == 0);
    if (bar->in_status_line) {
        count_in_status_line(*bar, static_cast<int64_t>(dltotal), static_cast<int64_t>(dlnow));
        return 0;
    }
    if (bar->width <= 0)
        return 0;

    // A resumed download shows the progress of the whole file, so the bytes
    // the file already held count on both sides.
    int filled = 0;
    double fraction = 0;
    if (dltotal != 0) {
        int64_t total = dltotal + bar->resume_offset;
        int64_t now = std::min<int64_t>(dlnow + bar->resume_offset, total);
        // total is only 0 or less for figures no transfer reports; dividing
        // by it would make a NaN, which has no int value.
        if (total > 0) {
            fraction = static_cast<double>(now) / static_cast<double>(total);
            filled = static_cast<int>(bar->width * fraction);
        }
    }

    // Redrawn only when the bar itself changes, which bounds the output of a
    // download by the bar's width rather than by the number of calls.
    if (filled == bar->drawn_length)
        return 0;

    for (int i = 0; i < bar->width; ++i)
        bar->bar_text[i] = i < filled ? '#' : ' ';
    bar->bar_text[bar->width] = '\0';
    int percentage = static_cast<int>(fraction * 100.0);
    print_out("\r%s %3d%%", bar->bar_text.get(), percentage);
    bar->output->flush();
    bar->drawn_length = filled;
    return 0;
}

void progress_bar_free(std::unique_ptr<progress_bar> bar) {
    SKIFFER_ASSERT(bar != nullptr);
    if (bar->in_status_line) {
        status_done.fetch_sub(bar->counted_now, std::memory_order_relaxed);
        status_known.fetch_sub(bar->counted_total, std::memory_order_relaxed);
        status_downloads.fetch_sub(1, std::memory_order_relaxed);
        return;
    }
    bar->output->write(output_stream::out, "\n");
}

} // namespace skiffer
