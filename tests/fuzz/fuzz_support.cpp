#include "fuzz_support.hpp"

// libFuzzer calls this once, before the first input, in every target: each
// starts quietly, as quiet_start says.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    skiffer::fuzz::quiet_start(argc, argv);
    return 0;
}
