// The decorators that run on the caller's threads: the passive channel (sliced reads that notice a
// close), the echo-removal channel (also checked against its reference model in models_test.cpp),
// the transforming channel and the tap; and what a user relies on beyond the happy path: an
// exception from user code (a channel, a transformer, a tap, a launched callable) never ends the
// process.
#include "TestSupport.h"

#include <pthread.h>

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
    // A closed channel is refused before any slice. (A close under a waiting reader, which only the
    // check between slices can notice, is a row of the scenario table in scenarios_test.cpp.)
    auto closed = std::make_shared<ScriptedChannel>(false);
    CommErrorRef error;
    EXPECT_EQ(createPassiveChannel(closed)->readWithTimeout(1.0, &error), nullptr);
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed device", kPassiveSource);
    EXPECT_TRUE(closed->readTimeouts().empty());
}

// The far end echoes each command and answers it only after the write returned, so every echo is
// pending when it arrives: the reader must see exactly the answers (and, under ThreadSanitizer,
// the reader and the writer must not race). The channel keeps its own copy of the delimiter, and
// its reads wait the caller's timeout below. (Passing the wrapped channel's failures on is checked
// against the reference model in models_test.cpp.)
TEST(EchoRemoval, ReaderAndWriterOnTwoThreads) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto delimiter = std::make_shared<SLKBytes>(SLKBytes{'\n'});
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, delimiter);
    delimiter->assign({';'});
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
    EXPECT_EQ(wrapped->readTimeouts().back(), 1.0);
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
    // A throwing transformer fails the read or write it serves; nothing is written below.
    const std::vector<SLKDataTransformerRef> throwing{
        createBlockTransformer([](SLKBytes&) { throw std::runtime_error("transform boom"); })};
    const SLKDataChannelRef throwingChannel = createChannelTransformer(wrapped, &throwing, &throwing);
    const std::string source = "Data Channel Decorator/SLPChannelTransformer.cpp:";
    CommErrorRef writeError;
    EXPECT_FALSE(throwingChannel->readWithTimeout(0.0, &error) || throwingChannel->write(written, &writeError));
    expectError(error, SLKErrorRead, "Unexpected exception: transform boom", source);
    expectError(writeError, SLKErrorPortSystem, "Unexpected exception: transform boom", source);
    EXPECT_EQ(wrapped->writes().size(), 1u);
    EXPECT_EQ(text(createChannelTransformer(wrapped, nullptr, &writes)->readWithTimeout(0.0)), "abc");
}

TEST(TapChannel, ShowsEveryBlockInOrderAndTurnsExceptionsIntoErrors) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    wrapped->pushRead("\xff\n");
    wrapped->pushFailure(foreignError("below", 5));
    wrapped->pushRead("X");
    Strings seen; // direction and bytes (the throwing tap below shows that the tap runs before the wrapped write)
    const SLKDataChannelRef tap = createTapChannel(wrapped, [&](SLKDirection direction, const SLKBytes& bytes) {
        seen.push_back((direction == SLKDirection::Read ? "R:" : "W:") + std::string(bytes.begin(), bytes.end()));
    });
    CommErrorRef error;
    ASSERT_TRUE(tap->write(SLKDataWithString("PING\n"), &error));
    EXPECT_EQ(text(tap->readWithTimeout(1.0, &error)), "\xff\n");
    EXPECT_EQ(tap->readWithTimeout(0.5, &error), nullptr);   // a failed read is passed on, not shown
    EXPECT_EQ(error->domain(), "below");
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{1.0, 0.5}));
    EXPECT_EQ(seen, (Strings{"W:PING\n", "R:\xff\n"}));

    // Exceptions thrown by the tap (then "X" is still queued to be read); those from below are
    // contained as by every decorator.
    const SLKDataChannelRef tapThrows = createTapChannel(wrapped, [](SLKDirection direction, const SLKBytes&) {
        throw std::runtime_error(direction == SLKDirection::Read ? "tap read" : "tap write");
    });
    CommErrorRef writeError, readError;
    EXPECT_FALSE(tapThrows->write(SLKDataWithString("A"), &writeError) || tapThrows->readWithTimeout(0, &readError));
    expectError(writeError, SLKErrorPortSystem, "Unexpected exception: tap write", kTapSource);
    expectError(readError, SLKErrorRead, "Unexpected exception: tap read", kTapSource);
    EXPECT_EQ(wrapped->writes(), Strings{"PING\n"});   // the tap runs before the wrapped write
}

// A user-written channel whose every call throws.
class ThrowingChannel : public SLKDataChannel {
public:
    bool openWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("open boom"); }
    bool close(CommErrorRef*) override { throw 42; }
    bool isOpened() override { throw 42; }
    SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("read boom"); }
    bool write(const SLKData&, CommErrorRef*) override { throw std::runtime_error("write boom"); }
};

const std::pair<std::string, SLKDataChannelRef (*)(SLKDataChannelRef)> kDecorators[] = {
    {"passive", [](SLKDataChannelRef c) { return createPassiveChannel(c); }},
    {"active", [](SLKDataChannelRef c) { return createActiveChannel(c); }},
    {"echo", [](SLKDataChannelRef c) { return createEchoRemovalChannel(c, SLKDataWithString("\n")); }},
    {"transformer", [](SLKDataChannelRef c) { return createChannelTransformer(c, nullptr, nullptr); }},
    {"tap", [](SLKDataChannelRef c) { return createTapChannel(c, [](auto, const auto&) {}); }}};

TEST(Containment, EveryDecoratorTurnsAnExceptionFromBelowIntoAFailure) {
    for (const auto& [name, wrap] : kDecorators) {
        const SLKDataChannelRef channel = wrap(std::make_shared<ThrowingChannel>());
        CommErrorRef e[4];
        EXPECT_FALSE(channel->isOpened() || channel->openWithTimeout(1.0, &e[0]) || channel->close(&e[1]) ||
                     channel->readWithTimeout(0.1, &e[2]) || channel->write(SLKDataWithString("x"), &e[3])) << name;
        // The passive channel asks isOpened before it reads; that and close throw no std::exception.
        const std::tuple<int, int, std::string> calls[] = {{0, SLKErrorPortSystem, "open boom"},
            {1, SLKErrorPortSystem, "unknown"}, {2, SLKErrorRead, name == "passive" ? "unknown" : "read boom"},
            {3, SLKErrorPortSystem, "write boom"}};
        for (const auto& [i, code, what] : calls) {
            ASSERT_NE(e[i], nullptr) << name << " " << what;
            if (name == "active" && i > 0) // closed: refused before the call goes below
                EXPECT_EQ(e[i]->code(), SLKErrorNotOpened) << what;
            else
                EXPECT_EQ(std::make_pair(e[i]->code(), e[i]->message()),
                          std::make_pair(code, "Unexpected exception: " + what)) << name;
        }
    }
}

// A background loop whose read throws records the exception and stops; a launched callable that
// throws ends its own (detached) thread only.
TEST(Containment, ThrowingLoopReadsAndLaunchedCallablesAreReported) {
    class ThrowingReads : public ScriptedChannel {
        SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("loop boom"); }
    };
    const SLKDataChannelRef active = createActiveChannel(std::make_shared<ThrowingReads>());
    ASSERT_TRUE(eventually([&] { return !active->isOpened(); }));
    CommErrorRef loop;
    EXPECT_FALSE(active->close(&loop));
    EXPECT_EQ(loop->message(), "Unexpected exception: loop boom");
    std::atomic<int> detachState{-1};
    selko_detachNewThreadWithBlock([&] {
        pthread_attr_t attributes;
        int state = -2; // stays when the attributes cannot be read
        if (::pthread_getattr_np(::pthread_self(), &attributes) == 0) {
            ::pthread_attr_getdetachstate(&attributes, &state);
            ::pthread_attr_destroy(&attributes);
        }
        detachState = state;
        throw std::logic_error("launched boom");
    });
    EXPECT_TRUE(eventually([&] { return detachState == PTHREAD_CREATE_DETACHED; })) << detachState;
}

} // namespace
