// The decorators that run on the caller's threads: the passive channel (sliced reads that notice a
// close), the echo-removal channel (also checked against its reference model in models_test.cpp)
// and the transforming channel.
#include <SelkoCommunication.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace selko::test;

namespace {

TEST(PassiveChannel, SlicesTheTimeoutAndEndsAtTheFirstSliceWithBytesOrAFailure) {
    const CommErrorRef failure = foreignError("below", 5);
    // The timeout; what the wrapped reads deliver, one entry each ("!" fails with `failure`); the
    // result; the slices the wrapped channel was asked for.
    const std::tuple<double, Strings, std::string, std::vector<double>> cases[] = {
        {SELKO_COMMUNICATION_TIME_NOW, {}, "", {0.0}},
        {SELKO_COMMUNICATION_TIME_FOREVER, {"", "", "X"}, "X",
         std::vector<double>(3, SELKO_COMMUNICATION_TIME_FOREVER)},
        {1.0, {"", "", "AB", "CD"}, "AB", {0.1, 0.1, 0.1}},
        {1.0, {"", "!"}, "<null>", {0.1, 0.1}},
        {-0.5, {}, "", {-0.05}}, // whether a slice is valid is the wrapped channel's call
        // A silent line: tenths until the whole time passed, as many as the machine's load lets in.
        {0.5, {}, "", {0.05}},
    };
    for (const auto& [timeout, script, result, expectedSlices] : cases) {
        auto wrapped = std::make_shared<ScriptedChannel>();
        for (const std::string& bytes : script)
            bytes == "!" ? wrapped->pushFailure(failure) : wrapped->pushRead(bytes);
        CommErrorRef error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(text(createPassiveChannel(wrapped)->readWithTimeout(timeout, &error)), result) << timeout;
        std::vector<double> slices = wrapped->readTimeouts();
        if (timeout == 0.5) {
            EXPECT_GE(secondsSince(start), 0.5);
            slices.erase(std::unique(slices.begin(), slices.end()), slices.end());
        }
        EXPECT_EQ(slices, expectedSlices) << timeout;
        EXPECT_EQ(error, result == "<null>" ? failure : nullptr) << timeout;
    }
}

TEST(PassiveChannel, ClosedBeforeOrDuringTheRead) {
    // The wrapped line goes quiet when closed, so only the check between slices can notice a close.
    struct QuietWhenClosed : ScriptedChannel {
        using ScriptedChannel::ScriptedChannel;
        SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
            SLKData bytes = ScriptedChannel::readWithTimeout(timeout, error);
            return bytes || isOpened() ? bytes : SLKDataWithString("");
        }
    };
    auto wrapped = std::make_shared<QuietWhenClosed>(false);
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed device", kPassiveSource);
    EXPECT_TRUE(wrapped->readTimeouts().empty());
    // Closed by another thread: the read ends between slices with neither data nor error.
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    error = foreignError();
    std::thread reader([&] { EXPECT_EQ(channel->readWithTimeout(30.0, &error), nullptr); });
    EXPECT_TRUE(eventually([&] { return wrapped->readTimeouts().size() >= 2; }));
    EXPECT_TRUE(channel->close());
    reader.join();
    EXPECT_EQ(error, nullptr);
}

// Passing the wrapped channel's failures on is checked against the reference model (models_test.cpp).
TEST(EchoRemoval, PassesTheCallersTimeoutAndKeepsItsOwnDelimiterAndTheEchoesAcrossAReopen) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto delimiter = std::make_shared<SLKBytes>(SLKBytes{'\r', '\n'});
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, delimiter);
    delimiter->assign({';'});
    ASSERT_TRUE(channel->write(SLKDataWithString("PING\r\n")));
    wrapped->pushRead("PING\r");
    wrapped->pushRead("\nOK;");
    EXPECT_EQ(text(channel->readWithTimeout(0.5)), "");
    EXPECT_TRUE(channel->close() && channel->openWithTimeout(1.0));
    EXPECT_EQ(text(channel->readWithTimeout(0.25)), "OK;");
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{0.5, 0.25}));
}

// The far end echoes each command and answers it only after the write returned, so every echo is
// pending when it arrives: the reader must see exactly the answers (and, under ThreadSanitizer,
// the reader and the writer must not race).
TEST(EchoRemoval, ReaderAndWriterOnTwoThreads) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, SLKDataWithString("\n"));
    const auto line = [](const std::string& word, int i) { return word + " " + std::to_string(i) + "\n"; };
    std::string expected, delivered;
    for (int i = 0; i < 2000; ++i)
        expected += line("answer", i);
    std::thread writer([&] {
        for (int i = 0; i < 2000 && channel->write(SLKDataWithString(line("command", i).c_str())); ++i)
            wrapped->pushRead(line("command", i) + line("answer", i));
    });
    for (SLKData got; delivered.size() < expected.size() && (got = channel->readWithTimeout(1.0)) && !got->empty();)
        delivered.append(got->begin(), got->end());
    writer.join();
    EXPECT_EQ(delivered, expected);
}

TEST(TransformingChannel, RunsCopiedListsInOrderOnAPrivateCopyAndPassesFailuresOn) {
    struct Fixed : ScriptedChannel { // the same block from below every time: never changed in place
        const SLKData block = SLKDataWithString("abc");
        SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
            return timeout < 0.5 ? block : ScriptedChannel::readWithTimeout(timeout, error);
        }
    };
    auto wrapped = std::make_shared<Fixed>();
    const auto drop = createBlockTransformer([](SLKBytes& data) { data.erase(data.begin()); });
    std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(SLKDataWithString("c"), false), drop},
        writes{drop, createAppendingTransformer(SLKDataWithString("\n"))};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, &writes);
    reads.clear();
    writes.clear();
    const SLKData written = SLKDataWithString("PING");
    EXPECT_TRUE(channel->write(written));
    EXPECT_EQ(text(channel->readWithTimeout(0.0)) + text(written) + text(wrapped->block), "bcPINGabc");
    EXPECT_EQ(wrapped->writes(), Strings{"ING\n"});
    const CommErrorRef failure = foreignError("test", 5);
    wrapped->pushFailure(failure);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(0.5, &error), nullptr);
    EXPECT_EQ(error, failure);
    EXPECT_FALSE(channel->write(nullptr, &error)); // refused without a record: the slot keeps the last one
    EXPECT_EQ(error, failure);
    EXPECT_EQ(wrapped->writes().size(), 1u);
    EXPECT_EQ(text(createChannelTransformer(wrapped, nullptr, &writes)->readWithTimeout(0.0)), "abc");
}

} // namespace
