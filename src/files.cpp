#include "files.hpp"

#include <glib.h>

namespace skiffer {

int write_via_temporary_file(const std::optional<std::string> &, const temporary_file_writer &, std::string *, int) { g_error("not implemented"); }
std::optional<std::string> current_time_stamp() { g_error("not implemented"); }

} // namespace skiffer
