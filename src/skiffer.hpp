#pragma once

#include "channel.hpp"

namespace skiffer {

enum run_mode { RUN_MODE_UPDATE = 0, RUN_MODE_CATCHUP = 1, RUN_MODE_LIST = 2 };

} // namespace skiffer
