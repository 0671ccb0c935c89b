// The transforming channel: reads and writes pass through transformer lists, in order, on a
// private copy of each block.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using selko::test::ScriptedChannel;

namespace {

SLKBytes bytes(const std::string& text) { return SLKBytes(text.begin(), text.end()); }

std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

SLKDataTransformerRef appending(const char* suffix) { return createAppendingTransformer(SLKDataWithString(suffix)); }

// Counts its calls and records the blocks it saw, changing nothing.
struct Recorder : SLKDataTransformer {
    void modifyData(SLKBytes& data) override { seen.emplace_back(data.begin(), data.end()); }
    std::vector<std::string> seen;
};

const SLKDataTransformerRef kDropFirstByte = createBlockTransformer([](SLKBytes& data) {
    if (!data.empty())
        data.erase(data.begin());
});

const SLKDataTransformerRef kEmptying = createBlockTransformer([](SLKBytes& data) { data.clear(); });

} // namespace

TEST(TransformingChannel, WithoutTransformersPassesCopiesThrough) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    const std::vector<SLKDataTransformerRef> none;
    for (const auto* list : {static_cast<const std::vector<SLKDataTransformerRef>*>(nullptr), &none}) {
        SLKDataChannelRef channel = createChannelTransformer(wrapped, list, list);
        ASSERT_NE(channel, nullptr);
        wrapped->pushRead("ab");
        EXPECT_EQ(text(channel->readWithTimeout(0.0)), "ab");
        EXPECT_TRUE(channel->write(SLKDataWithString("xy")));
    }
    EXPECT_EQ(wrapped->writes(), (std::vector<std::string>{"xy", "xy"}));
}

TEST(TransformingChannel, RunsTransformersInListOrderOnOnePrivateCopy) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    const auto received = std::make_shared<const SLKBytes>(bytes("abc"));
    wrapped->pushReadBytes(*received);
    const std::vector<SLKDataTransformerRef> reads{appending("!"), kDropFirstByte};
    const std::vector<SLKDataTransformerRef> writes{kDropFirstByte, appending("\n")};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, &writes);
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "bc!");

    const SLKData written = SLKDataWithString("PING");
    EXPECT_TRUE(channel->write(written));
    EXPECT_EQ(wrapped->writes(), (std::vector<std::string>{"ING\n"}));
    EXPECT_EQ(text(written), "PING"); // the caller's bytes are never changed
}

TEST(TransformingChannel, TheWrappedChannelsResultIsNeverChanged) {
    // A wrapped channel that hands out the same block every time.
    struct Fixed : ScriptedChannel {
        SLKData readWithTimeout(double, CommErrorRef*) override { return block; }
        const SLKData block = SLKDataWithString("same");
    };
    auto wrapped = std::make_shared<Fixed>();
    const std::vector<SLKDataTransformerRef> reads{kEmptying};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, nullptr);
    const SLKData result = channel->readWithTimeout(0.0);
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(result->empty()); // emptied: empty bytes, not null
    EXPECT_NE(result, wrapped->block);
    EXPECT_EQ(text(wrapped->block), "same");
}

TEST(TransformingChannel, EmptyReadsStillPassThroughTheReadList) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto recorder = std::make_shared<Recorder>();
    const std::vector<SLKDataTransformerRef> reads{recorder, appending("+")};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, nullptr);
    CommErrorRef error;
    EXPECT_EQ(text(channel->readWithTimeout(0.0, &error)), "+");
    EXPECT_EQ(recorder->seen, (std::vector<std::string>{""}));
    EXPECT_EQ(error, nullptr);
}

TEST(TransformingChannel, AFailingReadRunsNoTransformer) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    const CommErrorRef failure = std::make_shared<const CommError>("test", 5, CommError::InfoMap{});
    wrapped->pushFailure(failure);
    auto recorder = std::make_shared<Recorder>();
    const std::vector<SLKDataTransformerRef> reads{recorder};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, nullptr);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(0.25, &error), nullptr);
    EXPECT_EQ(error, failure);
    EXPECT_TRUE(recorder->seen.empty());
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{0.25}));
}

TEST(TransformingChannel, WritesThatEndEmptyOrFail) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto recorder = std::make_shared<Recorder>();
    const std::vector<SLKDataTransformerRef> writes{recorder, kEmptying};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, nullptr, &writes);

    // Emptied by a transformer: the wrapped write still happens, with no bytes.
    EXPECT_TRUE(channel->write(SLKDataWithString("abc")));
    EXPECT_EQ(wrapped->writes(), (std::vector<std::string>{""}));

    // Null data: false, slot untouched, no transformer, no wrapped write.
    const CommErrorRef earlier = std::make_shared<const CommError>("earlier", 99, CommError::InfoMap{});
    CommErrorRef error = earlier;
    EXPECT_FALSE(channel->write(nullptr, &error));
    EXPECT_EQ(error, earlier);
    EXPECT_EQ(recorder->seen.size(), 1u);
    EXPECT_EQ(wrapped->writes().size(), 1u);

    // A failing wrapped write: its result and record reach the caller.
    const CommErrorRef failure = std::make_shared<const CommError>("test", 4, CommError::InfoMap{});
    wrapped->failWrites(failure);
    EXPECT_FALSE(channel->write(SLKDataWithString("x"), &error));
    EXPECT_EQ(error, failure);
}

TEST(TransformingChannel, OpenCloseAndIsOpenedGoStraightThrough) {
    auto wrapped = std::make_shared<ScriptedChannel>(false);
    SLKDataChannelRef channel = createChannelTransformer(wrapped, nullptr, nullptr);
    EXPECT_FALSE(channel->isOpened());
    EXPECT_TRUE(channel->openWithTimeout(1.0));
    EXPECT_TRUE(channel->isOpened());
    CommErrorRef error;
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "test"); // the wrapped channel's own record
    EXPECT_TRUE(channel->close());
    EXPECT_EQ(wrapped->openCalls(), 2);
    EXPECT_EQ(wrapped->closeCalls(), 1);
}

TEST(TransformingChannel, ListsAreCopiedAtConstruction) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    std::vector<SLKDataTransformerRef> reads{appending("1")};
    std::vector<SLKDataTransformerRef> writes{appending("2")};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, &writes);
    reads.push_back(appending("X"));
    writes.clear();
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "1");
    EXPECT_TRUE(channel->write(SLKDataWithString("w")));
    EXPECT_EQ(wrapped->writes(), (std::vector<std::string>{"w2"}));
}

TEST(TransformingChannel, AStatefulTransformerKeepsItsStateAcrossReads) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    const std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(SLKDataWithString("\n"), true)};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, nullptr);
    wrapped->pushRead("O");
    wrapped->pushRead("K\nnext\n");
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "");
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "OK");
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "next");
}

TEST(TransformingChannelFactory, ChecksInOrderAndReportsTheFirstFailure) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    const std::vector<SLKDataTransformerRef> bad{appending("a"), nullptr};
    const std::vector<SLKDataTransformerRef> good{appending("a")};
    struct Case {
        SLKDataChannelRef channel;
        const std::vector<SLKDataTransformerRef>* reads;
        const std::vector<SLKDataTransformerRef>* writes;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, &bad, &bad, "channel cannot be nil"},
        {wrapped, &bad, &bad, "Objects in readTransformers must conform to SLKDataTransformer"},
        {wrapped, &good, &bad, "Objects in writeTransformers must conform to SLKDataTransformer"},
        {wrapped, nullptr, &bad, "Objects in writeTransformers must conform to SLKDataTransformer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(createChannelTransformer(c.channel, c.reads, c.writes), nullptr);
        CommErrorRef error = std::make_shared<const CommError>("earlier", 99, CommError::InfoMap{});
        EXPECT_EQ(createChannelTransformer(c.channel, c.reads, c.writes, &error), nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), SLKErrorInvalidArgument);
        EXPECT_EQ(error->message(), c.message);
        EXPECT_EQ(error->location().rfind("Data Channel Decorator/SLKDataChannelDecorator.cpp:", 0), 0u)
            << error->location();
    }
    const CommErrorRef earlier = std::make_shared<const CommError>("earlier", 99, CommError::InfoMap{});
    CommErrorRef error = earlier;
    EXPECT_NE(createChannelTransformer(wrapped, &good, nullptr, &error), nullptr);
    EXPECT_EQ(error, earlier);
}
