// The far end goes away (the pseudo-terminal's master closes) while a reader waits on the port:
// the UART channel alone and under the passive and active channels. The disconnect must reach
// the reader as a failure, close the channel, and leave nothing spinning.
#include "FaultSupport.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

namespace {

using namespace std::chrono_literals;
using selko::test::VirtualDevice;

struct HangUpRow {
    const char* stack;
    SLKDataChannelRef (*wrap)(SLKDataChannelRef uart);
    double readTimeout;
    std::string readMessage;    // what the waiting reader is told
    std::string closeMessage;   // what close reports afterwards (code 2)
};

const HangUpRow kRows[] = {
    {"uart", [](SLKDataChannelRef uart) { return uart; }, SELKO_COMMUNICATION_TIME_FOREVER, "Device disconnected",
     "Device Already Closed"},
    {"passive", [](SLKDataChannelRef uart) { return createPassiveChannel(uart); }, 5.0, "Device disconnected",
     "Device Already Closed"},
    {"active", [](SLKDataChannelRef uart) { return createActiveChannel(uart); }, SELKO_COMMUNICATION_TIME_FOREVER,
     std::string("read failed with error ") + std::strerror(ECANCELED) + " (" + std::to_string(ECANCELED) + ")",
     "Device disconnected"},
};

TEST(HangUp, TheWaitingReaderFailsTheChannelClosesAndNothingSpins) {
    for (const HangUpRow& row : kRows) {
        SCOPED_TRACE(row.stack);
        VirtualDevice device;
        const SLKDataChannelRef channel = row.wrap(createUARTChannel(device.url().c_str(), nullptr));
        CommErrorRef error;
        ASSERT_TRUE(channel->openWithTimeout(1.0, &error));

        auto reader = std::async(std::launch::async, [&] {
            CommErrorRef readError;
            const SLKData bytes = channel->readWithTimeout(row.readTimeout, &readError);
            return std::make_pair(bytes, readError);
        });
        std::this_thread::sleep_for(20ms);   // usually waiting by now; either way the read must fail
        device.hangUp();
        ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
        const auto [bytes, readError] = reader.get();
        EXPECT_EQ(bytes, nullptr);
        ASSERT_NE(readError, nullptr);
        EXPECT_EQ(readError->code(), SLKErrorRead);
        EXPECT_EQ(readError->message(), row.readMessage);

        // Nothing keeps reading the dead line: a background reader would burn a core here.
        const double cpuBefore = selko::test::processCpuSeconds();
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(selko::test::processCpuSeconds() - cpuBefore, 0.1);

        EXPECT_FALSE(channel->isOpened());
        EXPECT_FALSE(channel->close(&error));
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), SLKErrorNotOpened);
        EXPECT_EQ(error->message(), row.closeMessage);
    }
}

// The exported descriptor read keeps its contract on a hung-up line: empty bytes, no failure.
TEST(HangUp, TheDescriptorReadReturnsEmptyBytes) {
    VirtualDevice device;
    const int fd = ::open(device.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    device.hangUp();
    CommErrorRef error;
    const SLKData bytes = selko_communication_read(fd, 1.0, &error);
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(bytes->empty());
    EXPECT_EQ(error, nullptr);
    ::close(fd);
}

} // namespace
