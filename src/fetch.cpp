#include "fetch.hpp"

#include <glib.h>

namespace skiffer {

size_t stream_write_cb(char *, size_t, size_t, void *) { g_error("not implemented"); }
int fetch_url(const char *, FILE *, curl_write_callback, int64_t, int, progress_bar *) { g_error("not implemented"); }
int fetch_url_to_stream(FILE *, const std::string &, int) { g_error("not implemented"); }

} // namespace skiffer
