#include "channel.hpp"

#include <glib.h>

namespace skiffer {

std::unique_ptr<channel_state> channel_state_load(const std::string &, const std::string &, const std::string &, const std::optional<std::string> &) { g_error("not implemented"); }
int write_channel_state(FILE *, const channel_state &, int) { g_error("not implemented"); }
int save_channel_state(const channel_state &, int) { g_error("not implemented"); }
std::unique_ptr<enclosure_filter> enclosure_filter_new(const char *, int) { g_error("not implemented"); }
bool _enclosure_pattern_match(const enclosure_filter *, const feed_enclosure *) { g_error("not implemented"); }
int channel_refresh(channel_state &, const channel_configuration &, run_callback, int, int, int, int, const enclosure_filter *, int, int) { g_error("not implemented"); }

} // namespace skiffer
