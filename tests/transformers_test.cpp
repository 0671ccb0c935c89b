// The data transformers: worked examples in one table (the stateful ones also meet their reference
// models on random streams in models_test.cpp), what the factories copy, the time transformer,
// and hex-string parsing.
#include "TestSupport.h"

namespace {

std::string run(SLKDataTransformer& transformer, const std::string& block) {
    SLKBytes data(block.begin(), block.end());
    transformer.modifyData(data);
    return std::string(data.begin(), data.end());
}

} // namespace

// The factories keep their own copies of bytes and callables: the originals change before the calls.
TEST(Transformers, EveryCallYieldsItsBlockAndItsActionsFromTheFactorysOwnCopies) {
    int actions = 0;
    std::function<void()> count = [&actions] { ++actions; };
    std::function<void(SLKBytes&)> exclaim = [](SLKBytes& data) { data.push_back('!'); };
    auto crlf = std::make_shared<SLKBytes>(SLKBytes{'\r', '\n'}), ab = std::make_shared<SLKBytes>(SLKBytes{'A', 'B'});
    struct Call {
        std::string in, out;
        int actions = 0;
    };
    const std::vector<std::tuple<const char*, SLKDataTransformerRef, std::vector<Call>>> examples = {
        {"prepend", createPrependingTransformer(SLKDataWithString("AB")), {{"xy", "ABxy"}, {"", "AB"}}},
        {"append", createAppendingTransformer(crlf), {{"xy", "xy\r\n"}, {"", "\r\n"}}},
        {"block", createBlockTransformer(exclaim), {{"x", "x!"}}},
        {"aggregate CR LF", createAggregatingTransformer(crlf, false),
         {{"x\r", ""}, {"\ny", "x\r\n"}, {"\r", ""}, {"\n", "y\r\n"}}},
        {"events AB deleted", createEventGeneratorTransformer(ab, true, count),
         {{"ABAB", "", 1}, {"", "", 1}, {"xAByABABz", "xy", 3}, {"q", "zq"}}},
        // Only a directly built generator can have an empty pattern: each call acts once, holding everything.
        {"events of nothing", std::make_shared<SLPEventGenerationTransformer>(SLKBytes{}, count, false),
         {{"ab", "", 1}, {"", "", 1}}},
    };
    crlf->assign({'Z'});
    ab->assign({'Z'});
    count = nullptr;
    exclaim = nullptr;
    for (const auto& [name, transformer, calls] : examples) {
        for (const Call& call : calls) {
            actions = 0;
            EXPECT_EQ(run(*transformer, call.in), call.out) << name << " from " << ::testing::PrintToString(call.in);
            EXPECT_EQ(actions, call.actions) << name << " from " << ::testing::PrintToString(call.in);
        }
    }
}

// The pause is a lower bound; "has not run" uses a timeout far beyond the time between calls.
TEST(Transformers, TimeTransformerRunsOnACallAfterAPauseOfAtLeastTheTimeout) {
    int runs = 0, quick = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(0.2, [&runs] { ++runs; });
    SLKDataTransformerRef patient = createTimeTransformer(5.0, [&quick] { ++quick; });
    EXPECT_EQ(run(*transformer, "ab") + run(*patient, "c") + run(*patient, ""), "abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
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
        const std::vector<char> copy(text, text + std::strlen(text) + 1);
        EXPECT_EQ(*SLKDataFromHexString(copy.data()), expected) << ::testing::PrintToString(text);
    }
}
