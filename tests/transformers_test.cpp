// The data transformers: the worked examples of every transformer in one table, what their
// factories copy, the block and time transformers, and hex-string parsing. The stateful
// transformers also meet their reference models on random streams (models_test.cpp).
#include <SelkoCommunication.h>

#include "ModelChecks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using selko::model::run;

namespace {

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Makes a transformer; `action` counts the calls of an event generator's action.
using Maker = std::function<SLKDataTransformerRef(std::function<void()> action)>;

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
    const std::vector<std::tuple<const char*, Maker, std::vector<Call>>> examples = {
        {"prepend", [](auto) { return createPrependingTransformer(SLKDataWithString("AB")); }, {{"xy", "ABxy"}, {"", "AB"}}},
        {"append", [](auto) { return createAppendingTransformer(SLKDataWithString("\r\n")); }, {{"xy", "xy\r\n"}, {"", "\r\n"}}},
        {"aggregate keeping LF", aggregating("\n", false),
         {{"ab", ""}, {"c\nd", "abc\n"}, {"e\nf\n", "de\n"}, {"", "f\n"}, {"", ""}}},
        {"aggregate dropping LF", aggregating("\n", true), {{"ab", ""}, {"c\nd", "abc"}, {"e\nf\n", "de"}, {"", "f"}, {"", ""}}},
        // A terminator split across blocks, and one whose first byte ended an earlier failed search.
        {"aggregate CR LF", aggregating("\r\n", false), {{"x\r", ""}, {"\ny", "x\r\n"}, {"\r", ""}, {"\r", ""}, {"\n", "y\r\r\n"}}},
        {"filter in one block", filtering("\r\n"), {{"a\r\nb\r\nc", "abc"}}},
        // A deleted occurrence at the very start of what is buffered ends the call.
        {"filter across blocks", filtering("\r\n"), {{"ab\r", "ab"}, {"\ncd\r\nef", ""}, {"", "cdef"}, {"\r\nab", ""}, {"", "ab"}}},
        // Occurrences do not overlap, and bytes that meet across a deletion do not form one.
        {"filter aa", filtering("aa"), {{"baaab", "bab"}}},
        {"filter AB", filtering("AB"), {{"xAABBy", "xABy"}}},
        {"events CR LF", events("\r\n", false), {{"ab\r", "ab"}, {"\ncd\r\nef", "\r\ncd\r\nef", 2}, {"a\r\nb\r\nc", "a\r\nb\r\nc", 2}}},
        {"events AAB", events("AAB", false), {{"xAA", "x"}, {"B", "AAB", 1}}},
        // The longest possible beginning is held back; a tail that is none is released at once.
        {"events ABAB", events("ABAB", false), {{"xABA", "x"}, {"BAB", "ABAB", 1}, {"A", ""}, {"x", "ABAx"}, {"xABB", "xABB"}}},
        {"events one byte", events("A", false), {{"xAyA", "xAyA", 2}}},
        {"events ABC deleted", events("ABC", true), {{"xAB", "x"}, {"Cyz", "", 1}, {"", "yz"}}},
        {"events AB deleted", events("AB", true), {{"ABAB", "", 1}, {"", "", 1}, {"", ""}, {"xAByABABz", "xy", 3}, {"q", "zq"}}},
    };
    for (const auto& [name, make, calls] : examples) {
        SCOPED_TRACE(name);
        int actions = 0;
        SLKDataTransformerRef transformer = make([&actions] { ++actions; });
        for (const Call& call : calls) {
            const int before = actions;
            EXPECT_EQ(run(*transformer, call.in), call.out) << "from " << ::testing::PrintToString(call.in);
            EXPECT_EQ(actions - before, call.actions) << "from " << ::testing::PrintToString(call.in);
        }
    }
}

// Only a directly built generator can have an empty pattern: each call acts once and ends.
TEST(TransformerExamples, AnEmptyPatternActsOncePerCallAndHoldsEverything) {
    int actions = 0;
    SLPEventGenerationTransformer generator(SLKBytes{}, [&actions] { ++actions; }, false);
    EXPECT_EQ(run(generator, "ab"), "");
    EXPECT_EQ(run(generator, ""), "");
    EXPECT_EQ(actions, 2);
}

TEST(TransformerFactories, KeepTheirOwnCopiesOfBytesAndCallables) {
    auto prefix = std::make_shared<SLKBytes>(SLKBytes{'A'});
    auto suffix = std::make_shared<SLKBytes>(SLKBytes{'C'});
    auto terminator = std::make_shared<SLKBytes>(SLKBytes{';'});
    auto pattern = std::make_shared<SLKBytes>(SLKBytes{'X', 'Y'});
    int actions = 0;
    std::function<void()> action = [&actions] { ++actions; };
    std::function<void(SLKBytes&)> blk = [](SLKBytes& data) { data.push_back('!'); };
    const SLKDataTransformerRef made[] = {createPrependingTransformer(prefix), createAppendingTransformer(suffix),
                                          createAggregatingTransformer(terminator, false),
                                          createEventGeneratorTransformer(pattern, false, action), createBlockTransformer(blk)};
    prefix->assign({'Z'});
    suffix->clear();
    terminator->assign({'!'});
    pattern->assign({'Q'});
    action = nullptr;
    blk = nullptr;
    EXPECT_EQ(run(*made[0], "x"), "Ax");
    EXPECT_EQ(run(*made[1], "x"), "xC");
    EXPECT_EQ(run(*made[2], "a!b;c"), "a!b;");
    EXPECT_EQ(run(*made[3], "QXYQ"), "QXYQ");
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(run(*made[4], "x"), "x!");
}

TEST(BlockTransformer, SetBlkReplacesTheCallableAlsoWhileAnotherThreadRunsIt) {
    SLPBlockDataTransformer transformer([](SLKBytes& data) { data.push_back('0'); });
    transformer.setBlk(nullptr); // an empty callable (only possible when built directly) leaves blocks alone
    EXPECT_EQ(run(transformer, "c"), "c");
    // Under ThreadSanitizer this shows that replacing and running the callable do not race.
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            transformer.setBlk([i](SLKBytes& bytes) { bytes.push_back(static_cast<std::uint8_t>('0' + i % 2)); });
    });
    for (int i = 0; i < 2000; ++i) {
        const std::string got = run(transformer, "");
        ASSERT_TRUE(got == "" || got == "0" || got == "1") << got;
    }
    writer.join();
    EXPECT_EQ(run(transformer, "a"), "a1");
}

// The time transformer works on the wall clock, so this pauses for real. Whether blk ran is
// asserted only where the pause is a guaranteed lower bound; "did not run" uses a timeout far
// beyond the pauses between calls.
TEST(TimeTransformer, RunsOnACallAfterAPauseOfAtLeastTheTimeout) {
    int runs = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(0.2, [&runs] { ++runs; });
    auto& block = dynamic_cast<SLPBlockDataTransformer&>(*transformer);
    EXPECT_EQ(run(*transformer, "ab"), "ab"); // starts the measurement, whatever the timeout
    pause(0.25);
    EXPECT_EQ(run(*transformer, ""), ""); // an empty block is timed like any other
    EXPECT_EQ(runs, 1);
    // The call after a triggering call restarts the measurement, however long the pause was.
    pause(0.25);
    run(*transformer, "c");
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
    for (int i = 0; i < 10; ++i, pause(0.01))
        run(*patient, "x");
    EXPECT_EQ(quick, 0);
}

TEST(HexString, Examples) {
    const std::pair<const char*, SLKBytes> examples[] = {
        {"", {}}, {"0x", {}}, {"0x12", {0x12}}, {"12aB", {0x12, 0xAB}},
        {"abc", {0x0A, 0xBC}}, // odd length: a leading 0
        {"0x1", {0x01}},
        // A leading "0x" removes every "0x"; "12 34" is odd, so it becomes "012 34".
        {"0x12 0x34", {0x01, 0x02, 0x34}},
        {"120x34", {0x12, 0x00, 0x34}}, // no leading "0x": nothing removed, the pair "0x" is 0
        {"0X12", {0x00, 0x12}},         // the prefix test is case-sensitive
        {"0x00xx", {0x00}},             // one pass: the occurrences at the first and fourth characters go
        // Each pair is read as strtoul reads it.
        {" 7", {0x07}}, {"7 ", {0x07}}, {"1g", {0x01}}, {"g1", {0x00}}, {"-1", {0xFF}}, {"-f", {0xF1}}, {"+f", {0x0F}},
    };
    EXPECT_TRUE(SLKDataFromHexString(nullptr)->empty());
    for (const auto& [text, bytes] : examples) {
        // An exact-size heap copy: AddressSanitizer sees any read past the terminator.
        const std::size_t size = std::strlen(text) + 1;
        const std::unique_ptr<char[]> copy(new char[size]);
        std::memcpy(copy.get(), text, size);
        EXPECT_EQ(*SLKDataFromHexString(copy.get()), bytes) << ::testing::PrintToString(text);
    }
}
