// The body of every model fuzz target: the fuzzer's input is the script of one check from
// tests/ModelChecks.h (the same checks the seeded property test runs); a difference stops the run.
#ifndef SELKO_MODEL_FUZZ_TARGET_H
#define SELKO_MODEL_FUZZ_TARGET_H

#include "ModelChecks.h"

#include <cstdio>
#include <cstdlib>
#include <string>

inline int fuzzModelCheck(const std::string& name, const std::uint8_t* data, std::size_t size) {
    selko::model::Script script(data, size);
    std::string failure = "no check named " + name;
    for (const auto& [checkName, check] : selko::model::checks()) {
        if (checkName == name)
            failure = check(script);
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "library and reference model differ: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}

#endif
