#include "progress.hpp"

#include <glib.h>

namespace skiffer {

std::unique_ptr<progress_bar> progress_bar_new(int64_t) { g_error("not implemented"); }
int progress_bar_cb(void *, double, double, double, double) { g_error("not implemented"); }
void progress_bar_free(std::unique_ptr<progress_bar>) { g_error("not implemented"); }

} // namespace skiffer
