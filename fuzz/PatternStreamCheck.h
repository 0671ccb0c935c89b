// Drives a pattern-matching transformer (event generator or filter) with a fuzzed stream cut into
// fuzzed blocks, and checks it call by call against the reference model and, over the whole
// stream, against a plain scan for the occurrences.
#ifndef SELKO_FUZZ_PATTERN_STREAM_CHECK_H
#define SELKO_FUZZ_PATTERN_STREAM_CHECK_H

#include "ReferenceModels.h"

namespace selko::fuzz {

enum class PatternFactory { eventGenerator, filter };

// What the stream should have become once everything that can be released was: the input with
// the occurrences deleted (or kept), less a held-back tail that may still begin an occurrence.
struct PatternExpectation {
    SLKBytes released;
    std::size_t occurrences = 0;
};

inline PatternExpectation expectedRelease(const SLKBytes& stream, const SLKBytes& pattern, bool remove) {
    const std::vector<std::size_t> found = greedyOccurrences(stream, pattern);
    PatternExpectation expectation;
    expectation.occurrences = found.size();
    std::size_t from = 0;
    for (std::size_t at : found) {
        const std::size_t keptEnd = remove ? at : at + pattern.size();
        expectation.released.insert(expectation.released.end(), stream.begin() + static_cast<std::ptrdiff_t>(from),
                                    stream.begin() + static_cast<std::ptrdiff_t>(keptEnd));
        from = at + pattern.size();
    }
    const SLKBytes tail(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.end());
    const std::size_t held = longestHeldBackTail(tail, pattern);
    expectation.released.insert(expectation.released.end(), tail.begin(),
                                tail.end() - static_cast<std::ptrdiff_t>(held));
    return expectation;
}

inline void checkPatternStream(FuzzedDataProvider& input, PatternFactory factory) {
    const Alphabet alphabet = Alphabet::consume(input);
    const bool remove = factory == PatternFactory::filter ? true : input.ConsumeBool();
    const SLKBytes pattern = alphabet.consumeNonEmpty(input, 6);

    // The action records how many output bytes exist when it runs: the bytes of earlier calls plus
    // what the current call's block holds at that moment.
    struct Observation {
        const SLKBytes* block = nullptr;
        std::size_t emittedBefore = 0;
        std::vector<std::size_t> actionPoints;
    } observation;

    CommErrorRef error;
    const SLKData patternData = std::make_shared<const SLKBytes>(pattern);
    const SLKDataTransformerRef transformer =
        factory == PatternFactory::filter
            ? createFilteringTransformer(patternData, &error)
            : createEventGeneratorTransformer(patternData, remove, [&observation] {
                  observation.actionPoints.push_back(observation.emittedBefore + observation.block->size());
              }, &error);
    FUZZ_CHECK(transformer != nullptr, "factory refused the pattern \"%s\"", printable(pattern).c_str());

    EventGeneratorModel model(pattern, remove);
    SLKBytes stream;
    SLKBytes emitted;
    std::size_t modelOccurrences = 0;

    // One call; returns how many occurrences the model found in it.
    auto feed = [&](SLKBytes block) {
        SLKBytes modelBlock = block;
        const SLKBytes given = block;
        observation.block = &block;
        observation.emittedBefore = emitted.size();
        observation.actionPoints.clear();
        transformer->modifyData(block);
        const std::vector<std::size_t> expectedPoints = model.modify(modelBlock, emitted.size());
        FUZZ_CHECK(block == modelBlock, "pattern \"%s\" remove=%d, block \"%s\": output \"%s\", expected \"%s\"",
                   printable(pattern).c_str(), remove, printable(given).c_str(), printable(block).c_str(),
                   printable(modelBlock).c_str());
        if (factory == PatternFactory::eventGenerator)
            FUZZ_CHECK(observation.actionPoints == expectedPoints,
                       "pattern \"%s\" remove=%d, block \"%s\": %zu action calls, expected %zu (or at other points)",
                       printable(pattern).c_str(), remove, printable(given).c_str(), observation.actionPoints.size(),
                       expectedPoints.size());
        emitted.insert(emitted.end(), block.begin(), block.end());
        modelOccurrences += expectedPoints.size();
        return expectedPoints.size();
    };

    while (input.remaining_bytes() > 0) {
        const SLKBytes block = alphabet.consume(input, 24);
        stream.insert(stream.end(), block.begin(), block.end());
        feed(block);
        if (!remove) {
            // Without deletion nothing waits but a held-back beginning of the pattern, after
            // every single call.
            const PatternExpectation expected = expectedRelease(stream, pattern, false);
            FUZZ_CHECK(emitted == expected.released, "pattern \"%s\": emitted \"%s\", expected \"%s\"",
                       printable(pattern).c_str(), printable(emitted).c_str(), printable(expected.released).c_str());
            FUZZ_CHECK(modelOccurrences == expected.occurrences, "%zu occurrences reported, %zu in the stream",
                       modelOccurrences, expected.occurrences);
        } else {
            const PatternExpectation expected = expectedRelease(stream, pattern, true);
            FUZZ_CHECK(emitted.size() <= expected.released.size() &&
                           std::equal(emitted.begin(), emitted.end(), expected.released.begin()),
                       "pattern \"%s\": emitted \"%s\" is not a beginning of \"%s\"", printable(pattern).c_str(),
                       printable(emitted).c_str(), printable(expected.released).c_str());
        }
    }

    // Empty calls release what deletion left waiting; each makes progress past one occurrence,
    // so the stream is settled after at most one call per occurrence plus one.
    for (std::size_t round = 0; round <= stream.size() + 1; ++round) {
        const std::size_t before = emitted.size();
        if (feed(SLKBytes()) == 0 && emitted.size() == before)
            break;
    }
    const PatternExpectation expected = expectedRelease(stream, pattern, remove);
    FUZZ_CHECK(emitted == expected.released, "pattern \"%s\" remove=%d: settled output \"%s\", expected \"%s\"",
               printable(pattern).c_str(), remove, printable(emitted).c_str(), printable(expected.released).c_str());
    FUZZ_CHECK(modelOccurrences == expected.occurrences, "%zu occurrences, %zu in the stream", modelOccurrences,
               expected.occurrences);
}

} // namespace selko::fuzz

#endif
