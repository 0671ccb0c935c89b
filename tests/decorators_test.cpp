// The decorators that run on the caller's threads: the passive channel (sliced reads that notice
// a close), the echo-removal channel, and the transforming channel; and a whole stack over a
// simulated device.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <random>
#include <thread>
#include <vector>

using namespace selko::test;

namespace {

TEST(DecoratorForwarding, OpenCloseIsOpenedAndWriteGoStraightThrough) {
    const std::function<SLKDataChannelRef(SLKDataChannelRef)> factories[] = {
        [](SLKDataChannelRef wrapped) { return createPassiveChannel(wrapped); },
        [](SLKDataChannelRef wrapped) { return createEchoRemovalChannel(wrapped, SLKDataWithString("\n")); },
        [](SLKDataChannelRef wrapped) { return createChannelTransformer(wrapped, nullptr, nullptr); },
        [](SLKDataChannelRef wrapped) { return createTapChannel(wrapped, [](SLKDirection, const SLKBytes&) {}); },
    };
    for (const auto& make : factories) {
        auto wrapped = std::make_shared<ScriptedChannel>(false);
        SLKDataChannelRef channel = make(wrapped);
        CommErrorRef error;
        EXPECT_EQ(channel->nextLayer(), wrapped);
        EXPECT_FALSE(channel->isOpened());
        EXPECT_TRUE(channel->openWithTimeout(1.0, &error));
        EXPECT_TRUE(channel->isOpened());
        EXPECT_FALSE(channel->openWithTimeout(1.0, &error)); // the wrapped channel's own refusal
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), "test");
        EXPECT_TRUE(channel->write(SLKDataWithString("PING\n")));
        EXPECT_EQ(wrapped->writes(), Strings{"PING\n"});
        const CommErrorRef refusal = foreignError("below", 4);
        wrapped->failWrites(refusal);
        EXPECT_FALSE(channel->write(SLKDataWithString("X"), &error));
        EXPECT_EQ(error, refusal);
        EXPECT_TRUE(channel->close(&error));
        EXPECT_FALSE(channel->isOpened());
        EXPECT_EQ(wrapped->openCalls(), 2);
        EXPECT_EQ(wrapped->closeCalls(), 1);
    }
}

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

// One step of an echo-removal script, in which '|' stands for the delimiter:
//   'w' writes `data`; 'x' writes `data` while the wrapped channel rejects writes;
//   'r' reads once while the wrapped channel delivers `data` and expects `expected`;
//   'f' reads once while the wrapped read fails; 'c' closes and reopens the channel.
struct Step {
    char op;
    std::string data = "";
    std::string expected = "";
};
using Script = std::vector<Step>;

void runScript(const std::string& delimiter, const Script& script) {
    const auto lines = [&](const std::string& scripted) {
        std::string out;
        for (const char c : scripted)
            out += c == '|' ? delimiter : std::string(1, c);
        return out;
    };
    auto wrapped = std::make_shared<ScriptedChannel>();
    const CommErrorRef earlier = foreignError(), failure = foreignError("below", 5);
    CommErrorRef error = earlier;
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, SLKDataWithString(delimiter.c_str()));
    std::vector<double> timeouts; // exactly one wrapped read per read, with the caller's timeout
    for (const Step& step : script) {
        SCOPED_TRACE(std::string(1, step.op) + " " + ::testing::PrintToString(step.data));
        const SLKData data = SLKDataWithString(lines(step.data).c_str());
        switch (step.op) {
        case 'w':
            ASSERT_TRUE(channel->write(data, &error));
            EXPECT_EQ(wrapped->writes().back(), lines(step.data));
            break;
        case 'x':
            wrapped->failWrites(failure);
            EXPECT_FALSE(channel->write(data, &error));
            wrapped->failWrites(nullptr);
            break;
        case 'r':
            wrapped->pushRead(lines(step.data));
            EXPECT_EQ(text(channel->readWithTimeout(0.5, &error)), lines(step.expected));
            timeouts.push_back(0.5);
            break;
        case 'f':
            wrapped->pushFailure(failure);
            EXPECT_EQ(channel->readWithTimeout(0.25, &error), nullptr);
            timeouts.push_back(0.25);
            break;
        case 'c':
            ASSERT_TRUE(channel->close(&error) && channel->openWithTimeout(1.0, &error));
            break;
        }
        // A failure passes the wrapped channel's record on; the channel raises nothing of its own.
        EXPECT_EQ(error, step.op == 'x' || step.op == 'f' ? failure : earlier);
        error = earlier;
    }
    EXPECT_EQ(wrapped->readTimeouts(), timeouts);
}

class EchoRemoval : public ::testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Delimiters, EchoRemoval, ::testing::Values("\n", "\r\n"),
                         [](const auto& info) { return info.param == "\n" ? "LF" : "CRLF"; });

TEST_P(EchoRemoval, WorkedExamples) {
    const std::pair<const char*, Script> examples[] = {
        {"without writes every byte is delivered at once", {{'r', "PI", "PI"}, {'r', "NG|OK|half", "NG|OK|half"}, {'r', "|", "|"}}},
        {"the echo is dropped and the answer delivered", {{'w', "PING|"}, {'r', "PING|OK|", "OK|"}, {'r', "PING|", "PING|"}}},
        {"a read of only the echo is empty, not null", {{'w', "PING|"}, {'r', "PING|", ""}}},
        {"an echo in pieces is held, then dropped whole",
         {{'w', "PING|"}, {'r', "PI", ""}, {'r', "NG|OK", "OK"}, {'r', "|", "|"}}},
        {"messages before the echo are delivered", {{'w', "A|"}, {'r', "B|A|", "B|"}, {'r', "A|", "A|"}}},
        {"only the oldest pending echo matches",
         {{'w', "A|"}, {'w', "B|"}, {'r', "B|", "B|"}, {'r', "A|B|", ""}, {'r', "tail", "tail"}}},
        {"written bytes become an echo only with their delimiter",
         {{'w', "AB"}, {'r', "AB", "AB"}, {'w', "|"}, {'r', "|", "|"}, {'r', "AB|", ""}}},
        {"a pending echo survives close and reopen", {{'w', "PING|"}, {'r', "PI", ""}, {'c'}, {'r', "NG|OK|", "OK|"}}},
        {"a rejected write is never expected back", {{'x', "PING|"}, {'r', "PING|", "PING|"}}},
        {"an empty wrapped read gives empty bytes", {{'r', "", ""}}},
        {"a failing wrapped read changes nothing",
         {{'w', "PING|"}, {'r', "PI", ""}, {'f'}, {'r', "NG|OK|", "OK|"}}},
    };
    for (const auto& [name, script] : examples) {
        SCOPED_TRACE(name);
        runScript(GetParam(), script);
    }
}

TEST(EchoRemovalSplitting, TwoByteDelimiterSplitAcrossReads) {
    // Nothing pending: the CR goes out at once. Echo pending: the held CR completes the delimiter
    // with the next read's LF, so X is one message that differs from the echo, which then drops.
    runScript("\r\n", {{'r', "A\r", "A\r"}, {'r', "\n", "\n"}, {'w', "A\r\n"}, {'r', "X\r", ""},
                       {'r', "\nA\r", "X\r\n"}, {'r', "\n", ""}});
    // The factory copies the delimiter: changing the caller's bytes later changes nothing.
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto delimiter = std::make_shared<SLKBytes>(SLKBytes{'\n'});
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, delimiter);
    (*delimiter)[0] = ';';
    ASSERT_TRUE(channel->write(SLKDataWithString("A\n")));
    wrapped->pushRead("A\nB;");
    EXPECT_EQ(text(channel->readWithTimeout(0.5)), "B;");
}

// The behaviour written down as plainly as possible: rescans from the start and erases from the
// front. The channel must match it byte for byte on any traffic.
class ReferenceEchoRemover {
public:
    explicit ReferenceEchoRemover(std::string delimiter) : _delimiter(std::move(delimiter)) {}
    void written(const std::string& data) { split(_writeBuffer += data, _pending); }
    std::string received(const std::string& data) {
        std::deque<std::string> messages;
        split(_readBuffer += data, messages);
        std::string result;
        for (; !_pending.empty() && !messages.empty(); messages.pop_front()) {
            if (messages.front() == _pending.front())
                _pending.pop_front();
            else
                result += messages.front();
        }
        if (_pending.empty()) {
            for (const auto& message : messages)
                result += message;
            result += _readBuffer;
            _readBuffer.clear();
        }
        return result;
    }

private:
    void split(std::string& buffer, std::deque<std::string>& queue) {
        for (std::size_t at; (at = buffer.find(_delimiter)) != std::string::npos;) {
            queue.push_back(buffer.substr(0, at + _delimiter.size()));
            buffer.erase(0, at + _delimiter.size());
        }
    }
    std::string _delimiter, _readBuffer, _writeBuffer;
    std::deque<std::string> _pending;
};

TEST(EchoRemovalSplitting, MatchesThePlainAlgorithmOnRandomTraffic) {
    // Clean traffic keeps echoes matching (so matched echoes are released over and over); noisy
    // traffic soon leaves them unmatched and exercises delivery. Self-overlapping delimiters catch
    // a resumed search that starts too late.
    for (const bool noisy : {false, true}) {
        for (const std::string delimiter : {"\n", "\r\n", "ABA", "AAB"}) {
            std::mt19937 random(20240607);
            auto wrapped = std::make_shared<ScriptedChannel>();
            SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, SLKDataWithString(delimiter.c_str()));
            ReferenceEchoRemover reference(delimiter);
            const auto randomText = [&](std::size_t maxLength) {
                std::string out(random() % (maxLength + 1), ' ');
                for (char& c : out)
                    c = "AB\r\n"[random() % 4];
                return out;
            };
            std::string sent; // what was written, so that reads can echo it back
            for (int step = 0; step < 2000; ++step) {
                SCOPED_TRACE("noisy " + std::to_string(noisy) + ", delimiter " + ::testing::PrintToString(delimiter) +
                             ", step " + std::to_string(step));
                if (random() % 3 == 0) {
                    const std::string data = randomText(12);
                    ASSERT_TRUE(channel->write(SLKDataWithString(data.c_str())));
                    reference.written(data);
                    sent += data;
                    continue;
                }
                // Echoes of what was sent, in random pieces. Clean traffic echoes only complete
                // messages, as a far end that answers line by line would.
                std::size_t echoable = sent.size();
                if (!noisy) {
                    echoable = 0;
                    for (std::size_t at; (at = sent.find(delimiter, echoable)) != std::string::npos;)
                        echoable = at + delimiter.size();
                }
                std::string incoming = noisy && random() % 2 ? randomText(8) : "";
                const std::size_t take = std::min<std::size_t>(echoable, random() % 16);
                incoming += sent.substr(0, take);
                sent.erase(0, take);
                wrapped->pushRead(incoming);
                ASSERT_EQ(text(channel->readWithTimeout(0.5)), reference.received(incoming));
            }
        }
    }
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

class EchoStack : public NothingLeftBehind {};

TEST_F(EchoStack, OverADeviceThatEchoesOnlyTheAnswerArrives) {
    // UART channel, background reader, echo removal; the device echoes every byte it is sent and
    // answers PING with OK. Opening the top of the stack opens the port and starts the loop.
    VirtualDevice device;
    device.startResponder(true, [](const std::string& line) { return line == "PING" ? std::string("OK\n") : ""; });
    CommErrorRef error;
    SLKDataChannelRef port = createUARTChannel(device.url().c_str(), nullptr, &error);
    SLKDataChannelRef channel = createEchoRemovalChannel(createActiveChannel(port, &error), SLKDataWithString("\n"), &error);
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(channel->openWithTimeout(1.0, &error)) << (error ? error->message() : "");
    ASSERT_TRUE(channel->write(SLKDataWithString("PING\n"), &error)) << (error ? error->message() : "");
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
const SLKDataTransformerRef kEmptying = createBlockTransformer([](SLKBytes& data) { data.clear(); });

TEST(TransformingChannel, ReadsRunTheReadListInOrderOnAPrivateCopy) {
    // Without transformers (null or empty lists): a copy of exactly what was read.
    auto wrapped = std::make_shared<ScriptedChannel>();
    const std::vector<SLKDataTransformerRef> none;
    for (const auto* list : {static_cast<const std::vector<SLKDataTransformerRef>*>(nullptr), &none}) {
        wrapped->pushRead("ab");
        EXPECT_EQ(text(createChannelTransformer(wrapped, list, list)->readWithTimeout(0.0)), "ab");
    }
    // Each transformer sees what the one before it left.
    wrapped->pushRead("abc");
    const std::vector<SLKDataTransformerRef> reads{appending("!"), kDropFirstByte};
    EXPECT_EQ(text(createChannelTransformer(wrapped, &reads, nullptr)->readWithTimeout(0.0)), "bc!");

    // The wrapped channel's result is never changed; an emptied block is empty bytes, not null.
    struct Fixed : ScriptedChannel {
        SLKData readWithTimeout(double, CommErrorRef*) override { return block; }
        const SLKData block = SLKDataWithString("same");
    };
    auto fixed = std::make_shared<Fixed>();
    const std::vector<SLKDataTransformerRef> emptying{kEmptying};
    const SLKData result = createChannelTransformer(fixed, &emptying, nullptr)->readWithTimeout(0.0);
    EXPECT_EQ(text(result), "");
    EXPECT_NE(result, fixed->block);
    EXPECT_EQ(text(fixed->block), "same");

    // An empty read still passes through the list; a failing read runs no transformer.
    auto recorder = std::make_shared<Recorder>();
    const std::vector<SLKDataTransformerRef> recorded{recorder, appending("+")};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, &recorded, nullptr);
    CommErrorRef error;
    EXPECT_EQ(text(channel->readWithTimeout(0.0, &error)), "+");
    EXPECT_EQ(error, nullptr);
    const CommErrorRef failure = foreignError("test", 5);
    wrapped->pushFailure(failure);
    EXPECT_EQ(channel->readWithTimeout(0.25, &error), nullptr);
    EXPECT_EQ(error, failure);
    EXPECT_EQ(recorder->seen, Strings{""});
    EXPECT_EQ(wrapped->readTimeouts().back(), 0.25);
}

TEST(TransformingChannel, WritesRunTheWriteListInOrderOnAPrivateCopy) {
    // (Without transformers a write hands on an exact copy: see the forwarding test above.)
    auto wrapped = std::make_shared<ScriptedChannel>();
    const std::vector<SLKDataTransformerRef> writes{kDropFirstByte, appending("\n")};
    const SLKData written = SLKDataWithString("PING");
    EXPECT_TRUE(createChannelTransformer(wrapped, nullptr, &writes)->write(written));
    EXPECT_EQ(text(written), "PING"); // the caller's bytes are never changed

    // Emptied by a transformer: the wrapped write still happens, with no bytes.
    auto recorder = std::make_shared<Recorder>();
    const std::vector<SLKDataTransformerRef> emptying{recorder, kEmptying};
    SLKDataChannelRef channel = createChannelTransformer(wrapped, nullptr, &emptying);
    EXPECT_TRUE(channel->write(SLKDataWithString("abc")));
    EXPECT_EQ(wrapped->writes(), (Strings{"ING\n", ""}));

    // Null data: false, slot untouched, no transformer, no wrapped write.
    const CommErrorRef earlier = foreignError();
    CommErrorRef error = earlier;
    EXPECT_FALSE(channel->write(nullptr, &error));
    EXPECT_EQ(error, earlier);
    EXPECT_EQ(recorder->seen.size(), 1u);
    EXPECT_EQ(wrapped->writes().size(), 2u);
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
    EXPECT_EQ(text(channel->readWithTimeout(0.0)), "next");
}

} // namespace
