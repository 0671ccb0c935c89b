// The event-generating transformer, with and without deletion, over a fuzzed stream in fuzzed
// blocks: outputs and action calls (count and the moment each runs) as the intended algorithm
// gives them, and stream-level: without deletion the outputs are the input less a held-back
// beginning of the pattern after every call.
#include "PatternStreamCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    selko::fuzz::checkPatternStream(input, selko::fuzz::PatternFactory::eventGenerator);
    return 0;
}
