// The decorators that run on the caller's threads: the passive channel (sliced reads that notice
// a close), the echo-removal channel (also checked against its reference model in models_test.cpp),
// and the transforming channel; and the road of one exchange over a simulated device.
#include <SelkoCommunication.h>

#include "ChannelStacks.h"
#include "ScriptedChannel.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace selko::test;

namespace {

// ---------------------------------------------------------------------------------------------
// The passive channel
// ---------------------------------------------------------------------------------------------

TEST(PassiveChannel, SlicesTheTimeoutAndEndsAtTheFirstSliceWithBytes) {
    struct Case {
        double timeout;
        Strings script; // what the wrapped reads deliver, one entry each
        std::string result;
        std::vector<double> slices;
    };
    const Case cases[] = {
        {SELKO_COMMUNICATION_TIME_NOW, {}, "", {SELKO_COMMUNICATION_TIME_NOW}}, // one look, no wait
        {SELKO_COMMUNICATION_TIME_FOREVER, {"", "", "", "X"}, "X", std::vector<double>(4, SELKO_COMMUNICATION_TIME_FOREVER)},
        {1.0, {"", "", "AB", "CD"}, "AB", {0.1, 0.1, 0.1}},
        // Other negative times are sliced too; whether a slice is valid is the wrapped channel's call.
        {-0.5, {}, "", {-0.05}},
    };
    for (const Case& c : cases) {
        auto wrapped = std::make_shared<ScriptedChannel>();
        for (const std::string& bytes : c.script)
            wrapped->pushRead(bytes);
        CommErrorRef error;
        EXPECT_EQ(text(createPassiveChannel(wrapped)->readWithTimeout(c.timeout, &error)), c.result) << c.timeout;
        EXPECT_EQ(wrapped->readTimeouts(), c.slices) << c.timeout;
        EXPECT_EQ(error, nullptr);
    }

    // A silent line: tenths of the timeout until the whole of it passed, then empty bytes.
    auto wrapped = std::make_shared<ScriptedChannel>();
    CommErrorRef error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(text(createPassiveChannel(wrapped)->readWithTimeout(2.0, &error)), "");
    const double elapsed = secondsSince(start);
    EXPECT_EQ(error, nullptr);
    EXPECT_GE(elapsed, 2.0 - 1e-3); // the channel's microsecond clock may round
    EXPECT_LT(elapsed, 10.0);
    const std::vector<double> slices = wrapped->readTimeouts();
    EXPECT_GE(slices.size(), 10u); // every slice waits at most its 0.2 s
    EXPECT_EQ(slices, std::vector<double>(slices.size(), 0.2));
}

TEST(PassiveChannel, ClosedBeforeOrDuringTheReadAndFailingSlices) {
    auto closed = std::make_shared<ScriptedChannel>(false);
    SLKDataChannelRef channel = createPassiveChannel(closed);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed device", kPassiveSource);
    EXPECT_EQ(channel->readWithTimeout(1.0), nullptr);
    EXPECT_TRUE(closed->readTimeouts().empty());

    // A failing slice's record is passed on unchanged; one without a record clears the slot.
    auto wrapped = std::make_shared<ScriptedChannel>();
    channel = createPassiveChannel(wrapped);
    const CommErrorRef failure = foreignError("below", 5);
    wrapped->pushRead("");
    wrapped->pushFailure(failure);
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    EXPECT_EQ(error, failure);
    EXPECT_EQ(wrapped->readTimeouts().size(), 2u);
    wrapped->pushFailure(nullptr);
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    EXPECT_EQ(error, nullptr);

    // Closed by another thread: the read ends between slices with neither data nor error. The
    // wrapped line goes quiet when closed (reads come back empty), so only the check between
    // slices can notice. The timeout is long but finite, so a reader that misses the close ends.
    struct QuietWhenClosed : ScriptedChannel {
        SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
            SLKData bytes = ScriptedChannel::readWithTimeout(timeout, error);
            return bytes || isOpened() ? bytes : SLKDataWithString("");
        }
    };
    auto quiet = std::make_shared<QuietWhenClosed>();
    channel = createPassiveChannel(quiet);
    error = foreignError(); // must be replaced by null
    SLKData got = SLKDataWithString("untouched");
    std::thread reader([&] { got = channel->readWithTimeout(30.0, &error); });
    const bool sliced = eventually([&] { return quiet->readTimeouts().size() >= 2; });
    EXPECT_TRUE(channel->close());
    reader.join();
    ASSERT_TRUE(sliced);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(error, nullptr);
}

// ---------------------------------------------------------------------------------------------
// The echo-removal channel
// ---------------------------------------------------------------------------------------------

// One step of an echo-removal script (delimiter LF): 'w' writes `data`; 'x' writes `data` while
// the wrapped channel rejects writes; 'r' reads once while the wrapped channel delivers `data` and
// expects `expected`; 'f' reads once while the wrapped read fails; 'c' closes and reopens.
struct Step {
    char op;
    std::string data = "";
    std::string expected = "";
};

TEST(EchoRemoval, WorkedExamples) {
    const std::pair<const char*, std::vector<Step>> examples[] = {
        {"the echo is dropped and the answer delivered", {{'w', "PING\n"}, {'r', "PING\nOK\n", "OK\n"}, {'r', "PING\n", "PING\n"}}},
        {"an echo in pieces is held, then dropped whole",
         {{'w', "PING\n"}, {'r', "PI", ""}, {'r', "NG\nOK", "OK"}, {'r', "\n", "\n"}}},
        {"only the oldest pending echo matches", {{'w', "A\n"}, {'w', "B\n"}, {'r', "B\n", "B\n"}, {'r', "A\nB\n", ""}}},
        {"a pending echo survives close and reopen", {{'w', "PING\n"}, {'r', "PI", ""}, {'c'}, {'r', "NG\nOK\n", "OK\n"}}},
        {"a rejected write is never expected back", {{'x', "PING\n"}, {'r', "PING\n", "PING\n"}}},
        {"a failing wrapped read changes nothing", {{'w', "PING\n"}, {'r', "PI", ""}, {'f'}, {'r', "NG\nOK\n", "OK\n"}}},
    };
    for (const auto& [name, script] : examples) {
        SCOPED_TRACE(name);
        auto wrapped = std::make_shared<ScriptedChannel>();
        const CommErrorRef earlier = foreignError(), failure = foreignError("below", 5);
        CommErrorRef error = earlier;
        SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, SLKDataWithString("\n"));
        std::vector<double> timeouts; // exactly one wrapped read per read, with the caller's timeout
        for (const Step& step : script) {
            const SLKData data = SLKDataWithString(step.data.c_str());
            wrapped->failWrites(step.op == 'x' ? failure : nullptr);
            if (step.op == 'w' || step.op == 'x') {
                EXPECT_EQ(channel->write(data, &error), step.op == 'w');
            }
            if (step.op == 'r' || step.op == 'f') {
                step.op == 'r' ? wrapped->pushRead(step.data) : wrapped->pushFailure(failure);
                timeouts.push_back(step.op == 'r' ? 0.5 : 0.25);
                EXPECT_EQ(text(channel->readWithTimeout(timeouts.back(), &error)), step.op == 'r' ? step.expected : "<null>");
            }
            if (step.op == 'c') {
                EXPECT_TRUE(channel->close(&error) && channel->openWithTimeout(1.0, &error));
            }
            // A failure passes the wrapped channel's record on; the channel raises nothing of its own.
            EXPECT_EQ(error, step.op == 'x' || step.op == 'f' ? failure : earlier) << step.op;
            error = earlier;
        }
        EXPECT_EQ(wrapped->readTimeouts(), timeouts);
    }
    // The factory copies the delimiter: changing the caller's bytes later changes nothing.
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto delimiter = std::make_shared<SLKBytes>(SLKBytes{'\n'});
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, delimiter);
    (*delimiter)[0] = ';';
    ASSERT_TRUE(channel->write(SLKDataWithString("A\n")));
    wrapped->pushRead("A\nB;");
    EXPECT_EQ(text(channel->readWithTimeout(0.5)), "B;");
}

TEST(EchoRemovalConcurrency, ReaderAndWriterOnTwoThreads) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, SLKDataWithString("\n"));
    constexpr int messages = 2000;
    std::string expected;
    for (int i = 0; i < messages; ++i)
        expected += "answer " + std::to_string(i) + "\n";

    // The far end echoes each command and answers it only after the write returned, so every
    // echo is already pending when it arrives: the reader must see exactly the answers.
    std::thread writer([&] {
        for (int i = 0; i < messages; ++i) {
            const std::string command = "command " + std::to_string(i) + "\n";
            if (!channel->write(SLKDataWithString(command.c_str())))
                return;
            wrapped->pushRead(command + "answer " + std::to_string(i) + "\n");
        }
    });
    std::string delivered;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        const SLKData got = channel->readWithTimeout(0.01);
        EXPECT_NE(got, nullptr);
        if (!got)
            break; // the writer is still joined below
        delivered.append(got->begin(), got->end());
    }
    writer.join();
    EXPECT_EQ(delivered, expected);
    EXPECT_EQ(wrapped->writes().size(), static_cast<std::size_t>(messages));
}

class RoadOfOneExchange : public NothingLeftBehind {};

TEST_F(RoadOfOneExchange, OverADeviceThatEchoesOnlyTheAnswerArrives) {
    // The device echoes every byte it is sent and answers PING with OK. Opening the top of the
    // stack opens the port and starts the background reader.
    VirtualDevice device;
    device.startResponder(true, [](const std::string& line) { return line == "PING" ? std::string("OK\n") : ""; });
    CommErrorRef error;
    SLKDataChannelRef channel = selko::stacks::roadOfOneExchange(device.url(), &error);
    ASSERT_NE(channel, nullptr);
    EXPECT_FALSE(channel->isOpened());
    ASSERT_TRUE(channel->openWithTimeout(1.0, &error)) << (error ? error->message() : "");
    EXPECT_TRUE(channel->isOpened());
    ASSERT_TRUE(channel->write(SLKDataWithString("PING"), &error)) << (error ? error->message() : "");
    // Anything late would show in the extra read: the echo was written before the answer.
    std::string delivered = readAtLeast(*channel, 3);
    delivered += text(channel->readWithTimeout(0.1, &error));
    EXPECT_EQ(delivered, "OK\n");
    EXPECT_EQ(device.received(), "PING\n");
    EXPECT_TRUE(channel->close(&error));
    device.stopResponder();
}

// ---------------------------------------------------------------------------------------------
// The transforming channel
// ---------------------------------------------------------------------------------------------

SLKDataTransformerRef appending(const char* suffix) { return createAppendingTransformer(SLKDataWithString(suffix)); }

// Records the blocks it saw, changing nothing.
struct Recorder : SLKDataTransformer {
    void modifyData(SLKBytes& data) override { seen.emplace_back(data.begin(), data.end()); }
    Strings seen;
};

const SLKDataTransformerRef kDropFirstByte = createBlockTransformer([](SLKBytes& data) {
    if (!data.empty())
        data.erase(data.begin());
});

TEST(TransformingChannel, ReadsAndWritesRunTheirListsInOrderOnAPrivateCopy) {
    // A fixed block from below, to see that it is never changed in place.
    struct Fixed : ScriptedChannel {
        SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
            return failing ? ScriptedChannel::readWithTimeout(timeout, error) : block;
        }
        const SLKData block = SLKDataWithString("abc");
        bool failing = false;
    };
    auto wrapped = std::make_shared<Fixed>();
    auto recorder = std::make_shared<Recorder>();
    const std::vector<SLKDataTransformerRef> reads{recorder, appending("!"), kDropFirstByte},
        writes{kDropFirstByte, appending("\n"), recorder};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, &writes);
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "bc!");
    EXPECT_EQ(text(wrapped->block), "abc");
    const SLKData written = SLKDataWithString("PING");
    EXPECT_TRUE(channel->write(written));
    EXPECT_EQ(text(written), "PING");
    EXPECT_EQ(wrapped->writes(), Strings{"ING\n"});
    EXPECT_EQ(recorder->seen, (Strings{"abc", "ING\n"}));

    // A failing read runs no transformer and passes the error on; null data is not written.
    const CommErrorRef failure = foreignError("test", 5), earlier = foreignError();
    wrapped->failing = true;
    wrapped->pushFailure(failure);
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(0.25, &error), nullptr);
    EXPECT_EQ(error, failure);
    error = earlier;
    EXPECT_FALSE(channel->write(nullptr, &error));
    EXPECT_EQ(error, earlier);
    EXPECT_EQ(recorder->seen.size(), 2u);
    EXPECT_EQ(wrapped->writes().size(), 1u);

    // Without transformers (null or empty lists): an exact copy, also of an empty read.
    const std::vector<SLKDataTransformerRef> none;
    wrapped->failing = false;
    EXPECT_EQ(text(createChannelTransformer(wrapped, nullptr, &none)->readWithTimeout(0.0)), "abc");
}

TEST(TransformingChannel, ListsAreCopiedAndTransformersKeepTheirState) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(SLKDataWithString("\n"), true)};
    std::vector<SLKDataTransformerRef> writes{appending("2")};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &reads, &writes);
    reads.push_back(appending("X"));
    writes.clear();
    EXPECT_TRUE(channel->write(SLKDataWithString("w")));
    EXPECT_EQ(wrapped->writes(), Strings{"w2"});
    wrapped->pushRead("O");
    wrapped->pushRead("K\nnext\n");
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "");
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "OK");
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "next"); // an empty read still runs the list
}

} // namespace
