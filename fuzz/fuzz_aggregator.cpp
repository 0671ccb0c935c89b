// The aggregator against its reference model on the fuzzer's script (tests/ModelChecks.h).
#include "ModelFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzzModelCheck("aggregator", data, size);
}
