#include "configuration.hpp"

#include <glib.h>

namespace skiffer {

int check_channel_keys(GKeyFile *, const char *) { g_error("not implemented"); }
std::optional<std::string> read_key_value(GKeyFile *, const char *, const char *) { g_error("not implemented"); }
channel_configuration channel_configuration_new(GKeyFile *, const char *, const channel_configuration *) { g_error("not implemented"); }

} // namespace skiffer
