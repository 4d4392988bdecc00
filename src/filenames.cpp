#include "filenames.hpp"

#include <glib.h>

namespace skiffer {

std::string enclosure_file_name(const std::string &, const std::optional<std::string> &, const channel_info &, const feed_item &) { g_error("not implemented"); }
std::string expand_filename_pattern(const std::string &, const channel_info &, const feed_item &) { g_error("not implemented"); }

} // namespace skiffer
