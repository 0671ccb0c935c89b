// The active channel and the buffer channel between its background loop and its readers. Over a
// UART channel on a simulated device, and over scripted channels where the loop's timing has to
// be pinned down (reads held at a gate, failing thread starts).
#include <SelkoCommunication.h>

#include "SLPActiveChannelAccess.h"

#include "CountingChannel.h"
#include "ScriptedChannel.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"
#include "databufferchannel_t.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

using namespace selko::test;
using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------------------------------------
// The buffer channel
// ---------------------------------------------------------------------------------------------

using Buffer = databufferchannel_t<unsigned char>;

struct Outcome {
    bool received;
    int error;
    std::string bytes;
    double seconds;
};

Outcome receive(Buffer& buffer, double timeout, const std::string& already = "") {
    SLKBytes bytes = toBytes(already);
    const auto start = std::chrono::steady_clock::now();
    const bool received = buffer.TryReceive(timeout, bytes);
    const int error = errno;
    return {received, error, std::string(bytes.begin(), bytes.end()), secondsSince(start)};
}

void send(Buffer& buffer, const std::string& text) {
    buffer.Send(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(BufferChannel, TimedHandOverOfEverythingSentInOrder) {
    Buffer buffer;
    Outcome outcome = receive(buffer, SELKO_COMMUNICATION_TIME_NOW);
    EXPECT_FALSE(outcome.received);
    EXPECT_EQ(outcome.error, ETIMEDOUT);
    EXPECT_LT(outcome.seconds, 1.0);
    // The deadline comes from a microsecond clock: allow a millisecond of truncation.
    outcome = receive(buffer, 0.3);
    EXPECT_FALSE(outcome.received);
    EXPECT_EQ(outcome.error, ETIMEDOUT);
    EXPECT_GE(outcome.seconds, 0.299);

    send(buffer, "first-");
    send(buffer, "second");
    outcome = receive(buffer, SELKO_COMMUNICATION_TIME_NOW);
    EXPECT_TRUE(outcome.received);
    EXPECT_EQ(outcome.error, 0);
    EXPECT_EQ(outcome.bytes, "first-second");
    EXPECT_FALSE(receive(buffer, SELKO_COMMUNICATION_TIME_NOW).received); // nothing left behind
    send(buffer, "new");
    EXPECT_EQ(receive(buffer, 1.0, "old-").bytes, "old-new"); // a non-empty out-array keeps its elements

    // A send from another thread ends a wait early, with or without a limit; so it does for
    // deadlines that do not fit the time type, which wait without limit instead of failing.
    for (const double timeout : {5.0, SELKO_COMMUNICATION_TIME_FOREVER, std::numeric_limits<double>::infinity(), 1e300}) {
        auto waiting = std::async(std::launch::async, [&] { return receive(buffer, timeout); });
        EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout) << timeout;
        send(buffer, "wake");
        outcome = waiting.get();
        EXPECT_TRUE(outcome.received) << timeout;
        EXPECT_EQ(outcome.bytes, "wake") << timeout;
        EXPECT_LT(outcome.seconds, 4.0) << timeout;
    }

    // Invalid timeouts are refused and leave the data in place.
    send(buffer, "kept");
    for (const double invalid : {-2.0, -0.5, std::numeric_limits<double>::quiet_NaN()}) {
        outcome = receive(buffer, invalid);
        EXPECT_FALSE(outcome.received) << invalid;
        EXPECT_EQ(outcome.error, EINVAL) << invalid;
        EXPECT_EQ(outcome.bytes, "") << invalid;
    }
    EXPECT_EQ(receive(buffer, SELKO_COMMUNICATION_TIME_NOW).bytes, "kept");
}

TEST(BufferChannel, CloseWakesEveryReceiverAndDeliversNothingMore) {
    Buffer buffer;
    std::vector<std::future<Outcome>> receivers;
    for (int i = 0; i < 3; ++i)
        receivers.push_back(std::async(std::launch::async, [&] { return receive(buffer, 10.0); }));
    // Receivers that start waiting only after the close fail the same way.
    std::this_thread::sleep_for(200ms);
    buffer.Close();
    for (auto& receiver : receivers) {
        const Outcome outcome = receiver.get();
        EXPECT_FALSE(outcome.received);
        EXPECT_EQ(outcome.error, ECANCELED);
        EXPECT_LT(outcome.seconds, 5.0); // woken by the close, not by their own deadline
    }

    Buffer closed;
    send(closed, "buffered");
    closed.Close();
    EXPECT_TRUE(closed.IsClosed());
    send(closed, "dropped");
    closed.Close();
    for (const double timeout : {SELKO_COMMUNICATION_TIME_NOW, 1.0, SELKO_COMMUNICATION_TIME_FOREVER}) {
        const Outcome outcome = receive(closed, timeout);
        EXPECT_FALSE(outcome.received) << timeout;
        EXPECT_EQ(outcome.error, ECANCELED) << timeout;
        EXPECT_EQ(outcome.bytes, "") << timeout;
    }
}

// ---------------------------------------------------------------------------------------------
// Channels under the active channel
// ---------------------------------------------------------------------------------------------

using selko::test::CountingChannel;

// A scripted channel whose reads queue at a gate: read number n (from 0) goes on only once the
// test allowed more than n reads (or after ten seconds, so nothing hangs).
class GatedChannel : public ScriptedChannel {
public:
    void allow(int reads) {
        std::lock_guard<std::mutex> guard(_gateLock);
        _allowance = reads;
        _gate.notify_all();
    }
    int arrived() const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return static_cast<int>(_readers.size());
    }
    int readsByFirstReader() const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return static_cast<int>(std::count(_readers.begin(), _readers.end(), _readers.at(0)));
    }
    // Whether the thread that made the first read still exists.
    bool firstReaderAlive() const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return ::access(("/proc/self/task/" + std::to_string(_readers.at(0))).c_str(), F_OK) == 0;
    }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        {
            std::unique_lock<std::mutex> guard(_gateLock);
            const int ticket = static_cast<int>(_readers.size());
            _readers.push_back(currentThreadId());
            _gate.wait_for(guard, std::chrono::seconds(10), [&] { return ticket < _allowance; });
        }
        return ScriptedChannel::readWithTimeout(timeout, error);
    }

private:
    mutable std::mutex _gateLock;
    std::condition_variable _gate;
    std::vector<long> _readers; // thread ids (tids) of the reads, in arrival order
    int _allowance = 0;
};

class ActiveChannel : public NothingLeftBehind {};

// ---------------------------------------------------------------------------------------------
// Over a UART channel
// ---------------------------------------------------------------------------------------------

TEST_F(ActiveChannel, OverAClosedChannelNothingReadsUntilTheOpen) {
    VirtualDevice device;
    SLKDataChannelRef later = createActiveChannel(createUARTChannel(device.url().c_str(), nullptr));
    EXPECT_FALSE(later->isOpened());
    CommErrorRef error;
    EXPECT_EQ(later->readWithTimeout(0.1, &error), nullptr);
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices", kActiveSource);
    EXPECT_FALSE(later->write(SLKDataWithString("x"), &error));
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices", kActiveSource);
    ASSERT_TRUE(later->openWithTimeout(1.0, &error));
    EXPECT_TRUE(later->write(SLKDataWithString("ping")));
    EXPECT_EQ(device.receive(4, 5s), "ping");
    device.send("pong");
    EXPECT_EQ(readAtLeast(*later, 4), "pong");
    EXPECT_TRUE(later->close());
}

TEST_F(ActiveChannel, OverAnOpenChannelPiecesComeBackAsOneSequenceAndAReopenDeliversOnlyNewBytes) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openedUART(device));
    SLKDataChannelRef active = createActiveChannel(counting);
    EXPECT_TRUE(active->isOpened()); // reading from the start
    device.send("ab");
    ASSERT_NO_FATAL_FAILURE(counting->awaitBuffered(2));
    device.send("cd");
    ASSERT_NO_FATAL_FAILURE(counting->awaitBuffered(4));
    EXPECT_EQ(text(active->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)), "abcd");
    CommErrorRef error;
    EXPECT_FALSE(active->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorAlreadyOpened, "Device Already Opened", kActiveSource);

    device.send("old"); // the failed open left the loop reading
    ASSERT_NO_FATAL_FAILURE(counting->awaitBuffered(7));
    // Closed and reopened at once, while the old loop may still be inside its read.
    ASSERT_TRUE(active->close());
    ASSERT_TRUE(active->openWithTimeout(1.0));
    device.send("new");
    EXPECT_EQ(readAtLeast(*active, 3), "new");
    EXPECT_EQ(text(active->readWithTimeout(0.1)), "");
    EXPECT_TRUE(active->close());
}

TEST_F(ActiveChannel, TimeoutsAndTheCloseThatEndsAReaderWaitingForever) {
    VirtualDevice device;
    SLKDataChannelRef active = createActiveChannel(openedUART(device));
    const CommErrorRef earlier = foreignError();
    CommErrorRef error = earlier;
    EXPECT_EQ(text(active->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error)), "");
    EXPECT_EQ(error, earlier);
    for (const double invalid : {-2.0, -0.5}) {
        EXPECT_EQ(active->readWithTimeout(invalid, &error), nullptr);
        expectError(error, SLKErrorInvalidArgument, "time out has an invalid value", kActiveSource);
    }
    // Not a number is no wait at all: the buffer refuses it, and the channel stays open.
    EXPECT_EQ(active->readWithTimeout(std::nan(""), &error), nullptr);
    expectError(error, SLKErrorRead, "read failed with error " + errnoText(EINVAL, " "), kActiveSource);
    EXPECT_TRUE(active->isOpened());

    // FOREVER waits until bytes come, however late; a close ends such a wait with ECANCELED.
    for (const bool bytesCome : {true, false}) {
        std::atomic<long> reader{0};
        auto reading = std::async(std::launch::async, [&] {
            reader = currentThreadId();
            CommErrorRef readError;
            const SLKData bytes = active->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &readError);
            return std::make_pair(text(bytes), readError);
        });
        ASSERT_TRUE(eventually([&] { return reader != 0 && blockedInFutex(reader); }));
        if (bytesCome)
            device.send("late");
        else
            EXPECT_TRUE(active->close());
        const bool returned = reading.wait_for(5s) == std::future_status::ready;
        if (!returned)
            active->close(); // frees the reader, so the test fails instead of hanging
        ASSERT_TRUE(returned);
        const auto [bytes, readError] = reading.get();
        if (bytesCome) {
            EXPECT_EQ(bytes, "late");
        } else {
            EXPECT_EQ(bytes, "<null>");
            expectError(readError, SLKErrorRead, "read failed with error " + errnoText(ECANCELED, " "), kActiveSource);
        }
    }
    // Once the loop has noticed the close, a second close reports the loop's read error (the
    // UART's refusal) under code 2.
    EXPECT_TRUE(eventually([&] {
        EXPECT_FALSE(active->close(&error));
        return error && error->message() == "Cannot communicate with closed devices";
    }));
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices", kUARTSource);
}

TEST_F(ActiveChannel, NullVariantDrainsButRefusesReadsAndWrites) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openedUART(device));
    ASSERT_TRUE(counting->close(nullptr));
    SLKDataChannelRef drain = createActiveNullChannel(counting);
    const auto expectRefusals = [&] {
        CommErrorRef error;
        EXPECT_EQ(drain->readWithTimeout(0.1, &error), nullptr);
        expectError(error, SLKErrorUnsupported, "active null stub does not support read", kActiveSource);
        EXPECT_FALSE(drain->write(SLKDataWithString("x"), &error));
        expectError(error, SLKErrorUnsupported, "active null stub does not support write", kActiveSource);
    };
    expectRefusals();
    EXPECT_FALSE(drain->isOpened());
    ASSERT_TRUE(drain->openWithTimeout(1.0));
    EXPECT_TRUE(drain->isOpened());
    expectRefusals();
    device.send("drained and dropped");
    EXPECT_TRUE(eventually([&] { return counting->bytes() == 19; }));
    EXPECT_TRUE(drain->close());
    EXPECT_FALSE(drain->isOpened());
    expectRefusals();
}

TEST_F(ActiveChannel, LoopKeepsTheChannelAliveUntilTheWrappedChannelCloses) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openedUART(device));
    std::weak_ptr<SLKDataChannel> weak = createActiveChannel(counting);
    EXPECT_FALSE(weak.expired());
    device.send("still read");
    EXPECT_TRUE(eventually([&] { return counting->bytes() == 10; }));
    EXPECT_FALSE(weak.expired());
    ASSERT_TRUE(counting->close(nullptr));
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

// ---------------------------------------------------------------------------------------------
// Over scripted channels
// ---------------------------------------------------------------------------------------------

TEST_F(ActiveChannel, WrappedFailuresPassThroughUnchanged) {
    auto scripted = std::make_shared<ScriptedChannel>(true);
    SLKDataChannelRef active = createActiveChannel(scripted);
    const CommErrorRef refusal = foreignError("below", 4, "write refused");
    scripted->failWrites(refusal);
    CommErrorRef error;
    EXPECT_FALSE(active->write(SLKDataWithString("x"), &error));
    EXPECT_EQ(error, refusal);
    ASSERT_TRUE(active->close());
    ASSERT_TRUE(eventually([&] {
        active->close(&error);
        return error && error->domain() == "test";
    }));

    // Opened behind the active channel's back: the wrapped open refuses, yet the answer is the
    // wrapped channel's state, and no loop runs.
    scripted->setOpened(true);
    EXPECT_TRUE(active->openWithTimeout(1.0, &error));
    EXPECT_EQ(error->domain(), "test");
    EXPECT_FALSE(active->isOpened());
    scripted->setOpened(false);
}

TEST_F(ActiveChannel, CloseAfterTheLoopStoppedAlwaysReportsItsError) {
    // The wrapped channel stays open, so the loop's stop is the only thing that makes the
    // active channel closed; the error must be visible by then, every time.
    for (int round = 0; round < 200; ++round) {
        auto scripted = std::make_shared<ScriptedChannel>(true);
        scripted->pushFailure(foreignError("probe", 77, "device vanished"));
        SLKDataChannelRef active = createActiveChannel(scripted);
        // Asks without pausing, to catch the first moment the channel counts as closed.
        const auto limit = std::chrono::steady_clock::now() + 5s;
        while (active->isOpened() && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        ASSERT_FALSE(active->isOpened());
        CommErrorRef error;
        EXPECT_FALSE(active->close(&error));
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), "probe");
        EXPECT_EQ(error->code(), SLKErrorNotOpened);
        ASSERT_EQ(error->message(), "device vanished") << "round " << round;
        EXPECT_TRUE(scripted->isOpened());
    }
}

// A reopen waits until the earlier loop's read is over; that loop then ends without reading
// again, so it can never take the first bytes of the new open.
TEST_F(ActiveChannel, ReopenWaitsForTheEarlierLoopWhichThenEnds) {
    auto gated = std::make_shared<GatedChannel>();
    SLKDataChannelRef active = createActiveChannel(gated);
    ASSERT_TRUE(eventually([&] { return gated->arrived() == 1; }));
    ASSERT_TRUE(active->close());
    auto reopen = std::async(std::launch::async, [&] { return active->openWithTimeout(1.0); });
    EXPECT_EQ(reopen.wait_for(100ms), std::future_status::timeout);
    EXPECT_FALSE(gated->isOpened()) << "the wrapped channel opened while the earlier loop was reading";
    gated->allow(1);
    ASSERT_EQ(reopen.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(reopen.get());
    EXPECT_TRUE(eventually([&] { return !gated->firstReaderAlive(); }));
    EXPECT_TRUE(eventually([&] { return gated->arrived() == 2; }));
    EXPECT_EQ(gated->readsByFirstReader(), 1);
    EXPECT_TRUE(active->close());
    gated->allow(INT_MAX);
}

TEST_F(ActiveChannel, ThreadThatCannotStartLeavesNobodyWaiting) {
    const std::string startFailure = "Error starting the read thread - " + errnoText(EAGAIN) + ".";
    std::atomic<int> failuresLeft{2};
    const SLPActiveChannelAccess::ThreadLauncher launcher = [&](std::function<void()> block) {
        if (failuresLeft-- > 0) {
            errno = EAGAIN;
            return false;
        }
        selko_detachNewThreadWithBlock(std::move(block));
        return true;
    };

    // At creation over an open channel: not open, reads fail at once, close reports the failure.
    auto opened = std::make_shared<ScriptedChannel>(true);
    auto active = SLPActiveChannelAccess::initWithChannel(opened, true, launcher);
    EXPECT_FALSE(active->isOpened());
    // Even a read without limit ends at once. It runs on a thread of its own so that a fault
    // here fails the test instead of hanging it.
    auto outcome = std::make_shared<std::promise<CommErrorRef>>();
    std::thread([active, outcome] {
        CommErrorRef readError;
        const SLKData bytes = active->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &readError);
        outcome->set_value(bytes ? nullptr : readError);
    }).detach();
    auto failure = outcome->get_future();
    ASSERT_EQ(failure.wait_for(5s), std::future_status::ready) << "the read waits for ever";
    expectError(failure.get(), SLKErrorNotOpened, "Cannot communicate with closed devices", kActiveSource);
    CommErrorRef error;
    EXPECT_FALSE(active->close(&error));
    expectError(error, SLKErrorNotOpened, startFailure, kActiveSource);
    EXPECT_TRUE(opened->isOpened());

    // At open: the wrapped channel is closed again and the open fails with code 4.
    auto closed = std::make_shared<ScriptedChannel>(false);
    active = SLPActiveChannelAccess::initWithChannel(closed, true, launcher);
    EXPECT_FALSE(active->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorPortSystem, startFailure, kActiveSource);
    EXPECT_FALSE(closed->isOpened());
    EXPECT_EQ(closed->closeCalls(), 1);
    EXPECT_FALSE(active->isOpened());
    EXPECT_FALSE(active->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed", kActiveSource);

    // Once threads start again, so does the channel.
    ASSERT_TRUE(active->openWithTimeout(1.0, &error));
    closed->pushRead("back");
    EXPECT_EQ(readAtLeast(*active, 4), "back");
    EXPECT_TRUE(active->close());
}

} // namespace
