// Stream-level properties of the stateful transformers: however a pseudo-random stream is cut
// into blocks, what comes out must match a plain reference scan of the whole stream.
#include <SelkoCommunication.h>

#include "PatternSearch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::string;

// Leftmost-first, non-overlapping occurrences of `pattern` in `stream`, as start offsets. The
// transformers keep the not yet released bytes as one contiguous piece of the stream, so bytes
// that meet only because an occurrence between them was deleted never form a new occurrence.
std::vector<std::size_t> occurrences(const Bytes& stream, const Bytes& pattern) {
    std::vector<std::size_t> found;
    for (std::size_t p = stream.find(pattern); p != Bytes::npos; p = stream.find(pattern, p + pattern.size()))
        found.push_back(p);
    return found;
}

// How many final bytes are held back as a possible beginning of an occurrence: the longest tail
// after the last occurrence, shorter than the pattern, that equals the pattern's beginning.
std::size_t heldBack(const Bytes& stream, const Bytes& pattern, const std::vector<std::size_t>& found) {
    const std::size_t after = found.empty() ? 0 : found.back() + pattern.size();
    for (std::size_t k = std::min(pattern.size() - 1, stream.size() - after); k > 0; --k) {
        if (stream.compare(stream.size() - k, k, pattern, 0, k) == 0)
            return k;
    }
    return 0;
}

Bytes randomStream(std::mt19937& random, const Bytes& alphabet, std::size_t maxLength) {
    Bytes stream(std::uniform_int_distribution<std::size_t>(0, maxLength)(random), '\0');
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (char& byte : stream)
        byte = alphabet[pick(random)];
    return stream;
}

// Cuts the stream into blocks of random sizes, empty ones included.
std::vector<Bytes> randomCut(std::mt19937& random, const Bytes& stream) {
    const std::size_t largest = std::uniform_int_distribution<std::size_t>(1, 64)(random);
    std::uniform_int_distribution<std::size_t> size(0, largest);
    std::vector<Bytes> blocks;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t length = std::min(size(random), stream.size() - at);
        blocks.push_back(stream.substr(at, length));
        at += length;
    }
    return blocks;
}

Bytes call(SLKDataTransformer& transformer, const Bytes& block) {
    SLKBytes data(block.begin(), block.end());
    transformer.modifyData(data);
    return Bytes(data.begin(), data.end());
}

struct Scenario {
    Bytes pattern;
    Bytes alphabet;
};

// Patterns that overlap themselves, share bytes with what surrounds them, or are one byte long.
const Scenario kScenarios[] = {
    {"\r\n", "ab\r\n"}, {"AB", "AB"}, {"AB", "ABx"}, {"AAB", "AB"}, {"ABAB", "ABx"},
    {"ABA", "AB"},      {"A", "Ax"},  {"aaa", "ab"}, {"ABCABD", "ABCD"}, {"AABA", "AB"}, {"ABAABAB", "AB"},
};

constexpr int kStreamsPerScenario = 4;
constexpr int kCutsPerStream = 25;
constexpr std::size_t kMaxStream = 1500;

} // namespace

TEST(TransformerProperties, EventGeneratorWithoutDeletionOnlyDelaysBytes) {
    std::mt19937 random(20240601);
    for (const Scenario& scenario : kScenarios) {
        for (int s = 0; s < kStreamsPerScenario; ++s) {
            const Bytes stream = randomStream(random, scenario.alphabet, kMaxStream);
            const std::vector<std::size_t> found = occurrences(stream, scenario.pattern);
            const std::size_t held = heldBack(stream, scenario.pattern, found);
            for (int cut = 0; cut < kCutsPerStream; ++cut) {
                SCOPED_TRACE("pattern " + scenario.pattern + ", stream " + stream);
                std::size_t events = 0;
                bool actionSawItsOccurrence = true;
                SLKBytes data;
                SLPEventGenerationTransformer generator(
                    SLKBytes(scenario.pattern.begin(), scenario.pattern.end()),
                    [&] {
                        ++events;
                        const Bytes sofar(data.begin(), data.end());
                        actionSawItsOccurrence &= sofar.size() >= scenario.pattern.size() &&
                                                  sofar.compare(sofar.size() - scenario.pattern.size(),
                                                                scenario.pattern.size(), scenario.pattern) == 0;
                    },
                    false);
                Bytes output;
                for (const Bytes& block : randomCut(random, stream)) {
                    data.assign(block.begin(), block.end());
                    generator.modifyData(data);
                    output.append(data.begin(), data.end());
                }
                ASSERT_EQ(output, stream.substr(0, stream.size() - held));
                ASSERT_EQ(events, found.size());
                ASSERT_TRUE(actionSawItsOccurrence);
            }
        }
    }
}

TEST(TransformerProperties, FilterDeletesExactlyTheOccurrences) {
    std::mt19937 random(7);
    for (const Scenario& scenario : kScenarios) {
        for (int s = 0; s < kStreamsPerScenario; ++s) {
            const Bytes stream = randomStream(random, scenario.alphabet, kMaxStream);
            const std::vector<std::size_t> found = occurrences(stream, scenario.pattern);
            Bytes expected;
            std::size_t at = 0;
            for (std::size_t p : found) {
                expected += stream.substr(at, p - at);
                at = p + scenario.pattern.size();
            }
            expected += stream.substr(at);
            // The final possible beginning of an occurrence stays held back, flushes or not.
            expected.resize(expected.size() - heldBack(stream, scenario.pattern, found));

            for (int cut = 0; cut < kCutsPerStream; ++cut) {
                SCOPED_TRACE("pattern " + scenario.pattern + ", stream " + stream);
                SLKDataTransformerRef filter =
                    createFilteringTransformer(SLKDataWithString(scenario.pattern.c_str()));
                Bytes output;
                for (const Bytes& block : randomCut(random, stream)) {
                    output += call(*filter, block);
                    ASSERT_EQ(expected.compare(0, output.size(), output), 0) << "not a prefix: " << output;
                }
                // Each empty call gets past at least one deleted occurrence at the front.
                for (std::size_t flush = 0; flush <= found.size(); ++flush)
                    output += call(*filter, "");
                ASSERT_EQ(output, expected);
            }
        }
    }
}

TEST(TransformerProperties, AggregatorReleasesTheNextMessageOnEveryCallThatHasOne) {
    std::mt19937 random(99);
    const Scenario terminators[] = {{"\n", "ab\n"}, {"\r\n", "a\r\n"}, {"aa", "ab"}, {"aba", "ab"}};
    for (const Scenario& scenario : terminators) {
        for (const bool removeTerminator : {false, true}) {
            for (int s = 0; s < kStreamsPerScenario; ++s) {
                const Bytes stream = randomStream(random, scenario.alphabet, kMaxStream);
                const std::vector<std::size_t> ends = occurrences(stream, scenario.pattern);
                const std::size_t t = scenario.pattern.size();
                for (int cut = 0; cut < kCutsPerStream; ++cut) {
                    SCOPED_TRACE("terminator " + scenario.pattern + ", stream " + stream);
                    SLKDataTransformerRef aggregator =
                        createAggregatingTransformer(SLKDataWithString(scenario.pattern.c_str()), removeTerminator);
                    std::vector<Bytes> blocks = randomCut(random, stream);
                    blocks.resize(blocks.size() + ends.size() + 1); // empty calls drain the rest
                    std::size_t fed = 0;
                    std::size_t released = 0;
                    std::size_t messageStart = 0;
                    for (const Bytes& block : blocks) {
                        fed += block.size();
                        const Bytes message = call(*aggregator, block);
                        if (released < ends.size() && ends[released] + t <= fed) {
                            const std::size_t end = ends[released] + (removeTerminator ? 0 : t);
                            ASSERT_EQ(message, stream.substr(messageStart, end - messageStart));
                            messageStart = ends[released] + t;
                            ++released;
                        } else {
                            ASSERT_EQ(message, "");
                        }
                    }
                    ASSERT_EQ(released, ends.size());
                    auto& typed = dynamic_cast<SLPDataAggregatorTransformer&>(*aggregator);
                    const SLKBytes rest = typed.buffer();
                    ASSERT_EQ(Bytes(rest.begin(), rest.end()), stream.substr(messageStart));
                }
            }
        }
    }
}

TEST(TransformerProperties, PatternSearchFindsTheLeftmostOccurrenceEvenAmongManyFalseStarts) {
    std::mt19937 random(3);
    // Long runs of the first byte make the quick scan give up and hand over to memmem.
    const Scenario cases[] = {{"AAAAAAAB", "AB"}, {"AAAAAAAB", "A"}, {"ABAABAB", "AB"}, {"\r\n", "a\r\n"}, {"xy", "xyz"}};
    for (const Scenario& c : cases) {
        for (int s = 0; s < 50; ++s) {
            Bytes text = randomStream(random, c.alphabet, 3000);
            if (s % 2 == 1)
                text += c.pattern; // make sure some searches succeed late
            const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
            const auto* pattern = reinterpret_cast<const std::uint8_t*>(c.pattern.data());
            const std::uint8_t* found = selko::detail::findPattern(begin, text.size(), pattern, c.pattern.size());
            const std::size_t expected = text.find(c.pattern);
            ASSERT_EQ(found ? static_cast<std::size_t>(found - begin) : Bytes::npos, expected) << c.pattern;
        }
    }
}
