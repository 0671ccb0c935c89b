// The active channel and the buffer channel between its background loop and its readers, over
// scripted channels so that the loop's orderings (close, reopen, failing thread starts) can be
// pinned down. The contract is checked for both ways of reading: a thread of the channel's own,
// and an event loop.
#include "SLKReadableDescriptor.h"
#include "SLPActiveChannelAccess.h"
#include "TestSupport.h"
#include "databufferchannel_t.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <limits>

using namespace selko::test;

namespace {

using Buffer = databufferchannel_t<unsigned char>;
const double kNow = SELKO_COMMUNICATION_TIME_NOW, kForever = SELKO_COMMUNICATION_TIME_FOREVER;

// The bytes received, or the errno of a failed receive.
std::string receive(Buffer& buffer, double timeout, const std::string& already = "") {
    SLKBytes bytes(already.begin(), already.end());
    return buffer.TryReceive(timeout, bytes) ? std::string(bytes.begin(), bytes.end())
                                             : "errno " + std::to_string(errno);
}
void send(Buffer& to, const std::string& s) { to.Send(reinterpret_cast<const unsigned char*>(s.data()), s.size()); }
const std::string kTimedOut = "errno " + std::to_string(ETIMEDOUT), kCancelled = "errno " + std::to_string(ECANCELED);
const std::string kReadFailed = "read failed with error ";

TEST(BufferChannel, HandsOverEverythingSentInOrderUntilCloseEndsEveryWait) {
    Buffer buffer;
    const auto start = std::chrono::steady_clock::now();
    // Almost a second: its nanoseconds and the clock's carry into the deadline's seconds.
    EXPECT_EQ(receive(buffer, kNow) + receive(buffer, 0.999), kTimedOut + kTimedOut);
    EXPECT_GE(secondsSince(start), 0.998); // a microsecond clock: allow a millisecond of truncation
    send(buffer, "first-");
    send(buffer, "second");
    EXPECT_EQ(receive(buffer, 1.0, "old-"), "old-first-second");
    // A block sent while nothing is buffered is handed over as that very block; blocks sent
    // after it join it, in order, in one new block.
    const SLKData alone = SLKDataWithString("alone");
    SLKData got;
    buffer.Send(alone);
    EXPECT_TRUE(buffer.TryReceive(kNow, got) && got == alone);
    for (const SLKData& block : {alone, SLKDataWithString("+next")})
        buffer.Send(block);
    send(buffer, "+copied");
    EXPECT_TRUE(buffer.TryReceive(kNow, got) && got != alone);
    buffer.Send(alone);
    EXPECT_EQ(text(got) + receive(buffer, kNow, "|"), "alone+next+copied|alone");
    send(buffer, "kept"); // invalid timeouts are refused and leave the bytes in place
    for (const double invalid : {-2.0, -0.5, std::nan("")})
        EXPECT_EQ(receive(buffer, invalid), "errno " + std::to_string(EINVAL)) << invalid;
    EXPECT_EQ(receive(buffer, kNow), "kept");
    // A send ends a wait, also one whose deadline does not fit the time type.
    for (const double timeout : {5.0, kForever, std::numeric_limits<double>::infinity(), 1e300}) {
        auto waiting = blockedCall([&] { return receive(buffer, timeout); });
        send(buffer, "wake");
        EXPECT_EQ(waiting.get(), "wake") << timeout;
    }
    // Whether receivers wait already (each one wakes) or come after the close, they fail; sends are dropped.
    auto first = blockedCall([&] { return receive(buffer, 10.0); });
    auto second = blockedCall([&] { return receive(buffer, 10.0); });
    buffer.Close();
    send(buffer, "dropped");
    EXPECT_TRUE(first.wait_for(5s) == std::future_status::ready && second.wait_for(5s) == std::future_status::ready);
    EXPECT_EQ(first.get() + second.get() + receive(buffer, kNow), kCancelled + kCancelled + kCancelled);
    EXPECT_EQ(receive(buffer, kForever), kCancelled);
}

class ActiveChannel : public NothingLeftBehind {};

// A scripted channel with a descriptor that is readable while a scripted read waits to be handed
// out, as a port's is while bytes wait: an event loop can serve it, and the readers of a threaded
// active channel wait on it as on a port's.
struct Rung : ScriptedChannel, selko::detail::ReadableLayer {
    using ScriptedChannel::ScriptedChannel;
    int readableDescriptor(CommErrorRef*) override { return bell; }
    const int bell = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    ~Rung() override { ::close(bell); }
    void pushRead(const std::string& bytes) { ScriptedChannel::pushRead(bytes), ring(); }
    void pushFailure(CommErrorRef error) { ScriptedChannel::pushFailure(std::move(error)), ring(); }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        SLKData got = ScriptedChannel::readWithTimeout(timeout, error);
        std::uint64_t one = 1;
        if (!got || !got->empty())   // one scripted read handed out (or none left: nothing to take)
            (void)!::read(bell, &one, sizeof one);
        return got;
    }
    void ring() {
        const std::uint64_t one = 1;
        (void)!::write(bell, &one, sizeof one);
    }
};

// Each contract test runs over an active channel read by a thread of its own, and over one that
// an event loop serves (made before the fixture counts threads and descriptors, and gone after).
class ActiveContract : public ActiveChannel, public ::testing::WithParamInterface<bool> {
protected:
    SLKDataChannelRef active(const std::shared_ptr<Rung>& port) {
        return GetParam() ? SLPActiveChannelAccess::onLoop(port, loop, port->bell) : createActiveChannel(port);
    }
    const std::shared_ptr<SLKEventLoop> loop = createEventLoop();
};
INSTANTIATE_TEST_SUITE_P(Readings, ActiveContract, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "event_loop" : "thread"; });

// Make the call with the error slot `e` and tell whether it failed (returned null or false).
#define FAILS(call) [&](CommErrorRef* e) { return !(call); }

TEST_P(ActiveContract, RefusalsWritesAndTheCloseThatEndsAReaderWaitingForever) {
    auto wrapped = std::make_shared<Rung>(false);
    SLKDataChannelRef active = this->active(wrapped), drain = createActiveNullChannel(wrapped),
                      closed = this->active(std::make_shared<Rung>(false));
    ASSERT_TRUE(active->openWithTimeout(1.0));
    const SLKData x = SLKDataWithString("x");
    const std::string invalid = "time out has an invalid value", nullStub = "active null stub does not support ";
    const std::tuple<std::function<bool(CommErrorRef*)>, int, std::string> refusals[] = {
        {FAILS(closed->readWithTimeout(0.1, e)), SLKErrorNotOpened, kClosed},
        {FAILS(closed->write(x, e)), SLKErrorNotOpened, kClosed},
        {FAILS(active->openWithTimeout(1.0, e)), SLKErrorAlreadyOpened, "Device Already Opened"},
        {FAILS(drain->readWithTimeout(0.1, e)), SLKErrorUnsupported, nullStub + "read"},
        {FAILS(drain->write(x, e)), SLKErrorUnsupported, nullStub + "write"},
        {FAILS(active->readWithTimeout(-2.0, e)), SLKErrorInvalidArgument, invalid},
        {FAILS(active->readWithTimeout(-0.5, e)), SLKErrorInvalidArgument, invalid},
        {FAILS(active->readWithTimeout(std::nan(""), e)), SLKErrorInvalidArgument, invalid},
    };
    for (const auto& [fails, code, message] : refusals) {
        CommErrorRef error;
        EXPECT_TRUE(fails(&error)) << message;
        expectError(error, code, message, kActiveSource);
    }
    CommErrorRef error;
    EXPECT_TRUE(active->write(SLKDataWithString("ping")));
    const CommErrorRef refusal = foreignError("below", 4);
    wrapped->failWrites(refusal);
    EXPECT_FALSE(active->write(x, &error));
    EXPECT_EQ(error, refusal);
    EXPECT_EQ(wrapped->writes(), Strings{"ping"});
    // FOREVER waits until bytes come, however late; a close ends such a wait with ECANCELED.
    auto reading = blockedCall([&] { return text(active->readWithTimeout(kForever)); }, blockedWaiting);
    wrapped->pushRead("late");
    EXPECT_EQ(reading.get(), "late");
    reading = blockedCall([&] { return text(active->readWithTimeout(kForever, &error)); }, blockedWaiting);
    EXPECT_TRUE(active->close());
    EXPECT_EQ(reading.get(), "<null>");
    expectError(error, SLKErrorRead, kReadFailed + errnoText(ECANCELED, " "), kActiveSource);
    // The close stopped the loop: a second close reports under code 2 the loop's read error (the
    // wrapped channel's, when the close ended a read) or, when the loop stood between two reads,
    // what its next read would have said.
    EXPECT_FALSE(active->close(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SLKErrorNotOpened);
    EXPECT_TRUE(error->domain() == "test" || error->message() == kClosed) << error->message();
    // Buffered bytes are news on the readable descriptor until taken; so is a failing read of the
    // wrapped channel, which stops the loop, until a reopen starts afresh or close reports it.
    ASSERT_TRUE(active->openWithTimeout(1.0));
    const auto readable = [fd = SLKReadableDescriptor(active)] {
        pollfd watched{fd, POLLIN, 0};
        return ::poll(&watched, 1, 0) == 1;
    };
    for (const CommErrorRef& failure : {CommErrorRef(), foreignError("lost", 5)}) {
        wrapped->pushRead("news");
        EXPECT_TRUE(eventually(readable));
        EXPECT_EQ(text(active->readWithTimeout(kNow)), "news");
        EXPECT_FALSE(readable());
        wrapped->pushFailure(failure);
        EXPECT_TRUE(eventually(readable));
        EXPECT_FALSE(active->isOpened());
        ASSERT_TRUE(failure || (wrapped->close(nullptr) && active->openWithTimeout(1.0) && !readable()));
    }
    EXPECT_FALSE(active->close(&error) || readable());
    EXPECT_EQ(error->domain() + std::to_string(error->code()), "lost2");
}

// Holds its first read until released (or ten seconds pass), counting the reads of that reader.
struct FirstReadHeld : ScriptedChannel {
    std::promise<void> release;
    std::atomic<long> firstReader{0};
    std::atomic<int> reads{0}, readsByFirst{0};
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        if (reads++ == 0) {
            firstReader = currentThreadId();
            release.get_future().wait_for(10s);
        }
        readsByFirst += currentThreadId() == firstReader;
        return ScriptedChannel::readWithTimeout(timeout, error);
    }
};

// Lines held back above a quiet port (an aggregating transformer hands out one per read) still
// come out: the turns go on after a turn that found bytes, whoever takes them.
TEST_F(ActiveChannel, LinesHeldBackAboveAQuietPortComeOut) {
    SimulatedInstrument device;
    const std::vector<SLKDataTransformerRef> lines{createAggregatingTransformer(SLKDataWithString("\n"), false)};
    const SLKDataChannelRef active = createActiveChannel(createChannelTransformer(openedUART(device), &lines, nullptr));
    for (const std::string burst : {"a\nb\nc\n", "d\ne\n"}) {
        device.send(burst);
        EXPECT_EQ(readAtLeast(*active, burst.size()), burst);
    }
    EXPECT_TRUE(active->close());
}

// After a close behind the active channel's back, a reopen waits until the earlier loop's read is
// over; that loop then ends without reading again, so it can never take the first bytes of the new
// open.
TEST_F(ActiveChannel, ReopenWaitsForTheEarlierLoopWhichThenEnds) {
    auto held = std::make_shared<FirstReadHeld>();
    SLKDataChannelRef active = createActiveChannel(held);
    ASSERT_TRUE(eventually([&] { return held->reads == 1; }));
    ASSERT_TRUE(held->close(nullptr));
    auto reopen = std::async(std::launch::async, [&] { return active->openWithTimeout(1.0); });
    EXPECT_EQ(reopen.wait_for(100ms), std::future_status::timeout);
    EXPECT_FALSE(held->isOpened()) << "the wrapped channel opened while the earlier loop was reading";
    held->release.set_value();
    EXPECT_TRUE(reopen.get());
    ASSERT_TRUE(eventually([&] { return held->reads >= 3; }));
    EXPECT_EQ(held->readsByFirst, 1);
    EXPECT_TRUE(active->close());
}

// Its second read hands out an empty block whose release waits for `resume` (ten seconds at
// most): the loop that read it stands still between two reads. Reads by that loop's thread once
// `closed` is set are counted.
struct PausesBetweenReads : ScriptedChannel {
    std::promise<void> resume;
    std::shared_future<void> resumed = resume.get_future().share();
    std::atomic<bool> paused{false}, closed{false};
    std::atomic<long> loopThread{0};
    std::atomic<int> reads{0}, readsAfterClose{0};
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        readsAfterClose += closed && currentThreadId() == loopThread;
        if (reads++ != 1)
            return ScriptedChannel::readWithTimeout(timeout, error);
        loopThread = currentThreadId();
        return SLKData(new SLKBytes, [this](const SLKBytes* block) {
            paused = true;
            resumed.wait_for(10s);
            delete block;
        });
    }
};

// A channel closed through one active channel and opened through another belongs to the second
// alone: the first one's loop, caught between two reads by the close, never reads it again.
TEST_F(ActiveChannel, AfterCloseTheLoopNeverReadsAgainEvenWhenAnotherOwnerReopens) {
    auto port = std::make_shared<PausesBetweenReads>();
    std::atomic<bool> loopEnded{false};
    const auto first = SLPActiveChannelAccess::initWithChannel(port, true, [&](std::function<void()> block) {
        selko_detachNewThreadWithBlock([block = std::move(block), &loopEnded] { block(), loopEnded = true; });
        return true;
    });
    ASSERT_TRUE(eventually([&] { return port->paused.load(); }));
    ASSERT_TRUE(first->close());
    port->closed = true;
    const SLKDataChannelRef second = createActiveChannel(port);
    ASSERT_TRUE(second->openWithTimeout(1.0));
    port->pushRead("for the second");
    port->resume.set_value();
    EXPECT_EQ(readAtLeast(*second, 14), "for the second");
    EXPECT_TRUE(second->close());
    EXPECT_TRUE(eventually([&] { return loopEnded.load(); }));
    EXPECT_EQ(port->readsAfterClose, 0);
    CommErrorRef error;
    EXPECT_FALSE(first->close(&error));
    expectError(error, SLKErrorNotOpened, kClosed, kActiveSource);   // what its next read would have said
}

// Two active channels take turns owning one channel, each closing it before the other opens it:
// each owner reads exactly the bytes sent while it held the channel.
TEST_P(ActiveContract, OwnersTakingTurnsEachReadTheirOwnBytes) {
    auto port = std::make_shared<Rung>(false);
    const SLKDataChannelRef owners[] = {active(port), active(port)};
    for (int i = 0; i < 200 && !HasFailure(); ++i) {
        const SLKDataChannelRef& owner = owners[i % 2];
        ASSERT_TRUE(owner->openWithTimeout(1.0));
        const std::string bytes = std::to_string(i) + ";";
        port->pushRead(bytes);
        EXPECT_EQ(readAtLeast(*owner, bytes.size()), bytes);
        ASSERT_TRUE(owner->close());
    }
}

// A close that the wrapped channel refuses, staying open, is passed on and leaves the loop reading.
struct RefusesClose : Rung {
    bool close(CommErrorRef* error) override { return *error = foreignError("below", 4), false; }
};
TEST_P(ActiveContract, ARefusedCloseLeavesTheLoopReading) {
    auto port = std::make_shared<RefusesClose>();
    const SLKDataChannelRef active = this->active(port);
    CommErrorRef error;
    EXPECT_FALSE(active->close(&error));
    EXPECT_EQ(error->domain(), "below");
    port->pushRead("still read");
    EXPECT_EQ(readAtLeast(*active, 10), "still read");
    EXPECT_TRUE(active->isOpened());
    port->pushFailure(nullptr);   // ends the loop
    EXPECT_TRUE(eventually([&] { return !active->isOpened(); }));
}

TEST_F(ActiveChannel, ThreadThatCannotStartLeavesNobodyWaiting) {
    const std::string startFailure = "Error starting the read thread - " + errnoText(EAGAIN) + ".";
    std::atomic<int> failuresLeft{2};
    const SLPActiveChannelAccess::ThreadLauncher launcher = [&](std::function<void()> block) {
        if (failuresLeft-- > 0)
            return errno = EAGAIN, false;
        selko_detachNewThreadWithBlock(std::move(block));
        return true;
    };
    // At creation over an open channel: not open, even a read without limit fails at once, and
    // close reports the failure.
    auto opened = std::make_shared<ScriptedChannel>(true);
    auto active = SLPActiveChannelAccess::initWithChannel(opened, true, launcher);
    EXPECT_FALSE(active->isOpened());
    CommErrorRef error;
    EXPECT_EQ(active->readWithTimeout(kForever, &error), nullptr);
    expectError(error, SLKErrorNotOpened, kClosed, kActiveSource);
    EXPECT_FALSE(active->close(&error));
    expectError(error, SLKErrorNotOpened, startFailure, kActiveSource);
    // At open: the wrapped channel is closed again and the open fails with code 4.
    auto closed = std::make_shared<ScriptedChannel>(false);
    active = SLPActiveChannelAccess::initWithChannel(closed, true, launcher);
    EXPECT_FALSE(active->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorPortSystem, startFailure, kActiveSource);
    EXPECT_FALSE(closed->isOpened() || active->isOpened() || active->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed", kActiveSource);
    // Once threads start again, so does the channel.
    ASSERT_TRUE(active->openWithTimeout(1.0, &error));
    closed->pushRead("back");
    EXPECT_EQ(readAtLeast(*active, 4), "back");
    EXPECT_TRUE(active->close());
}

} // namespace
