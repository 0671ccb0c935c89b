// The active channel: a background loop drains the wrapped channel into a buffer that readers
// empty. Over a UART channel on a simulated device, and over scripted channels where the loop's
// timing has to be pinned down (reads held at a gate, failing thread starts).
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using selko::test::eventually;
using selko::test::ScriptedChannel;
using selko::test::VirtualDevice;

namespace {

// ThreadSanitizer starts a helper thread of its own along with the first thread a program
// creates: have that happen before any test takes a thread count.
const bool threadsWarmedUp = [] {
    std::thread([] {}).join();
    return true;
}();

constexpr const char* kActiveSource = "Data Channel Decorator/SLPActiveChannel.cpp:";

std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

void expectError(const CommErrorRef& error, int code, const std::string& message,
                 const std::string& source = kActiveSource) {
    ASSERT_NE(error, nullptr) << message;
    EXPECT_EQ(error->domain(), SelkoCommunicationErrorDomain);
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(error->message(), message);
    EXPECT_EQ(error->location().rfind(source, 0), 0u) << error->location();
}

CommErrorRef foreignError(const std::string& domain, const std::string& message) {
    return std::make_shared<const CommError>(domain, 77, CommError::InfoMap{{"ErrorMessage", message}});
}

// Whether thread `tid` of this process sleeps in a futex wait (a mutex or condition wait).
bool blockedInFutex(long tid) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number;
    syscall >> number;
    return number == std::to_string(SYS_futex);
}

// Forwards to another channel and counts the reads that started and the bytes they returned.
class CountingChannel : public SLKDataChannel {
public:
    explicit CountingChannel(SLKDataChannelRef inner) : _inner(std::move(inner)) {}
    bool openWithTimeout(double timeout, CommErrorRef* error) override { return _inner->openWithTimeout(timeout, error); }
    bool close(CommErrorRef* error) override { return _inner->close(error); }
    bool isOpened() override { return _inner->isOpened(); }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        ++_reads;
        SLKData bytes = _inner->readWithTimeout(timeout, error);
        if (bytes)
            _bytes += static_cast<long>(bytes->size());
        return bytes;
    }
    bool write(const SLKData& data, CommErrorRef* error) override { return _inner->write(data, error); }
    int reads() const { return _reads.load(); }
    long bytes() const { return _bytes.load(); }

private:
    SLKDataChannelRef _inner;
    std::atomic<int> _reads{0};
    std::atomic<long> _bytes{0};
};

// Waits until the loop has read `total` bytes since its start and handed them to the buffer: a
// read started after the one that returned the last of them.
void awaitBuffered(const CountingChannel& counting, long total) {
    ASSERT_TRUE(eventually([&] { return counting.bytes() >= total; }));
    const int seen = counting.reads();
    ASSERT_TRUE(eventually([&] { return counting.reads() > seen; }));
}

// A scripted channel whose reads queue at a gate: read number n (from 0) goes on only once the
// test allowed more than n reads (or after ten seconds, so nothing hangs).
class GatedChannel : public ScriptedChannel {
public:
    void hold() { setAllowance(0); }
    void allow(int reads) { setAllowance(reads); }
    void allowAll() { setAllowance(INT_MAX); }
    int arrived() const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return static_cast<int>(_readers.size());
    }
    int readsBy(std::thread::id reader) const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return static_cast<int>(std::count(_readers.begin(), _readers.end(), reader));
    }
    std::thread::id reader(int n) const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return _readers.at(static_cast<std::size_t>(n));
    }
    // Whether the thread that made read number `n` still exists.
    bool readerAlive(int n) const {
        std::lock_guard<std::mutex> guard(_gateLock);
        return ::access(("/proc/self/task/" + std::to_string(_tids.at(static_cast<std::size_t>(n)))).c_str(), F_OK) == 0;
    }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        {
            std::unique_lock<std::mutex> guard(_gateLock);
            const int ticket = static_cast<int>(_readers.size());
            _readers.push_back(std::this_thread::get_id());
            _tids.push_back(static_cast<long>(::syscall(SYS_gettid)));
            _gate.wait_for(guard, std::chrono::seconds(10), [&] { return ticket < _allowance; });
        }
        return ScriptedChannel::readWithTimeout(timeout, error);
    }

private:
    void setAllowance(int reads) {
        std::lock_guard<std::mutex> guard(_gateLock);
        _allowance = reads;
        _gate.notify_all();
    }

    mutable std::mutex _gateLock;
    std::condition_variable _gate;
    std::vector<std::thread::id> _readers;
    std::vector<long> _tids;
    int _allowance = INT_MAX;
};

class ActiveChannel : public ::testing::Test {
protected:
    void SetUp() override {
        _threadsBefore = selko::test::threadCount();
        _descriptorsBefore = selko::test::openDescriptorCount();
    }
    // Every test closes what it opened: its loops end and the port's descriptors go with them.
    void TearDown() override {
        EXPECT_TRUE(eventually([&] { return selko::test::threadCount() <= _threadsBefore; }));
        EXPECT_TRUE(eventually([&] { return selko::test::openDescriptorCount() <= _descriptorsBefore; }));
    }
    SLKDataChannelRef openUART(const VirtualDevice& device) {
        CommErrorRef error;
        SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr, &error);
        EXPECT_NE(uart, nullptr);
        EXPECT_TRUE(uart && uart->openWithTimeout(1.0, &error)) << (error ? error->message() : "");
        return uart;
    }

    // Reads until `count` bytes arrived or five seconds passed.
    static std::string readAtLeast(SLKDataChannel& channel, std::size_t count) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            const SLKData bytes = channel.readWithTimeout(0.2);
            if (!bytes)
                break;
            got += text(bytes);
        }
        return got;
    }

private:
    int _threadsBefore = 0;
    int _descriptorsBefore = 0;
};

// ---------------------------------------------------------------------------------------------
// Over a UART channel
// ---------------------------------------------------------------------------------------------

TEST_F(ActiveChannel, StartsReadingWhenTheWrappedChannelIsOrBecomesOpen) {
    VirtualDevice device;
    SLKDataChannelRef uart = openUART(device);
    SLKDataChannelRef active = createActiveChannel(uart);
    EXPECT_TRUE(active->isOpened());
    device.send("hello");
    EXPECT_EQ(readAtLeast(*active, 5), "hello");
    ASSERT_TRUE(active->close());
    // A loop ends only on a failed read: let this one see the close (and let go of its channel)
    // before the port is reused, or it would go on reading the reopened port beside the next
    // channel's loop.
    const std::weak_ptr<SLKDataChannel> first = active;
    active.reset();
    ASSERT_TRUE(eventually([&] { return first.expired(); }));

    // Over a closed channel nothing reads until the open.
    SLKDataChannelRef later = createActiveChannel(uart);
    EXPECT_FALSE(later->isOpened());
    CommErrorRef error;
    EXPECT_EQ(later->readWithTimeout(0.1, &error), nullptr);
    expectError(error, 2, "Cannot communicate with closed devices");
    EXPECT_FALSE(later->write(SLKDataWithString("x"), &error));
    expectError(error, 2, "Cannot communicate with closed devices");
    ASSERT_TRUE(later->openWithTimeout(1.0, &error));
    EXPECT_TRUE(later->write(SLKDataWithString("ping")));
    EXPECT_EQ(device.receive(4, std::chrono::seconds(5)), "ping");
    device.send("pong");
    EXPECT_EQ(readAtLeast(*later, 4), "pong");
    EXPECT_TRUE(later->close());
}

TEST_F(ActiveChannel, PiecesBetweenTwoReadsComeBackAsOneSequence) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openUART(device));
    SLKDataChannelRef active = createActiveChannel(counting);
    device.send("ab");
    ASSERT_NO_FATAL_FAILURE(awaitBuffered(*counting, 2));
    device.send("cd");
    ASSERT_NO_FATAL_FAILURE(awaitBuffered(*counting, 4));
    EXPECT_EQ(text(active->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)), "abcd");
    EXPECT_TRUE(active->close());
}

TEST_F(ActiveChannel, TimeoutValues) {
    VirtualDevice device;
    SLKDataChannelRef active = createActiveChannel(openUART(device));
    CommErrorRef error = foreignError("untouched", "kept");
    const CommErrorRef before = error;
    const SLKData nothing = active->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
    ASSERT_NE(nothing, nullptr);
    EXPECT_TRUE(nothing->empty());
    EXPECT_EQ(error, before);

    EXPECT_EQ(active->readWithTimeout(-2.0, &error), nullptr);
    expectError(error, 3, "time out has an invalid value");
    EXPECT_TRUE(active->isOpened());
    // Not a number is no wait at all: the buffer refuses it, and the channel stays open.
    EXPECT_EQ(active->readWithTimeout(std::nan(""), &error), nullptr);
    expectError(error, 5, std::string("read failed with error ") + std::strerror(EINVAL) + " (22)");
    EXPECT_TRUE(active->isOpened());

    // FOREVER waits until bytes come, however late.
    std::atomic<long> readerTid{0};
    auto reader = std::async(std::launch::async, [&] {
        readerTid = static_cast<long>(::syscall(SYS_gettid));
        return text(active->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER));
    });
    ASSERT_TRUE(eventually([&] { return readerTid != 0 && blockedInFutex(readerTid); }));
    device.send("late");
    const bool arrived = reader.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(active->close());
    ASSERT_TRUE(arrived);
    EXPECT_EQ(reader.get(), "late");
}

TEST_F(ActiveChannel, ReaderWaitingForeverEndsWithCanceledOnClose) {
    VirtualDevice device;
    SLKDataChannelRef active = createActiveChannel(openUART(device));
    std::atomic<long> readerTid{0};
    auto reader = std::async(std::launch::async, [&] {
        readerTid = static_cast<long>(::syscall(SYS_gettid));
        CommErrorRef error;
        const SLKData bytes = active->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &error);
        return bytes ? CommErrorRef() : error;
    });
    ASSERT_TRUE(eventually([&] { return readerTid != 0 && blockedInFutex(readerTid); }));
    EXPECT_TRUE(active->close());
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    expectError(reader.get(), 5, std::string("read failed with error ") + std::strerror(ECANCELED) + " (125)");
}

TEST_F(ActiveChannel, SecondCloseReportsTheStoppedLoopsReadError) {
    VirtualDevice device;
    SLKDataChannelRef active = createActiveChannel(openUART(device));
    EXPECT_TRUE(active->close());
    // Once the loop has noticed, the UART's own refusal is reported, under code 2.
    CommErrorRef error;
    EXPECT_TRUE(eventually([&] {
        EXPECT_FALSE(active->close(&error));
        return error && error->message() == "Cannot communicate with closed devices";
    }));
    expectError(error, 2, "Cannot communicate with closed devices", "Data Channel/SLPUARTChannel.cpp:");
}

TEST_F(ActiveChannel, OpeningAnOpenChannelFailsAndKeepsTheLoop) {
    VirtualDevice device;
    SLKDataChannelRef active = createActiveChannel(openUART(device));
    CommErrorRef error;
    EXPECT_FALSE(active->openWithTimeout(1.0, &error));
    expectError(error, 1, "Device Already Opened");
    EXPECT_TRUE(active->isOpened());
    device.send("still");
    EXPECT_EQ(readAtLeast(*active, 5), "still");
    EXPECT_TRUE(active->close());
}

TEST_F(ActiveChannel, NullVariantDrainsButRefusesReadsAndWrites) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openUART(device));
    ASSERT_TRUE(counting->close(nullptr));
    SLKDataChannelRef drain = createActiveNullChannel(counting);
    const auto expectRefusals = [&] {
        CommErrorRef error;
        EXPECT_EQ(drain->readWithTimeout(0.1, &error), nullptr);
        expectError(error, 6, "active null stub does not support read");
        EXPECT_FALSE(drain->write(SLKDataWithString("x"), &error));
        expectError(error, 6, "active null stub does not support write");
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

TEST_F(ActiveChannel, FactoriesRefuseANullChannel) {
    for (auto factory : {createActiveChannel, createActiveNullChannel}) {
        CommErrorRef error;
        EXPECT_EQ(factory(nullptr, &error), nullptr);
        expectError(error, 3, "channel cannot be nil", "Data Channel Decorator/SLKDataChannelDecorator.cpp:");
    }
}

TEST_F(ActiveChannel, LoopKeepsTheChannelAliveUntilTheWrappedChannelCloses) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openUART(device));
    std::weak_ptr<SLKDataChannel> weak = createActiveChannel(counting);
    EXPECT_FALSE(weak.expired());
    device.send("still read");
    EXPECT_TRUE(eventually([&] { return counting->bytes() == 10; }));
    EXPECT_FALSE(weak.expired());
    ASSERT_TRUE(counting->close(nullptr));
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

TEST_F(ActiveChannel, ReopenDeliversOnlyNewBytes) {
    VirtualDevice device;
    auto counting = std::make_shared<CountingChannel>(openUART(device));
    SLKDataChannelRef active = createActiveChannel(counting);
    device.send("old");
    ASSERT_NO_FATAL_FAILURE(awaitBuffered(*counting, 3));
    // Closed and reopened at once, while the old loop may still be inside its read.
    ASSERT_TRUE(active->close());
    ASSERT_TRUE(active->openWithTimeout(1.0));
    device.send("new");
    EXPECT_EQ(readAtLeast(*active, 3), "new");
    EXPECT_EQ(text(active->readWithTimeout(0.1)), "");
    EXPECT_TRUE(active->close());
}

// ---------------------------------------------------------------------------------------------
// Over scripted channels
// ---------------------------------------------------------------------------------------------

TEST_F(ActiveChannel, WrappedFailuresPassThroughUnchanged) {
    auto scripted = std::make_shared<ScriptedChannel>(true);
    SLKDataChannelRef active = createActiveChannel(scripted);
    const CommErrorRef refusal = foreignError("below", "write refused");
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
        scripted->pushFailure(foreignError("probe", "device vanished"));
        SLKDataChannelRef active = createActiveChannel(scripted);
        // Asks without pausing, to catch the first moment the channel counts as closed.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (active->isOpened() && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        ASSERT_FALSE(active->isOpened());
        CommErrorRef error;
        EXPECT_FALSE(active->close(&error));
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), "probe");
        EXPECT_EQ(error->code(), 2);
        ASSERT_EQ(error->message(), "device vanished") << "round " << round;
        EXPECT_TRUE(scripted->isOpened());
    }
}

TEST_F(ActiveChannel, SecondCloseBeforeTheLoopStoppedSaysAlreadyClosed) {
    auto gated = std::make_shared<GatedChannel>();
    gated->hold();
    SLKDataChannelRef active = createActiveChannel(gated);
    ASSERT_TRUE(eventually([&] { return gated->arrived() == 1; }));
    EXPECT_TRUE(active->close());
    CommErrorRef error;
    EXPECT_FALSE(active->close(&error));
    expectError(error, 2, "Device Already Closed");
    gated->allowAll();
    // The loop's read now fails on the closed channel; its error is what close reports.
    EXPECT_TRUE(eventually([&] {
        active->close(&error);
        return error && error->domain() == "test";
    }));
    EXPECT_EQ(error->code(), 2);
}

TEST_F(ActiveChannel, OrphanedLoopStopsWithoutAnotherRead) {
    auto gated = std::make_shared<GatedChannel>();
    gated->hold();
    SLKDataChannelRef active = createActiveChannel(gated);
    ASSERT_TRUE(eventually([&] { return gated->arrived() == 1; }));
    ASSERT_TRUE(active->close());
    ASSERT_TRUE(active->openWithTimeout(1.0));
    ASSERT_TRUE(eventually([&] { return gated->arrived() == 2; }));
    const std::thread::id oldLoop = gated->reader(0);
    // The old loop's read goes on against the reopened channel and succeeds; the loop must then
    // see that it is no longer current and end instead of reading beside the new loop.
    gated->allow(1);
    EXPECT_TRUE(eventually([&] { return !gated->readerAlive(0); }));
    EXPECT_EQ(gated->readsBy(oldLoop), 1);
    EXPECT_TRUE(active->isOpened());
    EXPECT_TRUE(active->close());
    gated->allowAll();
}

TEST_F(ActiveChannel, OrphanedLoopLeavesTheCurrentLoopsErrorAlone) {
    auto gated = std::make_shared<GatedChannel>();
    gated->hold();
    SLKDataChannelRef active = createActiveChannel(gated);
    ASSERT_TRUE(eventually([&] { return gated->arrived() == 1; }));
    ASSERT_TRUE(active->close());
    ASSERT_TRUE(active->openWithTimeout(1.0));
    ASSERT_TRUE(eventually([&] { return gated->arrived() == 2; }));
    // Only the old loop's read goes on, and it fails.
    gated->pushFailure(foreignError("stale", "old session"));
    gated->allow(1);
    ASSERT_TRUE(eventually([&] { return !gated->readerAlive(0); }));
    EXPECT_TRUE(active->isOpened());
    ASSERT_TRUE(active->close());
    // The current loop has not stopped: nothing of the old session may show here.
    CommErrorRef error;
    EXPECT_FALSE(active->close(&error));
    expectError(error, 2, "Device Already Closed");
    gated->allowAll();
}

TEST_F(ActiveChannel, ThreadThatCannotStartLeavesNobodyWaiting) {
    const std::string startFailure = std::string("Error starting the read thread - ") + std::strerror(EAGAIN) + "(11).";
    std::atomic<int> failuresLeft{2};
    const SLPActiveChannel::ThreadLauncher launcher = [&](std::function<void()> block) {
        if (failuresLeft-- > 0) {
            errno = EAGAIN;
            return false;
        }
        selko_detachNewThreadWithBlock(std::move(block));
        return true;
    };

    // At creation over an open channel: not open, reads fail at once, close reports the failure.
    auto opened = std::make_shared<ScriptedChannel>(true);
    auto active = SLPActiveChannel::initWithChannel(opened, true, launcher);
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
    ASSERT_EQ(failure.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the read waits for ever";
    expectError(failure.get(), 2, "Cannot communicate with closed devices");
    CommErrorRef error;
    EXPECT_FALSE(active->close(&error));
    expectError(error, 2, startFailure);
    EXPECT_TRUE(opened->isOpened());

    // At open: the wrapped channel is closed again and the open fails with code 4.
    auto closed = std::make_shared<ScriptedChannel>(false);
    active = SLPActiveChannel::initWithChannel(closed, true, launcher);
    EXPECT_FALSE(active->openWithTimeout(1.0, &error));
    expectError(error, 4, startFailure);
    EXPECT_FALSE(closed->isOpened());
    EXPECT_EQ(closed->closeCalls(), 1);
    EXPECT_FALSE(active->isOpened());
    EXPECT_FALSE(active->close(&error));
    expectError(error, 2, "Device Already Closed");

    // Once threads start again, so does the channel.
    ASSERT_TRUE(active->openWithTimeout(1.0, &error));
    closed->pushRead("back");
    EXPECT_EQ(readAtLeast(*active, 4), "back");
    EXPECT_TRUE(active->close());
}

} // namespace
