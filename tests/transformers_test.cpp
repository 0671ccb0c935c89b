// The simple transformers (block, prepending, appending, time) and the refusals of every
// transformer factory.
#include <SelkoCommunication.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

namespace {

SLKBytes bytes(const std::string& text) { return SLKBytes(text.begin(), text.end()); }

std::string run(SLKDataTransformer& transformer, const std::string& block) {
    SLKBytes data = bytes(block);
    transformer.modifyData(data);
    return std::string(data.begin(), data.end());
}

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// The record every refused factory argument must leave behind.
void expectRefusal(const CommErrorRef& error, const std::string& message) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), SelkoCommunicationErrorDomain);
    EXPECT_EQ(error->code(), SLKErrorInvalidArgument);
    EXPECT_EQ(error->message(), message);
    EXPECT_EQ(error->location().rfind("Data Transformer/SLKDataTransformer.cpp:", 0), 0u) << error->location();
    EXPECT_EQ(error->userInfo().size(), 3u);
}

const auto kNoAction = std::function<void()>();
const auto kNoBlock = std::function<void(SLKBytes&)>();
const auto kAction = [] {};

} // namespace

TEST(FactoryRefusals, CodeMessageLocationAndCheckOrder) {
    struct Case {
        const char* what;
        std::function<SLKDataTransformerRef(CommErrorRef*)> make;
        const char* message;
    };
    const SLKData empty = SLKDataWithString("");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"block", [&](CommErrorRef* e) { return createBlockTransformer(kNoBlock, e); }, "blk cannot be nil"},
        {"prepend", [&](CommErrorRef* e) { return createPrependingTransformer(nullptr, e); }, "prepend can not be nil"},
        {"append", [&](CommErrorRef* e) { return createAppendingTransformer(nullptr, e); }, "data can not be nil"},
        {"aggregate null", [&](CommErrorRef* e) { return createAggregatingTransformer(nullptr, true, e); },
         "pattern cannot be nil, or empty"},
        {"aggregate empty", [&](CommErrorRef* e) { return createAggregatingTransformer(empty, false, e); },
         "pattern cannot be nil, or empty"},
        {"filter null", [&](CommErrorRef* e) { return createFilteringTransformer(nullptr, e); },
         "pattern cannot be nil, or empty"},
        {"filter empty", [&](CommErrorRef* e) { return createFilteringTransformer(empty, e); },
         "pattern cannot be nil, or empty"},
        // The pattern is checked before the action.
        {"event null pattern, no action",
         [&](CommErrorRef* e) { return createEventGeneratorTransformer(nullptr, false, kNoAction, e); },
         "pattern cannot be nil, or empty"},
        {"event empty pattern",
         [&](CommErrorRef* e) { return createEventGeneratorTransformer(empty, true, kAction, e); },
         "pattern cannot be nil, or empty"},
        {"event no action",
         [&](CommErrorRef* e) { return createEventGeneratorTransformer(SLKDataWithString("A"), false, kNoAction, e); },
         "blk cannot be nil"},
        // The timeout is checked before the callable; NaN is refused like zero.
        {"time zero, no blk", [&](CommErrorRef* e) { return createTimeTransformer(0.0, kNoAction, e); },
         "timeout cannot be less than or equal to zero"},
        {"time negative", [&](CommErrorRef* e) { return createTimeTransformer(-1.0, kAction, e); },
         "timeout cannot be less than or equal to zero"},
        {"time NaN", [&](CommErrorRef* e) { return createTimeTransformer(nan, kAction, e); },
         "timeout cannot be less than or equal to zero"},
        {"time no blk", [&](CommErrorRef* e) { return createTimeTransformer(0.5, kNoAction, e); }, "blk cannot be nil"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Without a slot: null and nothing else.
        EXPECT_EQ(c.make(nullptr), nullptr);
        // With a slot: the earlier record is replaced.
        CommErrorRef error = std::make_shared<const CommError>("earlier", 99, CommError::InfoMap{});
        EXPECT_EQ(c.make(&error), nullptr);
        expectRefusal(error, c.message);
    }
}

TEST(FactoryRefusals, SuccessLeavesTheSlotUntouched) {
    const CommErrorRef earlier = std::make_shared<const CommError>("earlier", 99, CommError::InfoMap{});
    CommErrorRef error = earlier;
    const SLKData bytesAB = SLKDataWithString("AB");
    EXPECT_NE(createBlockTransformer([](SLKBytes&) {}, &error), nullptr);
    EXPECT_NE(createPrependingTransformer(SLKDataWithString(""), &error), nullptr);
    EXPECT_NE(createAppendingTransformer(bytesAB, &error), nullptr);
    EXPECT_NE(createAggregatingTransformer(bytesAB, true, &error), nullptr);
    EXPECT_NE(createFilteringTransformer(bytesAB, &error), nullptr);
    EXPECT_NE(createEventGeneratorTransformer(bytesAB, false, kAction, &error), nullptr);
    EXPECT_NE(createTimeTransformer(std::numeric_limits<double>::infinity(), kAction, &error), nullptr);
    EXPECT_EQ(error, earlier);
}

TEST(BlockTransformer, RunsItsOwnCopyOfTheCallable) {
    std::string seen;
    std::function<void(SLKBytes&)> blk = [&seen](SLKBytes& data) {
        seen.assign(data.begin(), data.end());
        data.clear();
    };
    SLKDataTransformerRef transformer = createBlockTransformer(blk);
    blk = nullptr; // the transformer keeps its copy
    ASSERT_NE(transformer, nullptr);
    EXPECT_EQ(run(*transformer, "xy"), "");
    EXPECT_EQ(seen, "xy");
}

TEST(BlockTransformer, SetBlkReplacesWhatBlkReturns) {
    SLPBlockDataTransformer transformer([](SLKBytes& data) { data.push_back('1'); });
    EXPECT_EQ(run(transformer, "a"), "a1");
    transformer.setBlk([](SLKBytes& data) { data.push_back('2'); });
    EXPECT_EQ(run(transformer, "a"), "a2");
    SLKBytes data = bytes("b");
    transformer.blk()(data);
    EXPECT_EQ(data, bytes("b2"));
    // An empty callable (only possible when built directly) leaves blocks alone.
    transformer.setBlk(nullptr);
    EXPECT_EQ(run(transformer, "c"), "c");
}

TEST(BlockTransformer, BlkAndSetBlkMayMeetOnTwoThreads) {
    SLPBlockDataTransformer transformer([](SLKBytes& data) { data.push_back('0'); });
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            transformer.setBlk([i](SLKBytes& data) { data.push_back(static_cast<std::uint8_t>('0' + i % 2)); });
    });
    for (int i = 0; i < 2000; ++i) {
        SLKBytes data;
        transformer.blk()(data);
        ASSERT_EQ(data.size(), 1u);
        ASSERT_TRUE(data[0] == '0' || data[0] == '1');
    }
    writer.join();
}

TEST(PrependingAppending, AddTheirBytesToEveryBlockEvenEmptyOnes) {
    SLKDataTransformerRef prepend = createPrependingTransformer(SLKDataWithString("AB"));
    SLKDataTransformerRef append = createAppendingTransformer(SLKDataWithString("\r\n"));
    EXPECT_EQ(run(*prepend, "xy"), "ABxy");
    EXPECT_EQ(run(*prepend, ""), "AB");
    EXPECT_EQ(run(*prepend, "z"), "ABz");
    EXPECT_EQ(run(*append, "xy"), "xy\r\n");
    EXPECT_EQ(run(*append, ""), "\r\n");

    SLKDataTransformerRef none = createPrependingTransformer(SLKDataWithString(""));
    SLKDataTransformerRef nothing = createAppendingTransformer(SLKDataWithString(""));
    EXPECT_EQ(run(*none, "xy"), "xy");
    EXPECT_EQ(run(*nothing, "xy"), "xy");
}

TEST(PrependingAppending, CopyTheBytesWhenMade) {
    auto prefix = std::make_shared<SLKBytes>(bytes("AB"));
    auto suffix = std::make_shared<SLKBytes>(bytes("CD"));
    SLKDataTransformerRef prepend = createPrependingTransformer(prefix);
    SLKDataTransformerRef append = createAppendingTransformer(suffix);
    prefix->assign({'Z'});
    suffix->clear();
    EXPECT_EQ(run(*prepend, "x"), "ABx");
    EXPECT_EQ(run(*append, "x"), "xCD");
}

// The time transformer works on the wall clock, so these tests pause for real. Whether blk ran
// is asserted only where the pause is a guaranteed lower bound or the outcome does not depend on
// timing at all; "did not run" uses a timeout far beyond the pauses between calls.
TEST(TimeTransformer, RunsAfterAPauseOfAtLeastTheTimeoutAndLeavesBlocksAlone) {
    int runs = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(0.2, [&runs] { ++runs; });
    ASSERT_NE(transformer, nullptr);
    ASSERT_NE(dynamic_cast<SLPBlockDataTransformer*>(transformer.get()), nullptr);
    EXPECT_EQ(run(*transformer, "ab"), "ab"); // starts the measurement, whatever the timeout
    EXPECT_EQ(runs, 0);
    pause(0.25);
    EXPECT_EQ(run(*transformer, ""), ""); // an empty block is timed like any other
    EXPECT_EQ(runs, 1);
    // The call after a triggering call restarts the measurement, however long the pause was.
    pause(0.25);
    EXPECT_EQ(run(*transformer, "c"), "c");
    EXPECT_EQ(runs, 1);
    pause(0.25);
    run(*transformer, "d");
    EXPECT_EQ(runs, 2);
}

TEST(TimeTransformer, ShortPausesNeverRunIt) {
    int runs = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(5.0, [&runs] { ++runs; });
    for (int i = 0; i < 10; ++i) {
        run(*transformer, "x");
        pause(0.01);
    }
    EXPECT_EQ(runs, 0);
}

TEST(TimeTransformer, EveryCopyOfTheCallableSharesOneReferenceTime) {
    int runs = 0;
    SLKDataTransformerRef transformer = createTimeTransformer(0.2, [&runs] { ++runs; });
    auto& block = dynamic_cast<SLPBlockDataTransformer&>(*transformer);
    const SLPBlockDataTransformer::Block copy = block.blk();
    run(*transformer, "x"); // the measurement starts through the transformer...
    pause(0.25);
    SLKBytes data;
    copy(data); // ...and a copy of its callable sees that it has passed
    EXPECT_EQ(runs, 1);
    // The copy reset the shared reference, so the transformer's next call only restarts it.
    pause(0.25);
    run(*transformer, "y");
    EXPECT_EQ(runs, 1);
}
