// The far end goes away (the pseudo-terminal's master closes) while the host has the port open,
// with the UART channel alone and under the active and passive channels. A hung-up line reads as
// "readable, zero bytes" at once, forever: nothing fails, so the layers above see an endless run
// of empty reads. These tests pin down what each layer reports then, that nothing hangs or
// crashes, and measure what the endless empty reads cost.
#include "CountingChannel.h"
#include "FaultSupport.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <future>

namespace {

using namespace std::chrono_literals;
using selko::test::VirtualDevice;
using selko::test::Watchdog;
using Clock = std::chrono::steady_clock;

using selko::test::secondsSince;

void report(const char* key, double value) {
    ::testing::Test::RecordProperty(key, std::to_string(value));
    std::printf("[ figure   ] %s = %.3f\n", key, value);
}

TEST(HangUp, UARTReaderWaitingForeverReturnsEmptyAtHangUpAndWritesFailWithCode4) {
    Watchdog watchdog("UART reader at hang-up", 20s);
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr, &error);
    ASSERT_TRUE(uart && uart->openWithTimeout(1.0, &error)) << (error ? error->message() : "");

    auto reader = std::async(std::launch::async, [&] {
        CommErrorRef readError;
        const SLKData bytes = uart->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &readError);
        return std::make_pair(bytes, readError);
    });
    std::this_thread::sleep_for(100ms); // let the reader reach its wait
    device.hangUp();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready) << "a FOREVER read must end when the line hangs up";
    const auto [bytes, readError] = reader.get();
    ASSERT_NE(bytes, nullptr) << "a hung-up line is not a read failure: " << (readError ? readError->message() : "");
    EXPECT_TRUE(bytes->empty());
    EXPECT_EQ(readError, nullptr);
    EXPECT_TRUE(uart->isOpened()) << "an empty read must not close the channel";

    // Timed reads come back at once, without bytes, well before their timeout.
    const auto start = Clock::now();
    const SLKData again = uart->readWithTimeout(2.0, &error);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->empty());
    EXPECT_LT(secondsSince(start), 1.5);

    // Writing to a hung-up line fails in the one write call: code 4 with the system's text.
    CommErrorRef writeError;
    EXPECT_FALSE(uart->write(SLKDataWithString("PING\n"), &writeError));
    ASSERT_NE(writeError, nullptr);
    EXPECT_EQ(writeError->code(), SLKErrorPortSystem);
    EXPECT_EQ(writeError->message(), std::string("Failed to write message with error = ") + std::strerror(EIO));
    EXPECT_TRUE(uart->isOpened()) << "a failed write leaves the channel open";
    EXPECT_TRUE(uart->close(&error));
}

TEST(HangUp, ActiveLoopKeepsSpinningOnAHungUpLineUntilClosed) {
    Watchdog watchdog("active channel over a hung-up line", 60s);
    const int threadsBefore = selko::test::threadCount();
    const int descriptorsBefore = selko::test::openDescriptorCount();
    {
        VirtualDevice device;
        CommErrorRef error;
        const auto counted = std::make_shared<selko::test::CountingChannel>(createUARTChannel(device.url().c_str(), nullptr));
        const SLKDataChannelRef active = createActiveChannel(counted, &error);
        ASSERT_TRUE(active && active->openWithTimeout(1.0, &error)) << (error ? error->message() : "");
        device.send("before\n");
        std::string early;
        ASSERT_TRUE(selko::test::eventually([&] {
            early += selko::test::textOf(active->readWithTimeout(0.1));
            return early == "before\n";
        })) << early;

        // A FOREVER reader waits through the hang-up: the loop's reads keep succeeding empty.
        auto foreverReader = std::async(std::launch::async, [&] {
            CommErrorRef readError;
            const SLKData bytes = active->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &readError);
            return std::make_pair(bytes, readError);
        });
        device.hangUp();

        // What the endless empty reads cost: process CPU over one second of wall time, with
        // nothing else running but the loop.
        const double cpuBefore = selko::test::processCpuSeconds();
        const long readsBefore = counted->reads();
        const auto wallStart = Clock::now();
        std::this_thread::sleep_for(1s);
        const double wall = secondsSince(wallStart);
        report("active_loop_cpu_seconds_per_second_after_hang_up", (selko::test::processCpuSeconds() - cpuBefore) / wall);
        report("active_loop_reads_per_second_after_hang_up", static_cast<double>(counted->reads() - readsBefore) / wall);

        EXPECT_TRUE(active->isOpened()) << "nothing failed, so the active channel still counts as open";
        const bool noticedHangUp = foreverReader.wait_for(0s) == std::future_status::ready;
        report("active_forever_reader_ended_by_hang_up", noticedHangUp ? 1.0 : 0.0);

        // A timed reader just times out, empty.
        const auto start = Clock::now();
        const SLKData timed = active->readWithTimeout(0.3, &error);
        ASSERT_NE(timed, nullptr);
        EXPECT_TRUE(timed->empty());
        EXPECT_GE(secondsSince(start), 0.29);

        // Closing is what ends it: the loop's next read fails, the waiting reader is cancelled.
        const auto closeStart = Clock::now();
        ASSERT_TRUE(active->close(&error));
        ASSERT_EQ(foreverReader.wait_for(5s), std::future_status::ready);
        report("active_forever_reader_seconds_to_notice_close", secondsSince(closeStart));
        const auto [bytes, readError] = foreverReader.get();
        EXPECT_EQ(bytes, nullptr);
        ASSERT_NE(readError, nullptr);
        EXPECT_EQ(readError->code(), SLKErrorRead);
        EXPECT_EQ(readError->message(),
                  "read failed with error " + std::string(std::strerror(ECANCELED)) + " (" + std::to_string(ECANCELED) + ")");
    }
    EXPECT_TRUE(selko::test::eventually([&] { return selko::test::threadCount() == threadsBefore; }))
        << "the read loop did not end after the close";
    EXPECT_EQ(selko::test::openDescriptorCount(), descriptorsBefore);
}

TEST(HangUp, PassiveReadSpinsThroughItsTimeoutAndStopsWithinASliceOfAClose) {
    Watchdog watchdog("passive channel over a hung-up line", 60s);
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef passive = createPassiveChannel(createUARTChannel(device.url().c_str(), nullptr), &error);
    ASSERT_TRUE(passive && passive->openWithTimeout(1.0, &error));
    device.hangUp();

    // Every slice comes back empty at once, so the read loops on the CPU until its timeout.
    double cpuUsed = 0;
    const auto start = Clock::now();
    const SLKData bytes = [&] {
        const double cpuBefore = selko::test::threadCpuSeconds();
        SLKData result = passive->readWithTimeout(1.0, &error);
        cpuUsed = selko::test::threadCpuSeconds() - cpuBefore;
        return result;
    }();
    const double elapsed = secondsSince(start);
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(bytes->empty());
    EXPECT_GE(elapsed, 0.99) << "the read must last its timeout";
    report("passive_read_cpu_seconds_per_second_after_hang_up", cpuUsed / elapsed);

    // A close from another thread ends a long read within about one slice (0.5 s here).
    auto reader = std::async(std::launch::async, [&] {
        CommErrorRef readError = std::make_shared<const CommError>("marker", 99, CommError::InfoMap{});
        const SLKData result = passive->readWithTimeout(5.0, &readError);
        return std::make_pair(result, readError);
    });
    std::this_thread::sleep_for(200ms);
    const auto closeStart = Clock::now();
    ASSERT_TRUE(passive->close(&error));
    ASSERT_EQ(reader.wait_for(4s), std::future_status::ready) << "the reader did not notice the close";
    report("passive_reader_seconds_to_notice_close", secondsSince(closeStart));
    const auto [result, readError] = reader.get();
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(readError, nullptr) << "a close under the reader is no data and no error";
}

} // namespace
