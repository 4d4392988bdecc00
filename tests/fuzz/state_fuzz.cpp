// The state file loader, given the input as a channel's state file. What it
// accepts must survive the writer: saved and loaded again, the same entries
// and the same last fetch time come back.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "state.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace skiffer;
    const std::string path = fuzz::write_scratch_file("state.xml", data, size);
    const std::unique_ptr<channel_state> loaded =
        channel_state_load("http://example.com/feed.xml", path, "/spool", std::nullopt);
    if (!loaded)
        return 0;

    const std::unique_ptr<channel_state> reloaded = fuzz::save_and_reload(*loaded, "saved.xml");
    SKIFFER_FUZZ_CHECK(reloaded != nullptr);
    SKIFFER_FUZZ_CHECK(reloaded->downloaded_enclosures == loaded->downloaded_enclosures);
    SKIFFER_FUZZ_CHECK(reloaded->rsslastfetched == loaded->rsslastfetched);
    return 0;
}
