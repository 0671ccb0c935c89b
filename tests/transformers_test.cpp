// The data transformers: worked examples in one table (the stateful ones also meet their reference
// models on random streams in models_test.cpp), what the factories copy, the time transformer,
// and hex-string parsing.
#include <SelkoCommunication.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

std::string run(SLKDataTransformer& transformer, const std::string& block) {
    SLKBytes data(block.begin(), block.end());
    transformer.modifyData(data);
    return std::string(data.begin(), data.end());
}
SLKData bytes(const char* text) { return SLKDataWithString(text); }
void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

} // namespace

TEST(Transformers, EveryCallYieldsItsBlockAndItsActions) {
    int actions = 0;
    const auto count = [&actions] { ++actions; };
    struct Call {
        std::string in, out;
        int actions = 0;
    };
    const std::vector<std::tuple<const char*, SLKDataTransformerRef, std::vector<Call>>> examples = {
        {"prepend", createPrependingTransformer(bytes("AB")), {{"xy", "ABxy"}, {"", "AB"}}},
        {"append", createAppendingTransformer(bytes("\r\n")), {{"xy", "xy\r\n"}, {"", "\r\n"}}},
        {"aggregate CR LF", createAggregatingTransformer(bytes("\r\n"), false), {{"x\r", ""}, {"\ny", "x\r\n"}, {"\r", ""}, {"\n", "y\r\n"}}},
        {"aggregate removing", createAggregatingTransformer(bytes("\n"), true), {{"a\nb\n", "a"}, {"", "b"}, {"", ""}}},
        // A deleted occurrence at the very start of what is buffered ends the call.
        {"filter", createFilteringTransformer(bytes("\r\n")), {{"ab\r", "ab"}, {"\ncd\r\nef", ""}, {"", "cdef"}, {"baaab", "baaab"}}},
        {"events ABAB", createEventGeneratorTransformer(bytes("ABAB"), false, count), {{"xABA", "x"}, {"BAB", "ABAB", 1}, {"A", ""}, {"x", "ABAx"}}},
        {"events AB deleted", createEventGeneratorTransformer(bytes("AB"), true, count), {{"ABAB", "", 1}, {"", "", 1}, {"xAByABABz", "xy", 3}, {"q", "zq"}}},
        // Only a directly built generator can have an empty pattern: each call acts once, holding everything.
        {"events of nothing", std::make_shared<SLPEventGenerationTransformer>(SLKBytes{}, count, false), {{"ab", "", 1}, {"", "", 1}}},
    };
    for (const auto& [name, transformer, calls] : examples) {
        for (const Call& call : calls) {
            const int before = actions;
            EXPECT_EQ(run(*transformer, call.in), call.out) << name << " from " << ::testing::PrintToString(call.in);
            EXPECT_EQ(actions - before, call.actions) << name << " from " << ::testing::PrintToString(call.in);
        }
    }
}

TEST(Transformers, FactoriesKeepTheirOwnCopiesOfBytesAndCallables) {
    auto suffix = std::make_shared<SLKBytes>(SLKBytes{'A'}), terminator = std::make_shared<SLKBytes>(SLKBytes{';'});
    int actions = 0;
    std::function<void()> action = [&actions] { ++actions; };
    std::function<void(SLKBytes&)> blk = [](SLKBytes& data) { data.push_back('!'); };
    const SLKDataTransformerRef made[] = {createAppendingTransformer(suffix), createAggregatingTransformer(terminator, false),
                                          createEventGeneratorTransformer(terminator, false, action), createBlockTransformer(blk)};
    suffix->assign({'Z'});
    terminator->assign({'!'});
    action = nullptr;
    blk = nullptr;
    EXPECT_EQ(run(*made[0], "x") + run(*made[1], "a!b;c") + run(*made[2], "!;") + run(*made[3], "x"), "xAa!b;!;x!");
    EXPECT_EQ(actions, 1);
}

// The pause is a lower bound; "has not run" uses a timeout far beyond the time between calls.
TEST(Transformers, TimeTransformerRunsOnACallAfterAPauseOfAtLeastTheTimeout) {
    int runs = 0, quick = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(0.2, [&runs] { ++runs; });
    SLKDataTransformerRef patient = createTimeTransformer(5.0, [&quick] { ++quick; });
    EXPECT_EQ(run(*transformer, "ab") + run(*patient, "c") + run(*patient, ""), "abc");
    pause(0.25);
    EXPECT_EQ(run(*transformer, "") + run(*patient, ""), "");
    EXPECT_EQ(runs * 10 + quick, 10);
}

TEST(Transformers, HexStringExamples) {
    const std::pair<const char*, SLKBytes> examples[] = {
        {"", {}}, {"0x", {}}, {"0x12", {0x12}}, {"12aB", {0x12, 0xAB}}, {"abc", {0x0A, 0xBC}},
        // A leading "0x" removes every "0x" (one pass); elsewhere "0x" is the pair 0; case matters.
        {"0x12 0x34", {0x01, 0x02, 0x34}}, {"120x34", {0x12, 0x00, 0x34}}, {"0X12", {0x00, 0x12}}, {"0x00xx", {0x00}},
        // Each pair is read as strtoul reads it.
        {" 7", {0x07}}, {"1g", {0x01}}, {"g1", {0x00}}, {"-1", {0xFF}}, {"+f", {0x0F}},
    };
    EXPECT_TRUE(SLKDataFromHexString(nullptr)->empty());
    for (const auto& [text, expected] : examples) {
        // An exact-size heap copy: AddressSanitizer sees any read past the terminator.
        const std::unique_ptr<char[]> copy(new char[std::strlen(text) + 1]);
        std::memcpy(copy.get(), text, std::strlen(text) + 1);
        EXPECT_EQ(*SLKDataFromHexString(copy.get()), expected) << ::testing::PrintToString(text);
    }
}
