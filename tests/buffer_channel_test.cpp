// The buffer channel between a producer thread and its receivers: timed hand-over, ordering,
// the closed state, and our choices for odd timeouts and non-empty out-arrays.
#include "databufferchannel_t.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <thread>
#include <vector>

namespace {

using Buffer = databufferchannel_t<unsigned char>;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

struct Outcome {
    bool received;
    int error;
    Bytes bytes;
    double seconds;
};

Outcome receive(Buffer& buffer, double timeout, Bytes bytes = {}) {
    const auto start = Clock::now();
    const bool received = buffer.TryReceive(timeout, bytes);
    const int error = errno;
    return {received, error, bytes, std::chrono::duration<double>(Clock::now() - start).count()};
}

void send(Buffer& buffer, const std::string& text) {
    buffer.Send(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

} // namespace

TEST(BufferChannel, NowNeverWaits) {
    Buffer buffer;
    const Outcome empty = receive(buffer, SELKO_COMMUNICATION_TIME_NOW);
    EXPECT_FALSE(empty.received);
    EXPECT_EQ(empty.error, ETIMEDOUT);
    EXPECT_LT(empty.seconds, 1.0);

    send(buffer, "abc");
    const Outcome full = receive(buffer, SELKO_COMMUNICATION_TIME_NOW);
    EXPECT_TRUE(full.received);
    EXPECT_EQ(full.error, 0);
    EXPECT_EQ(full.bytes, bytesOf("abc"));
    // Everything was handed over: nothing is left for the next receive.
    EXPECT_FALSE(receive(buffer, SELKO_COMMUNICATION_TIME_NOW).received);
}

TEST(BufferChannel, SendFromAnotherThreadEndsTheWaitEarly) {
    Buffer buffer;
    auto waiting = std::async(std::launch::async, [&] { return receive(buffer, 5.0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    send(buffer, "wake");
    const Outcome outcome = waiting.get();
    EXPECT_TRUE(outcome.received);
    EXPECT_EQ(outcome.bytes, bytesOf("wake"));
    EXPECT_LT(outcome.seconds, 4.0);

    // Without a limit the wait ends the same way.
    auto unlimited = std::async(std::launch::async, [&] { return receive(buffer, SELKO_COMMUNICATION_TIME_FOREVER); });
    send(buffer, "again");
    EXPECT_EQ(unlimited.get().bytes, bytesOf("again"));
}

TEST(BufferChannel, NothingSentTimesOutNoEarlierThanTheTimeout) {
    Buffer buffer;
    const Outcome outcome = receive(buffer, 0.3);
    EXPECT_FALSE(outcome.received);
    EXPECT_EQ(outcome.error, ETIMEDOUT);
    // The deadline comes from a microsecond clock: allow a millisecond of truncation.
    EXPECT_GE(outcome.seconds, 0.299);
}

TEST(BufferChannel, SendsAreConcatenatedInOrder) {
    Buffer buffer;
    send(buffer, "first-");
    send(buffer, "second");
    EXPECT_EQ(receive(buffer, 1.0).bytes, bytesOf("first-second"));
}

TEST(BufferChannel, InvalidTimeoutsLeaveTheDataInPlace) {
    Buffer buffer;
    send(buffer, "kept");
    for (const double invalid : {-2.0, -0.5, std::numeric_limits<double>::quiet_NaN()}) {
        const Outcome outcome = receive(buffer, invalid);
        EXPECT_FALSE(outcome.received) << invalid;
        EXPECT_EQ(outcome.error, EINVAL) << invalid;
        EXPECT_TRUE(outcome.bytes.empty()) << invalid;
    }
    EXPECT_EQ(receive(buffer, SELKO_COMMUNICATION_TIME_NOW).bytes, bytesOf("kept"));
}

TEST(BufferChannel, UnrepresentableDeadlinesWaitWithoutLimit) {
    for (const double endless : {std::numeric_limits<double>::infinity(), 1e300}) {
        Buffer buffer;
        auto waiting = std::async(std::launch::async, [&] { return receive(buffer, endless); });
        // Neither times out at once nor fails: the wait lasts until a Send.
        EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << endless;
        send(buffer, "late");
        const Outcome outcome = waiting.get();
        EXPECT_TRUE(outcome.received) << endless;
        EXPECT_EQ(outcome.bytes, bytesOf("late")) << endless;
    }
}

TEST(BufferChannel, NonEmptyOutArrayKeepsItsElements) {
    Buffer buffer;
    send(buffer, "new");
    EXPECT_EQ(receive(buffer, 1.0, bytesOf("old-")).bytes, bytesOf("old-new"));
}

TEST(BufferChannel, CloseWakesEveryWaitingReceiver) {
    Buffer buffer;
    std::vector<std::future<Outcome>> receivers;
    for (int i = 0; i < 3; ++i)
        receivers.push_back(std::async(std::launch::async, [&] { return receive(buffer, 10.0); }));
    // Give the receivers time to start waiting; one that comes later fails the same way.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    buffer.Close();
    for (auto& receiver : receivers) {
        const Outcome outcome = receiver.get();
        EXPECT_FALSE(outcome.received);
        EXPECT_EQ(outcome.error, ECANCELED);
        // Woken by the close, not ended by their own ten-second deadline.
        EXPECT_LT(outcome.seconds, 5.0);
    }
}

TEST(BufferChannel, ClosedChannelDeliversNothingMore) {
    Buffer buffer;
    send(buffer, "buffered");
    buffer.Close();
    EXPECT_TRUE(buffer.IsClosed());
    const Outcome outcome = receive(buffer, SELKO_COMMUNICATION_TIME_NOW);
    EXPECT_FALSE(outcome.received);
    EXPECT_EQ(outcome.error, ECANCELED);
    EXPECT_TRUE(outcome.bytes.empty());

    send(buffer, "dropped");
    buffer.Close();
    EXPECT_EQ(receive(buffer, 1.0).error, ECANCELED);
    EXPECT_EQ(receive(buffer, SELKO_COMMUNICATION_TIME_FOREVER).error, ECANCELED);
}
