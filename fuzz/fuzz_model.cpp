// The model fuzz targets: fuzz_<name> is built from this file with SELKO_MODEL_CHECK set to the
// name of a check in tests/ModelChecks.h (the checks the seeded property test runs); the fuzzer's
// input is that check's script, and a difference stops the run.
#include "ModelChecks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const auto& [name, check] : selko::model::kChecks) {
        selko::model::Script script{data, data + size};
        const std::string failure = std::strcmp(name, SELKO_MODEL_CHECK) == 0 ? check(script) : "";
        if (!failure.empty()) {
            std::fprintf(stderr, "library and reference model differ: %s\n", failure.c_str());
            std::abort();
        }
    }
    return 0;
}
