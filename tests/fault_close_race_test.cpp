// Closing under someone's feet: a close from another thread while a reader waits without limit,
// open/close storms from several threads on one channel, and a close while the background loop
// is inside its read, followed at once by other opens that may get the old descriptor number.
#include "FaultSupport.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <random>
#include <set>

namespace {

using namespace std::chrono_literals;
using selko::test::VirtualDevice;
using selko::test::Watchdog;
using Clock = std::chrono::steady_clock;

using selko::test::secondsSince;

struct ReadOutcome {
    SLKData bytes;
    CommErrorRef error;
};

std::future<ReadOutcome> readInBackground(const SLKDataChannelRef& channel, double timeout) {
    return std::async(std::launch::async, [channel, timeout] {
        ReadOutcome outcome;
        outcome.error = std::make_shared<const CommError>("untouched", 99, CommError::InfoMap{});
        outcome.bytes = channel->readWithTimeout(timeout, &outcome.error);
        return outcome;
    });
}

std::string canceledMessage() {
    return "read failed with error " + std::string(std::strerror(ECANCELED)) + " (" + std::to_string(ECANCELED) + ")";
}

TEST(CloseUnderAReader, ActiveReaderWaitingForeverEndsWithCanceled) {
    Watchdog watchdog("close under an active FOREVER reader", 30s);
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef active = createActiveChannel(createUARTChannel(device.url().c_str(), nullptr), &error);
    ASSERT_TRUE(active && active->openWithTimeout(1.0, &error));

    auto reader = readInBackground(active, SELKO_COMMUNICATION_TIME_FOREVER);
    std::this_thread::sleep_for(150ms); // let the reader reach its wait
    const auto closeStart = Clock::now();
    ASSERT_TRUE(active->close(&error));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready) << "the reader never noticed the close";
    std::printf("[ figure   ] active FOREVER reader ended %.3f s after the close\n", secondsSince(closeStart));
    const ReadOutcome outcome = reader.get();
    EXPECT_EQ(outcome.bytes, nullptr);
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), SLKErrorRead);
    EXPECT_EQ(outcome.error->message(), canceledMessage());
}

TEST(CloseUnderAReader, PassiveReaderOverUARTEndsWithinASliceWithNoDataAndNoError) {
    Watchdog watchdog("close under a passive reader", 30s);
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef passive = createPassiveChannel(createUARTChannel(device.url().c_str(), nullptr), &error);
    ASSERT_TRUE(passive && passive->openWithTimeout(1.0, &error));

    // A 4 s read waits in slices of 0.4 s; the close is seen after the slice in progress.
    auto reader = readInBackground(passive, 4.0);
    std::this_thread::sleep_for(150ms);
    const auto closeStart = Clock::now();
    ASSERT_TRUE(passive->close(&error));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const double noticed = secondsSince(closeStart);
    std::printf("[ figure   ] passive reader (0.4 s slices) ended %.3f s after the close\n", noticed);
    EXPECT_LT(noticed, 2.0) << "should end after about one slice, not after the whole timeout";
    const ReadOutcome outcome = reader.get();
    EXPECT_EQ(outcome.bytes, nullptr);
    EXPECT_EQ(outcome.error, nullptr) << "a close under the reader is no data and no error";
}

TEST(CloseUnderAReader, PassiveForeverReaderOverUARTLeavesTheNextSessionsBytesAlone) {
    Watchdog watchdog("close under a passive FOREVER reader", 30s);
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef passive = createPassiveChannel(createUARTChannel(device.url().c_str(), nullptr), &error);
    ASSERT_TRUE(passive && passive->openWithTimeout(1.0, &error));

    // FOREVER slices never time out, so the reader can only look at the channel's state again
    // once its wait ends: here when the device next sends a byte.
    auto reader = readInBackground(passive, SELKO_COMMUNICATION_TIME_FOREVER);
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(passive->close(&error));
    const bool endedByClose = reader.wait_for(1s) == std::future_status::ready;
    std::printf("[ figure   ] passive FOREVER reader %s the close alone\n", endedByClose ? "ended on" : "did not end on");
    if (!endedByClose)
        device.send("x");
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const ReadOutcome outcome = reader.get();
    EXPECT_EQ(outcome.bytes, nullptr);
    EXPECT_EQ(outcome.error, nullptr);
    if (!endedByClose) {
        // The byte arrived after the close: it belongs to whoever opens the port next.
        int waiting = -1;
        ASSERT_EQ(::ioctl(device.slaveFd(), FIONREAD, &waiting), 0);
        EXPECT_EQ(waiting, 1) << "the closed channel's reader consumed a byte sent after the close";
    }
}

// Open and close one channel from several threads at once. Each call either succeeds or fails
// with the state error that the race explains; afterwards no descriptor and no thread is left.
// `silentOpenFailures`: an open may also return false without an error. The active channel
// answers an open with the wrapped channel's state, asked after its lock is released, so an open
// that succeeded and was closed at once by another thread reports false with nothing to say.
const SLKOptions kShared{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}};

void storm(const SLKDataChannelRef& channel, int threads, int rounds, std::set<int> allowedOpenCodes,
           bool silentOpenFailures) {
    std::atomic<int> unexpected{0};
    std::atomic<int> opens{0};
    std::atomic<int> refusals{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::string firstUnexpected;
    auto note = [&](const char* operation, const CommErrorRef& error) {
        ++unexpected;
        std::lock_guard<std::mutex> guard(lock);
        if (firstUnexpected.empty())
            firstUnexpected = std::string(operation) + ": " + (error ? std::to_string(error->code()) + " " + error->message() : "no error");
    };
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            // Start together, so the calls really overlap. Each thread opens or closes at random:
            // paired open-close rounds would leave the channel open only for an instant and the
            // threads would hardly ever meet.
            std::minstd_rand random(static_cast<unsigned>(t) + 1);
            ++ready;
            while (ready < threads)
                std::this_thread::yield();
            for (int i = 0; i < rounds; ++i) {
                CommErrorRef error;
                if (random() % 2 == 0) {
                    if (channel->openWithTimeout(1.0, &error))
                        ++opens;
                    else if (error ? allowedOpenCodes.count(error->code()) == 0 : !silentOpenFailures)
                        note("open", error);
                    else
                        ++refusals;
                } else if (!channel->close(&error)) {
                    if (!error || error->code() != SLKErrorNotOpened)
                        note("close", error);
                    else
                        ++refusals;
                }
            }
        });
    }
    // Meanwhile another thread reads and writes: results or "not open", nothing else.
    std::thread user([&] {
        while (!stop) {
            CommErrorRef error;
            const SLKData bytes = channel->readWithTimeout(0.005, &error);
            if (!bytes && error && error->code() != SLKErrorNotOpened && error->message() != canceledMessage())
                note("read", error);
            error.reset();
            if (!channel->write(SLKDataWithString("x"), &error) && (!error || error->code() != SLKErrorNotOpened))
                note("write", error);
        }
    });
    for (std::thread& worker : workers)
        worker.join();
    stop = true;
    user.join();
    if (channel->isOpened())
        channel->close();
    EXPECT_EQ(unexpected.load(), 0) << "first: " << firstUnexpected;
    EXPECT_GT(opens.load(), 0);
    EXPECT_GT(refusals.load(), 0) << "the threads never met: the storm tested nothing";
    std::printf("[ figure   ] storm of %d threads x %d calls: %d opens, %d refused opens/closes\n", threads, rounds,
                opens.load(), refusals.load());
}

TEST(OpenCloseStorm, OneUARTChannelFromSeveralThreadsLeaksNothing) {
    Watchdog watchdog("UART open/close storm", 120s);
    VirtualDevice device;
    device.startResponder(false);   // drains what the storm writes
    const int descriptorsBefore = selko::test::openDescriptorCount();
    {
        // Shared use: with exclusive use an ordinary user's overlapping opens of the node fail
        // with EBUSY before the channel can refuse them itself.
        const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), &kShared);
        storm(uart, 4, 300, {SLKErrorAlreadyOpened}, false);
        EXPECT_FALSE(uart->isOpened());
    }
    EXPECT_EQ(selko::test::openDescriptorCount(), descriptorsBefore);
    EXPECT_TRUE(selko::test::descriptorsOpenOn(device.path()).size() == 1) << "only the device's own descriptor may stay";
}

TEST(OpenCloseStorm, OneActiveChannelFromSeveralThreadsLeaksNothing) {
    Watchdog watchdog("active open/close storm", 120s);
    VirtualDevice device;
    device.startResponder(false);
    const int descriptorsBefore = selko::test::openDescriptorCount();
    const int threadsBefore = selko::test::threadCount();
    {
        const SLKDataChannelRef active = createActiveChannel(createUARTChannel(device.url().c_str(), &kShared));
        storm(active, 4, 150, {SLKErrorAlreadyOpened}, true);
        EXPECT_FALSE(active->isOpened());
    }
    EXPECT_TRUE(selko::test::eventually([&] { return selko::test::threadCount() == threadsBefore; }))
        << selko::test::threadCount() - threadsBefore << " read loops still running";
    EXPECT_EQ(selko::test::openDescriptorCount(), descriptorsBefore);
}

// The descriptor that the UART channel holds on `device`, other than the device's own.
int hostDescriptorOn(const VirtualDevice& device) {
    for (int fd : selko::test::descriptorsOpenOn(device.path())) {
        if (fd != device.slaveFd())
            return fd;
    }
    return -1;
}

TEST(CloseDuringLoopRead, AReusedDescriptorNumberIsNeverReadOrTouchedByTheOldLoop) {
    Watchdog watchdog("close during the loop's read, then descriptor reuse", 120s);
    const int threadsBefore = selko::test::threadCount();
    int reused = 0;
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        VirtualDevice first;
        VirtualDevice second;
        CommErrorRef error;
        const SLKDataChannelRef active = createActiveChannel(createUARTChannel(first.url().c_str(), nullptr), &error);
        ASSERT_TRUE(active && active->openWithTimeout(1.0, &error));
        const int oldNumber = hostDescriptorOn(first);
        ASSERT_GE(oldNumber, 0);
        // Let the loop settle into one of its 1/30 s waits, at a different point each round.
        std::this_thread::sleep_for(std::chrono::microseconds(1000 * (round % 30) + 200));

        ASSERT_TRUE(active->close(&error));
        // At once: another port opens in this process, with settings of its own.
        const SLKOptions options = {{SELKO_COMMUNICATION_UART_MODE, std::string("7E2")},
                                    {SELKO_COMMUNICATION_UART_BAUD, 9600LL}};
        const SLKDataChannelRef other = createUARTChannel(second.url().c_str(), &options);
        ASSERT_TRUE(other->openWithTimeout(1.0, &error)) << error->message();
        if (hostDescriptorOn(second) == oldNumber)
            ++reused;
        second.send("for-the-new-port");

        // The old loop ends, without reading the other port's bytes or changing its settings.
        ASSERT_TRUE(selko::test::eventually([&] { return selko::test::threadCount() == threadsBefore; }));
        std::string got;
        ASSERT_TRUE(selko::test::eventually([&] {
            got += selko::test::textOf(other->readWithTimeout(0.05));
            return got.size() >= 16;
        }, 3000ms)) << "the other port got only \"" << got << "\"";
        EXPECT_EQ(got, "for-the-new-port");
        termios settings{};
        ASSERT_EQ(::tcgetattr(second.slaveFd(), &settings), 0);
        EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B9600));
        EXPECT_TRUE(other->isOpened());
        EXPECT_TRUE(other->write(SLKDataWithString("ok"), &error)) << "the other port's descriptor was closed under it";
        EXPECT_EQ(second.receive(2, 2000ms), "ok");

        // What the old loop recorded is about its own closed port, nothing else.
        CommErrorRef closeError;
        EXPECT_FALSE(active->close(&closeError));
        ASSERT_NE(closeError, nullptr);
        EXPECT_EQ(closeError->code(), SLKErrorNotOpened);
        EXPECT_EQ(closeError->message(), "Cannot communicate with closed devices");
        EXPECT_TRUE(other->close(&error));
        if (HasFailure())
            break;
    }
    std::printf("[ figure   ] the old descriptor number went to the other port in %d of %d rounds\n", reused, kRounds);
}

} // namespace
