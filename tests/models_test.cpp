// The stateful algorithms (aggregator, event generator, filter, echo removal) against their plain
// reference models, on seeded pseudo-random scripts: the same checks the fuzz targets run.
#include "ModelChecks.h"

#include <gtest/gtest.h>

#include <random>

TEST(ReferenceModels, EveryAlgorithmMatchesItsModelOnRandomScripts) {
    for (const auto& [name, check] : selko::model::checks()) {
        std::mt19937 random(20240601);
        for (int round = 0; round < 1500; ++round) {
            std::vector<std::uint8_t> bytes(random() % 400);
            for (std::uint8_t& byte : bytes)
                byte = static_cast<std::uint8_t>(random());
            selko::model::Script script(bytes.data(), bytes.size());
            const std::string failure = check(script);
            ASSERT_EQ(failure, "") << name << ", round " << round;
        }
    }
}
