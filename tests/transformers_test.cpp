// The data transformers: the worked examples of every transformer in one table, what their
// factories copy, the block and time transformers, hex-string parsing, and stream-level
// properties of the stateful transformers on pseudo-random streams cut at random.
#include <SelkoCommunication.h>

#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace selko::test;

namespace {

std::string run(SLKDataTransformer& transformer, const std::string& block) {
    SLKBytes data = toBytes(block);
    transformer.modifyData(data);
    return std::string(data.begin(), data.end());
}

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Makes a transformer; `action` counts the calls of an event generator's action.
using Maker = std::function<SLKDataTransformerRef(std::function<void()> action)>;

Maker prepending(const char* bytes) {
    return [bytes](auto) { return createPrependingTransformer(SLKDataWithString(bytes)); };
}
Maker appending(const char* bytes) {
    return [bytes](auto) { return createAppendingTransformer(SLKDataWithString(bytes)); };
}
Maker aggregating(const char* terminator, bool removeTerminator) {
    return [=](auto) { return createAggregatingTransformer(SLKDataWithString(terminator), removeTerminator); };
}
Maker filtering(const char* pattern) {
    return [pattern](auto) { return createFilteringTransformer(SLKDataWithString(pattern)); };
}
Maker events(const char* pattern, bool removeData) {
    return [=](std::function<void()> action) {
        return createEventGeneratorTransformer(SLKDataWithString(pattern), removeData, std::move(action));
    };
}

} // namespace

TEST(TransformerExamples, EveryCallYieldsItsBlockAndItsActions) {
    struct Call {
        std::string in;
        std::string out;
        int actions = 0;
    };
    struct Example {
        const char* name;
        Maker make;
        std::vector<Call> calls;
    };
    const Example examples[] = {
        {"prepend", prepending("AB"), {{"xy", "ABxy"}, {"", "AB"}, {"z", "ABz"}}},
        {"append", appending("\r\n"), {{"xy", "xy\r\n"}, {"", "\r\n"}}},
        {"prepend nothing", prepending(""), {{"xy", "xy"}}},
        {"append nothing", appending(""), {{"xy", "xy"}}},
        {"block that empties", [](auto) { return createBlockTransformer([](SLKBytes& data) { data.clear(); }); }, {{"xy", ""}}},
        {"aggregate keeping LF", aggregating("\n", false),
         {{"ab", ""}, {"c\nd", "abc\n"}, {"e\nf\n", "de\n"}, {"", "f\n"}, {"", ""}}},
        {"aggregate dropping LF", aggregating("\n", true), {{"ab", ""}, {"c\nd", "abc"}, {"e\nf\n", "de"}, {"", "f"}, {"", ""}}},
        // A terminator split across blocks, and one whose first byte ended an earlier failed search.
        {"aggregate CR LF", aggregating("\r\n", false),
         {{"x\r", ""}, {"\ny", "x\r\n"}, {"\r", ""}, {"\r", ""}, {"\n", "y\r\r\n"}}},
        {"an empty message looks like no message", aggregating("\n", true), {{"\n", ""}, {"a\n", "a"}}},
        {"filter in one block", filtering("\r\n"), {{"a\r\nb\r\nc", "abc"}}},
        // A deleted occurrence at the very start of what is buffered ends the call; later ones
        // are deleted on the way.
        {"filter across blocks", filtering("\r\n"),
         {{"ab\r", "ab"}, {"\ncd\r\nef", ""}, {"", "cdef"}, {"\r\nab", ""}, {"", "ab"}, {"x\r\n\r\ny\r\nz", "x"}, {"", "yz"}}},
        // Occurrences do not overlap, and bytes that meet across a deletion do not form one.
        {"filter aa", filtering("aa"), {{"baaab", "bab"}}},
        {"filter AB", filtering("AB"), {{"xAABBy", "xABy"}}},
        {"events CR LF", events("\r\n", false),
         {{"ab\r", "ab"}, {"\ncd\r\nef", "\r\ncd\r\nef", 2}, {"a\r\nb\r\nc", "a\r\nb\r\nc", 2}}},
        {"events ABC", events("ABC", false), {{"xAB", "x"}, {"Cyz", "ABCyz", 1}}},
        {"events AAB", events("AAB", false), {{"xAA", "x"}, {"B", "AAB", 1}}},
        // The longest possible beginning is held back; a tail that is none is released at once.
        {"events ABAB", events("ABAB", false), {{"xABA", "x"}, {"BAB", "ABAB", 1}, {"", ""}, {"A", ""}, {"x", "ABAx"}}},
        {"events ABAB tail", events("ABAB", false), {{"xABB", "xABB"}}},
        {"events one byte", events("A", false), {{"xAyA", "xAyA", 2}, {"A", "A", 1}}},
        {"events ABC deleted", events("ABC", true), {{"xAB", "x"}, {"Cyz", "", 1}, {"", "yz"}}},
        {"events AB deleted", events("AB", true),
         {{"ABAB", "", 1}, {"", "", 1}, {"", ""}, {"xAByABABz", "xy", 3}, {"q", "zq"}}},
    };
    for (const Example& example : examples) {
        SCOPED_TRACE(example.name);
        int actions = 0;
        SLKDataTransformerRef transformer = example.make([&actions] { ++actions; });
        ASSERT_NE(transformer, nullptr);
        for (const Call& call : example.calls) {
            const int before = actions;
            EXPECT_EQ(run(*transformer, call.in), call.out) << "from " << ::testing::PrintToString(call.in);
            EXPECT_EQ(actions - before, call.actions) << "from " << ::testing::PrintToString(call.in);
        }
    }
}

TEST(TransformerExamples, TheActionSeesTheBytesUpToItsOccurrence) {
    SLKBytes data;
    Strings seen;
    for (const bool removeData : {false, true}) {
        seen.clear();
        SLKDataTransformerRef transformer = createEventGeneratorTransformer(
            SLKDataWithString("--"), removeData, [&] { seen.emplace_back(data.begin(), data.end()); });
        data = toBytes("a--b--c");
        transformer->modifyData(data);
        EXPECT_EQ(seen, removeData ? (Strings{"a", "ab"}) : (Strings{"a--", "a--b--"}));
        EXPECT_EQ(data, toBytes(removeData ? "abc" : "a--b--c"));
    }
    // A directly built generator with an empty pattern acts once per call and holds everything.
    int actions = 0;
    SLPEventGenerationTransformer generator(SLKBytes{}, [&actions] { ++actions; }, false);
    EXPECT_EQ(run(generator, "ab"), "");
    EXPECT_EQ(run(generator, ""), "");
    EXPECT_EQ(actions, 2);
}

TEST(TransformerFactories, KeepTheirOwnCopiesOfBytesAndCallables) {
    auto prefix = std::make_shared<SLKBytes>(toBytes("AB"));
    auto suffix = std::make_shared<SLKBytes>(toBytes("CD"));
    auto terminator = std::make_shared<SLKBytes>(toBytes(";"));
    auto pattern = std::make_shared<SLKBytes>(toBytes("XY"));
    int actions = 0;
    std::function<void()> action = [&actions] { ++actions; };
    std::string seen;
    std::function<void(SLKBytes&)> blk = [&seen](SLKBytes& data) { seen.assign(data.begin(), data.end()); };
    SLKDataTransformerRef prepend = createPrependingTransformer(prefix);
    SLKDataTransformerRef append = createAppendingTransformer(suffix);
    SLKDataTransformerRef aggregator = createAggregatingTransformer(terminator, false);
    SLKDataTransformerRef generator = createEventGeneratorTransformer(pattern, false, action);
    SLKDataTransformerRef block = createBlockTransformer(blk);
    prefix->assign({'Z'});
    suffix->clear();
    terminator->assign({'!'});
    pattern->assign({'Q'});
    action = nullptr;
    blk = nullptr;
    EXPECT_EQ(run(*prepend, "x"), "ABx");
    EXPECT_EQ(run(*append, "x"), "xCD");
    EXPECT_EQ(run(*aggregator, "a!b;c"), "a!b;");
    EXPECT_EQ(run(*generator, "QXYQ"), "QXYQ");
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(run(*block, "xy"), "xy");
    EXPECT_EQ(seen, "xy");
    auto& typed = dynamic_cast<SLPEventGenerationTransformer&>(*generator);
    EXPECT_FALSE(typed.removeData());
    EXPECT_TRUE(static_cast<bool>(typed.action()));
    auto& aggregating = dynamic_cast<SLPDataAggregatorTransformer&>(*aggregator);
    EXPECT_EQ(aggregating.data2Find(), toBytes(";"));
    EXPECT_FALSE(aggregating.removeTerminator());
    EXPECT_EQ(aggregating.buffer(), toBytes("c"));
}

TEST(BlockTransformer, SetBlkReplacesTheCallableAlsoWhileAnotherThreadAsksForIt) {
    SLPBlockDataTransformer transformer([](SLKBytes& data) { data.push_back('1'); });
    EXPECT_EQ(run(transformer, "a"), "a1");
    transformer.setBlk([](SLKBytes& data) { data.push_back('2'); });
    EXPECT_EQ(run(transformer, "a"), "a2");
    SLKBytes data = toBytes("b");
    transformer.blk()(data);
    EXPECT_EQ(data, toBytes("b2"));
    // An empty callable (only possible when built directly) leaves blocks alone.
    transformer.setBlk(nullptr);
    EXPECT_EQ(run(transformer, "c"), "c");

    transformer.setBlk([](SLKBytes& bytes) { bytes.push_back('0'); });
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            transformer.setBlk([i](SLKBytes& bytes) { bytes.push_back(static_cast<std::uint8_t>('0' + i % 2)); });
    });
    for (int i = 0; i < 2000; ++i) {
        SLKBytes got;
        transformer.blk()(got);
        ASSERT_EQ(got.size(), 1u);
        ASSERT_TRUE(got[0] == '0' || got[0] == '1');
    }
    writer.join();
}

// The time transformer works on the wall clock, so this pauses for real. Whether blk ran is
// asserted only where the pause is a guaranteed lower bound or the outcome does not depend on
// timing at all; "did not run" uses a timeout far beyond the pauses between calls.
TEST(TimeTransformer, RunsOnACallAfterAPauseOfAtLeastTheTimeout) {
    int runs = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(0.2, [&runs] { ++runs; });
    auto& block = dynamic_cast<SLPBlockDataTransformer&>(*transformer);
    EXPECT_EQ(run(*transformer, "ab"), "ab"); // starts the measurement, whatever the timeout
    EXPECT_EQ(runs, 0);
    pause(0.25);
    EXPECT_EQ(run(*transformer, ""), ""); // an empty block is timed like any other
    EXPECT_EQ(runs, 1);
    // The call after a triggering call restarts the measurement, however long the pause was.
    pause(0.25);
    EXPECT_EQ(run(*transformer, "c"), "c");
    EXPECT_EQ(runs, 1);
    // Every copy of the callable shares the reference time: a copy sees the pause since "c"...
    pause(0.25);
    SLKBytes data;
    block.blk()(data);
    EXPECT_EQ(runs, 2);
    // ...and its run restarts the measurement for the transformer too.
    pause(0.25);
    run(*transformer, "d");
    EXPECT_EQ(runs, 2);

    int quick = 0;
    SLKDataTransformerRef patient = createTimeTransformer(5.0, [&quick] { ++quick; });
    for (int i = 0; i < 10; ++i) {
        run(*patient, "x");
        pause(0.01);
    }
    EXPECT_EQ(quick, 0);
}

// ---------------------------------------------------------------------------------------------
// Hex-string parsing
// ---------------------------------------------------------------------------------------------

TEST(HexString, Examples) {
    const std::pair<const char*, SLKBytes> examples[] = {
        {"", {}}, {"0x", {}}, {"0x12", {0x12}}, {"12ab", {0x12, 0xAB}}, {"12AB", {0x12, 0xAB}},
        {"abc", {0x0A, 0xBC}}, // odd length: a leading 0
        {"0x1", {0x01}},
        // A leading "0x" removes every "0x"; "12 34" is odd, so it becomes "012 34".
        {"0x12 0x34", {0x01, 0x02, 0x34}},
        {"120x34", {0x12, 0x00, 0x34}}, // no leading "0x": nothing removed, the pair "0x" is 0
        {"0X12", {0x00, 0x12}},         // the prefix test is case-sensitive
        {"0x00xx", {0x00}},             // one pass: the occurrences at the first and fourth characters go
        // Each pair is read as strtoul reads it.
        {"0a", {0x0A}}, {"0A", {0x0A}}, {"ff", {0xFF}}, {" 7", {0x07}}, {"7 ", {0x07}}, {"1g", {0x01}},
        {"g1", {0x00}}, {"0X", {0x00}}, {"-1", {0xFF}}, {"-f", {0xF1}}, {"+f", {0x0F}}, {"\t9", {0x09}}, {"zz", {0x00}},
    };
    ASSERT_NE(SLKDataFromHexString(nullptr), nullptr);
    EXPECT_TRUE(SLKDataFromHexString(nullptr)->empty());
    for (const auto& [text, bytes] : examples) {
        const std::shared_ptr<SLKBytes> parsed = SLKDataFromHexString(text);
        ASSERT_NE(parsed, nullptr) << text;
        EXPECT_EQ(*parsed, bytes) << ::testing::PrintToString(text);
    }
}

TEST(HexString, NeverReadsBeyondTheText) {
    // The text ends right before an unreadable page: any read past its terminator faults.
    const long page = sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + page, static_cast<std::size_t>(page), PROT_NONE), 0);
    const std::pair<const char*, std::size_t> texts[] = {{"0", 1}, {"0x0", 1}, {"abc", 2}, {"\xff\x80z", 2}, {"0x0x0x1", 1}};
    for (const auto& [text, size] : texts) {
        const std::size_t length = std::strlen(text) + 1;
        char* copy = area + page - length;
        std::memcpy(copy, text, length);
        EXPECT_EQ(SLKDataFromHexString(copy)->size(), size) << text;
    }
    munmap(area, static_cast<std::size_t>(2 * page));
}

// ---------------------------------------------------------------------------------------------
// Stream properties: however a pseudo-random stream is cut into blocks, what comes out must match
// a plain reference scan of the whole stream.
// ---------------------------------------------------------------------------------------------

namespace {

// Leftmost-first, non-overlapping occurrences of `pattern` in `stream`, as start offsets. The
// transformers keep the not yet released bytes as one contiguous piece of the stream, so bytes
// that meet only because an occurrence between them was deleted never form a new occurrence.
std::vector<std::size_t> occurrences(const std::string& stream, const std::string& pattern) {
    std::vector<std::size_t> found;
    for (std::size_t p = stream.find(pattern); p != std::string::npos; p = stream.find(pattern, p + pattern.size()))
        found.push_back(p);
    return found;
}

// How many final bytes are held back as a possible beginning of an occurrence: the longest tail
// after the last occurrence, shorter than the pattern, that equals the pattern's beginning.
std::size_t heldBack(const std::string& stream, const std::string& pattern, const std::vector<std::size_t>& found) {
    const std::size_t after = found.empty() ? 0 : found.back() + pattern.size();
    for (std::size_t k = std::min(pattern.size() - 1, stream.size() - after); k > 0; --k) {
        if (stream.compare(stream.size() - k, k, pattern, 0, k) == 0)
            return k;
    }
    return 0;
}

std::string randomStream(std::mt19937& random, const std::string& alphabet, std::size_t maxLength) {
    std::string stream(std::uniform_int_distribution<std::size_t>(0, maxLength)(random), '\0');
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (char& byte : stream)
        byte = alphabet[pick(random)];
    return stream;
}

// Cuts the stream into blocks of random sizes, empty ones included.
Strings randomCut(std::mt19937& random, const std::string& stream) {
    std::uniform_int_distribution<std::size_t> size(0, std::uniform_int_distribution<std::size_t>(1, 64)(random));
    Strings blocks;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t length = std::min(size(random), stream.size() - at);
        blocks.push_back(stream.substr(at, length));
        at += length;
    }
    return blocks;
}

struct Scenario {
    std::string pattern;
    std::string alphabet;
};

// Patterns that overlap themselves, share bytes with what surrounds them, or are one byte long;
// long runs of a pattern's first byte make the quick scan of the search give up and hand over.
const Scenario kScenarios[] = {
    {"\r\n", "ab\r\n"}, {"AB", "AB"},       {"AB", "ABx"},    {"AAB", "AB"},        {"ABAB", "ABx"},
    {"ABA", "AB"},      {"A", "Ax"},        {"aaa", "ab"},    {"ABCABD", "ABCD"},   {"AABA", "AB"},
    {"ABAABAB", "AB"},  {"AAAAAAAB", "AB"}, {"AAAAAAAB", "A"}, {"AAAAAAAB", "AAAB"}, {"xy", "xyz"},
};

constexpr int kStreamsPerScenario = 4;
constexpr int kCutsPerStream = 25;
constexpr std::size_t kMaxStream = 1500;

} // namespace

TEST(TransformerProperties, EventGeneratorActsOnEveryOccurrenceAndDeletesThemWhenAsked) {
    std::mt19937 random(20240601);
    for (const bool removeData : {false, true}) {
        for (const Scenario& scenario : kScenarios) {
            const std::string& pattern = scenario.pattern;
            for (int s = 0; s < kStreamsPerScenario; ++s) {
                const std::string stream = randomStream(random, scenario.alphabet, kMaxStream);
                const std::vector<std::size_t> found = occurrences(stream, pattern);
                std::string expected = stream;
                if (removeData) {
                    expected.clear();
                    std::size_t at = 0;
                    for (const std::size_t p : found) {
                        expected += stream.substr(at, p - at);
                        at = p + pattern.size();
                    }
                    expected += stream.substr(at);
                }
                // The final possible beginning of an occurrence stays held back, flushes or not.
                expected.resize(expected.size() - heldBack(stream, pattern, found));
                for (int cut = 0; cut < kCutsPerStream; ++cut) {
                    SCOPED_TRACE("pattern " + pattern + ", deleting " + std::to_string(removeData) + ", stream " + stream);
                    std::size_t actions = 0;
                    bool actionSawItsOccurrence = true;
                    SLKBytes data;
                    SLPEventGenerationTransformer generator(
                        toBytes(pattern),
                        [&] {
                            // What the call yielded so far ends with the occurrence, unless deleted.
                            const std::string sofar(data.begin(), data.end());
                            const std::size_t at = sofar.size() - std::min(sofar.size(), pattern.size());
                            actionSawItsOccurrence &= removeData || sofar.compare(at, std::string::npos, pattern) == 0;
                            ++actions;
                        },
                        removeData);
                    std::string output;
                    for (const std::string& block : randomCut(random, stream)) {
                        data = toBytes(block);
                        generator.modifyData(data);
                        output.append(data.begin(), data.end());
                        ASSERT_EQ(expected.compare(0, output.size(), output), 0) << "not a prefix: " << output;
                    }
                    // Each empty call gets past at least one deleted occurrence at the front.
                    for (std::size_t flush = 0; removeData && flush <= found.size(); ++flush)
                        output += run(generator, "");
                    ASSERT_EQ(output, expected);
                    ASSERT_EQ(actions, found.size());
                    ASSERT_TRUE(actionSawItsOccurrence);
                }
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
                const std::string stream = randomStream(random, scenario.alphabet, kMaxStream);
                const std::vector<std::size_t> ends = occurrences(stream, scenario.pattern);
                const std::size_t t = scenario.pattern.size();
                for (int cut = 0; cut < kCutsPerStream; ++cut) {
                    SCOPED_TRACE("terminator " + scenario.pattern + ", stream " + stream);
                    SLPDataAggregatorTransformer aggregator(toBytes(scenario.pattern), removeTerminator);
                    Strings blocks = randomCut(random, stream);
                    blocks.resize(blocks.size() + ends.size() + 1); // empty calls drain the rest
                    std::size_t fed = 0;
                    std::size_t released = 0;
                    std::size_t messageStart = 0;
                    for (const std::string& block : blocks) {
                        fed += block.size();
                        const std::string message = run(aggregator, block);
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
                    const SLKBytes rest = aggregator.buffer();
                    ASSERT_EQ(std::string(rest.begin(), rest.end()), stream.substr(messageStart));
                }
            }
        }
    }
}
