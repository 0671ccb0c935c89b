// The stateful algorithms against their reference models on seeded pseudo-random scripts: the
// same checks the fuzz targets run.
#include "ModelChecks.h"

#include <gtest/gtest.h>

#include <random>

TEST(ReferenceModels, EveryAlgorithmMatchesItsModelOnRandomScripts) {
    for (const auto& [name, agrees] : selko::model::kChecks) {
        std::mt19937 random(20240601);
        for (int round = 0; round < 1500; ++round) {
            std::vector<std::uint8_t> bytes(random() % 400);
            for (std::uint8_t& byte : bytes)
                byte = static_cast<std::uint8_t>(random());
            selko::model::Script script{bytes.data(), bytes.data() + bytes.size()};
            ASSERT_TRUE(agrees(script)) << name << " differs from its model in round " << round;
        }
    }
}
