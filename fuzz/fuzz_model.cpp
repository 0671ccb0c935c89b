// The fuzz targets: fuzz_<name> is built from this file with SELKO_MODEL_CHECK set to the
// name of a check in tests/ModelChecks.h (the checks the seeded property test runs); the fuzzer's
// input is that check's script, and a difference stops the run.
#include "ModelChecks.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const auto& [name, agrees] : selko::model::kChecks) {
        selko::model::Script script{data, data + size};
        if (std::strcmp(name, SELKO_MODEL_CHECK) == 0 && !agrees(script))
            std::abort(); // the library and its reference model differ on this input
    }
    return 0;
}
