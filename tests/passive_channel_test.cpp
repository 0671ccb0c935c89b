// The passive channel: reads in slices of a tenth of the timeout and notices a close between
// slices; everything else goes straight through.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using selko::test::ScriptedChannel;

namespace {

std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

CommErrorRef someError(int code) {
    return std::make_shared<const CommError>("below", code, CommError::InfoMap{{"ErrorMessage", std::string("from below")}});
}

// A line that simply goes quiet when closed: a read in progress comes back empty rather than
// failing, which is how a close is noticed between slices.
class QuietWhenClosed : public ScriptedChannel {
public:
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        SLKData bytes = ScriptedChannel::readWithTimeout(timeout, error);
        if (!bytes && !isOpened())
            return SLKDataWithString("");
        return bytes;
    }
};

TEST(PassiveSlices, NowMakesExactlyOneLookWithoutWaiting) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    const SLKData got = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got->empty());
    EXPECT_EQ(wrapped->readTimeouts(), std::vector<double>{SELKO_COMMUNICATION_TIME_NOW});
}

TEST(PassiveSlices, ForeverRetriesEmptySlicesWithForever) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    for (int i = 0; i < 3; ++i)
        wrapped->pushRead("");
    wrapped->pushRead("X");
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER)), "X");
    EXPECT_EQ(wrapped->readTimeouts(), std::vector<double>(4, SELKO_COMMUNICATION_TIME_FOREVER));
}

TEST(PassiveSlices, SilentLineTimesOutAfterTheWholeTimeout) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    CommErrorRef error;
    const auto start = std::chrono::steady_clock::now();
    const SLKData got = channel->readWithTimeout(2.0, &error);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got->empty());
    EXPECT_EQ(error, nullptr);
    // The channel measures with a microsecond clock; allow for its rounding only.
    EXPECT_GE(elapsed, 2.0 - 1e-3);
    EXPECT_LT(elapsed, 10.0);
    const std::vector<double> slices = wrapped->readTimeouts();
    // Every slice waits at most its 0.2 s, so reaching 2.0 s takes at least ten of them.
    EXPECT_GE(slices.size(), 10u);
    for (double slice : slices)
        EXPECT_EQ(slice, 2.0 / 10.0);
}

TEST(PassiveSlices, FirstSliceWithBytesEndsTheCall) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    wrapped->pushRead("");
    wrapped->pushRead("");
    wrapped->pushRead("AB");
    wrapped->pushRead("CD");
    EXPECT_EQ(text(channel->readWithTimeout(1.0)), "AB");
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{0.1, 0.1, 0.1}));
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)), "CD");
}

TEST(PassiveSlices, OtherNegativeTimeoutsAreSlicedAndLeftToTheChannelBelow) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    const SLKData got = channel->readWithTimeout(-0.5);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got->empty());
    EXPECT_EQ(wrapped->readTimeouts(), std::vector<double>{-0.5 / 10.0});
}

TEST(PassiveFailures, ClosedBeforeTheCallIsRefusedWithoutReading) {
    auto wrapped = std::make_shared<ScriptedChannel>(false);
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SLKErrorNotOpened);
    EXPECT_EQ(error->message(), "Cannot communicate with closed device");
    EXPECT_EQ(error->location().rfind("Data Channel Decorator/SLPPassiveChannel.cpp:", 0), 0u) << error->location();
    EXPECT_TRUE(wrapped->readTimeouts().empty());
    EXPECT_EQ(channel->readWithTimeout(1.0), nullptr); // and without a slot
}

TEST(PassiveFailures, CloseByAnotherThreadEndsTheReadWithNoDataAndNoError) {
    auto wrapped = std::make_shared<QuietWhenClosed>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    CommErrorRef error = someError(9); // must be replaced by null
    SLKData got = SLKDataWithString("untouched");
    // A long but finite timeout, so that a reader that misses the close still ends (and fails).
    std::thread reader([&] { got = channel->readWithTimeout(30.0, &error); });
    const bool sliced = selko::test::eventually([&] { return wrapped->readTimeouts().size() >= 2; });
    EXPECT_TRUE(channel->close());
    reader.join();
    ASSERT_TRUE(sliced);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(error, nullptr);
}

TEST(PassiveFailures, FailingSlicePassesItsRecordOnUnchanged) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    const CommErrorRef failure = someError(5);
    wrapped->pushRead("");
    wrapped->pushFailure(failure);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    EXPECT_EQ(error, failure);
    EXPECT_EQ(wrapped->readTimeouts().size(), 2u);

    // A failure that carries no record clears the slot.
    wrapped->pushFailure(nullptr);
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    EXPECT_EQ(error, nullptr);
}

TEST(PassiveForwarding, OpenCloseIsOpenedAndWriteGoStraightThrough) {
    auto wrapped = std::make_shared<ScriptedChannel>(false);
    SLKDataChannelRef channel = createPassiveChannel(wrapped);
    CommErrorRef error;
    EXPECT_FALSE(channel->isOpened());
    EXPECT_TRUE(channel->openWithTimeout(1.0, &error));
    EXPECT_TRUE(channel->isOpened());
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error)); // the wrapped channel's refusal
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 1);

    EXPECT_TRUE(channel->write(SLKDataWithString("PING\n")));
    EXPECT_EQ(wrapped->writes(), std::vector<std::string>{"PING\n"});
    const CommErrorRef refusal = someError(4);
    wrapped->failWrites(refusal);
    EXPECT_FALSE(channel->write(SLKDataWithString("X"), &error));
    EXPECT_EQ(error, refusal);

    EXPECT_TRUE(channel->close(&error));
    EXPECT_FALSE(channel->isOpened());
    EXPECT_EQ(wrapped->openCalls(), 2);
    EXPECT_EQ(wrapped->closeCalls(), 1);
}

TEST(PassiveFactory, RefusesANullChannel) {
    CommErrorRef error;
    EXPECT_EQ(createPassiveChannel(nullptr, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SLKErrorInvalidArgument);
    EXPECT_EQ(error->message(), "channel cannot be nil");
    EXPECT_EQ(error->location().rfind("Data Channel Decorator/SLKDataChannelDecorator.cpp:", 0), 0u) << error->location();
    EXPECT_EQ(createPassiveChannel(nullptr), nullptr);
}

} // namespace
