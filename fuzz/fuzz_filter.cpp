// The filtering transformer over a fuzzed stream in fuzzed blocks: every call's output as the
// intended algorithm gives it, the outputs always a beginning of the input with the occurrences
// deleted, and everything but a held-back beginning of the pattern released once settled.
#include "PatternStreamCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    selko::fuzz::checkPatternStream(input, selko::fuzz::PatternFactory::filter);
    return 0;
}
