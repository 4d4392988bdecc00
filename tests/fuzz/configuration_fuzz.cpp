// The configuration loader, given the input as the configuration file: the
// key file is read and every channel checked and resolved against the `*`
// defaults in the order the driver does it.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include <glib.h>

#include "common.hpp"
#include "configuration.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace skiffer;
    key_file_ptr kf{g_key_file_new()};
    if (!g_key_file_load_from_data(kf.get(), reinterpret_cast<const char *>(data), size,
                                   G_KEY_FILE_NONE, nullptr))
        return 0;

    std::optional<channel_configuration> defaults;
    if (g_key_file_has_group(kf.get(), "*")) {
        if (check_channel_keys(kf.get(), "*") < 0)
            return 0;
        defaults = channel_configuration_new(kf.get(), "*", nullptr);
    }

    strv_ptr groups{g_key_file_get_groups(kf.get(), nullptr)};
    for (gchar **group = groups.get(); *group; ++group) {
        if (std::strcmp(*group, "*") == 0 || check_channel_keys(kf.get(), *group) < 0)
            continue;
        const channel_configuration configuration =
            channel_configuration_new(kf.get(), *group, defaults ? &*defaults : nullptr);
        SKIFFER_FUZZ_CHECK(configuration.identifier == *group);
        // The two settings a channel cannot run without: its own value, else the default.
        const std::optional<std::string> url = read_key_value(kf.get(), *group, "url");
        SKIFFER_FUZZ_CHECK(configuration.url == (url || !defaults ? url : defaults->url));
        const std::optional<std::string> spool = read_key_value(kf.get(), *group, "spool");
        SKIFFER_FUZZ_CHECK(configuration.spool == (spool || !defaults ? spool : defaults->spool));
    }
    return 0;
}
