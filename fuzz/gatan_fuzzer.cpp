// libFuzzer entry point: one input through gatanfuzz::exercise (support/GatanExercise.h). Whatever
// escapes it (another exception type, a broken invariant, a sanitizer report) is a finding.
#include "GatanExercise.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gatanfuzz::exercise(data, size);
    return 0;
}
