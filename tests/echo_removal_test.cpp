// The echo-removal channel: messages cut at a delimiter, written messages dropped when they come
// back, everything else delivered in arrival order.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <random>
#include <thread>

using selko::test::ScriptedChannel;

namespace {

std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

CommErrorRef someError(int code) {
    return std::make_shared<const CommError>("below", code, CommError::InfoMap{{"ErrorMessage", std::string("from below")}});
}

// Every example runs with a one-byte and a two-byte delimiter: '\n' in the scripts below stands
// for the delimiter under test.
class EchoRemoval : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        channel = createEchoRemovalChannel(wrapped, SLKDataWithString(GetParam().c_str()), &error);
        ASSERT_NE(channel, nullptr);
    }

    std::string lines(const std::string& script) const {
        std::string out;
        for (char c : script)
            out += c == '\n' ? GetParam() : std::string(1, c);
        return out;
    }
    void write(const std::string& script) { ASSERT_TRUE(channel->write(SLKDataWithString(lines(script).c_str()), &error)); }
    // One read of the channel while the wrapped channel delivers `script`.
    std::string receive(const std::string& script) {
        wrapped->pushRead(lines(script));
        return text(channel->readWithTimeout(0.5, &error));
    }

    std::shared_ptr<ScriptedChannel> wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel;
    CommErrorRef error;
};

INSTANTIATE_TEST_SUITE_P(Delimiters, EchoRemoval, ::testing::Values("\n", "\r\n"),
                         [](const auto& info) { return info.param == "\n" ? "LF" : "CRLF"; });

TEST_P(EchoRemoval, WithoutWritesEveryReceivedByteIsDeliveredAtOnce) {
    EXPECT_EQ(receive("PI"), lines("PI"));
    EXPECT_EQ(receive("NG\nOK\nhalf"), lines("NG\nOK\nhalf"));
    EXPECT_EQ(receive("\n"), lines("\n"));
    EXPECT_EQ(error, nullptr);
}

TEST_P(EchoRemoval, EchoIsDroppedAndTheAnswerDelivered) {
    write("PING\n");
    EXPECT_EQ(wrapped->writes(), std::vector<std::string>{lines("PING\n")});
    EXPECT_EQ(receive("PING\nOK\n"), lines("OK\n"));
    // The echo was consumed: the same text arriving again is ordinary data.
    EXPECT_EQ(receive("PING\n"), lines("PING\n"));
}

TEST_P(EchoRemoval, ReadHoldingOnlyTheEchoIsEmptyNotNull) {
    write("PING\n");
    wrapped->pushRead(lines("PING\n"));
    const SLKData got = channel->readWithTimeout(0.5, &error);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got->empty());
}

TEST_P(EchoRemoval, EchoArrivingInPiecesIsHeldThenDroppedWhole) {
    write("PING\n");
    EXPECT_EQ(receive("PI"), "");          // may be the start of the echo: held
    EXPECT_EQ(receive("NG\nOK"), "OK");    // echo dropped; nothing pending, so the tail goes out
    EXPECT_EQ(receive("\n"), lines("\n"));
}

TEST_P(EchoRemoval, OtherMessagesBeforeTheEchoAreDelivered) {
    write("A\n");
    EXPECT_EQ(receive("B\nA\n"), lines("B\n"));
    EXPECT_EQ(receive("A\n"), lines("A\n"));
}

TEST_P(EchoRemoval, OnlyTheOldestPendingEchoIsMatched) {
    write("A\n");
    write("B\n");
    EXPECT_EQ(receive("B\n"), lines("B\n")); // not the oldest echo: delivered, both stay pending
    EXPECT_EQ(receive("A\nB\n"), "");
    EXPECT_EQ(receive("tail"), "tail");     // nothing pending any more
}

TEST_P(EchoRemoval, WrittenBytesBecomeAnEchoOnlyWithTheirDelimiter) {
    write("AB");
    EXPECT_EQ(receive("AB"), "AB");          // nothing pending yet
    write("\n");                             // completes the pending echo AB+delimiter
    EXPECT_EQ(receive("\n"), lines("\n"));   // differs from it: delivered
    EXPECT_EQ(receive("AB\n"), "");          // still pending until now
}

TEST_P(EchoRemoval, PendingEchoSurvivesCloseAndReopen) {
    write("PING\n");
    EXPECT_EQ(receive("PI"), "");
    ASSERT_TRUE(channel->close(&error));
    EXPECT_FALSE(channel->isOpened());
    ASSERT_TRUE(channel->openWithTimeout(1.0, &error));
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(wrapped->openCalls(), 1);
    EXPECT_EQ(wrapped->closeCalls(), 1);
    EXPECT_EQ(receive("NG\nOK\n"), lines("OK\n"));
}

TEST_P(EchoRemoval, RejectedWriteIsNeverExpectedBack) {
    const CommErrorRef refusal = someError(4);
    wrapped->failWrites(refusal);
    EXPECT_FALSE(channel->write(SLKDataWithString(lines("PING\n").c_str()), &error));
    EXPECT_EQ(error, refusal);
    wrapped->failWrites(nullptr);
    EXPECT_EQ(receive("PING\n"), lines("PING\n"));
}

TEST_P(EchoRemoval, EmptyWrappedReadGivesEmptyAndLeavesTheSlot) {
    const CommErrorRef earlier = someError(9);
    error = earlier;
    wrapped->pushRead("");
    const SLKData got = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got->empty());
    EXPECT_EQ(error, earlier);
    EXPECT_EQ(wrapped->readTimeouts(), std::vector<double>{SELKO_COMMUNICATION_TIME_NOW});
}

TEST_P(EchoRemoval, FailingWrappedReadPassesItsErrorAndChangesNothing) {
    write("PING\n");
    EXPECT_EQ(receive("PI"), "");
    const CommErrorRef failure = someError(5);
    wrapped->pushFailure(failure);
    EXPECT_EQ(channel->readWithTimeout(0.25, &error), nullptr);
    EXPECT_EQ(error, failure);
    // The held tail and the pending echo are as they were.
    EXPECT_EQ(receive("NG\nOK\n"), lines("OK\n"));
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{0.5, 0.25, 0.5}));
}

TEST(EchoRemovalSplitting, TwoByteDelimiterSplitAcrossReads) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, SLKDataWithString("\r\n"));
    ASSERT_NE(channel, nullptr);
    const auto receive = [&](const char* bytes) {
        wrapped->pushRead(bytes);
        return text(channel->readWithTimeout(0.5));
    };
    // Nothing pending: the CR goes out at once.
    EXPECT_EQ(receive("A\r"), "A\r");
    EXPECT_EQ(receive("\n"), "\n");
    // Echo pending: the held CR completes the delimiter with the next read's LF, so X is one
    // message that differs from the echo, and the echo is then dropped.
    ASSERT_TRUE(channel->write(SLKDataWithString("A\r\n")));
    EXPECT_EQ(receive("X\r"), "");
    EXPECT_EQ(receive("\nA\r"), "X\r\n");
    EXPECT_EQ(receive("\n"), "");
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
        while (!_pending.empty() && !messages.empty()) {
            if (messages.front() == _pending.front())
                _pending.pop_front();
            else
                result += messages.front();
            messages.pop_front();
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
            const std::string alphabet = "AB\r\n";
            const auto randomText = [&](std::size_t maxLength) {
                std::string out(random() % (maxLength + 1), ' ');
                for (char& c : out)
                    c = alphabet[random() % alphabet.size()];
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

TEST(EchoRemovalFactory, RefusesANullChannelFirstThenABadDelimiter) {
    const auto expectRefusal = [](SLKDataChannelRef channel, SLKData delimiter, const std::string& message) {
        CommErrorRef error;
        EXPECT_EQ(createEchoRemovalChannel(channel, delimiter, &error), nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), SLKErrorInvalidArgument);
        EXPECT_EQ(error->domain(), SelkoCommunicationErrorDomain);
        EXPECT_EQ(error->message(), message);
        EXPECT_EQ(error->location().rfind("Data Channel Decorator/SLKDataChannelDecorator.cpp:", 0), 0u)
            << error->location();
        // Without a slot the refusal is the null result alone.
        EXPECT_EQ(createEchoRemovalChannel(channel, delimiter), nullptr);
    };
    auto wrapped = std::make_shared<ScriptedChannel>();
    expectRefusal(nullptr, nullptr, "channel cannot be nil");
    expectRefusal(nullptr, SLKDataWithString("\n"), "channel cannot be nil");
    expectRefusal(wrapped, nullptr, "delimiter cannot be nil, or empty");
    expectRefusal(wrapped, SLKDataWithString(""), "delimiter cannot be nil, or empty");
}

TEST(EchoRemovalFactory, CopiesTheDelimiter) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    auto delimiter = std::make_shared<SLKBytes>(SLKBytes{'\n'});
    CommErrorRef error;
    SLKDataChannelRef channel = createEchoRemovalChannel(wrapped, delimiter, &error);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(error, nullptr);
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

} // namespace
