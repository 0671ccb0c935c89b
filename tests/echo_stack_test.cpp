// A whole stack over a pseudo-terminal: UART channel, background reader, echo removal. The device
// echoes every byte it is sent and answers PING with OK; the caller must see only the answer.
#include <SelkoCommunication.h>

#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(EchoStack, CommandEchoIsRemovedAndTheAnswerDelivered) {
    selko::test::VirtualDevice device;
    device.startResponder(true, [](const std::string& line) { return line == "PING" ? std::string("OK\n") : std::string(); });

    CommErrorRef error;
    SLKDataChannelRef port = createUARTChannel(device.url().c_str(), nullptr, &error);
    ASSERT_NE(port, nullptr) << (error ? error->message() : "");
    SLKDataChannelRef active = createActiveChannel(port, &error);
    ASSERT_NE(active, nullptr);
    SLKDataChannelRef channel = createEchoRemovalChannel(active, SLKDataWithString("\n"), &error);
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(channel->openWithTimeout(1.0, &error)) << (error ? error->message() : "");

    ASSERT_TRUE(channel->write(SLKDataWithString("PING\n"), &error)) << (error ? error->message() : "");
    std::string delivered;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (delivered.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        const SLKData got = channel->readWithTimeout(0.2, &error);
        ASSERT_NE(got, nullptr) << (error ? error->message() : "");
        delivered.append(got->begin(), got->end());
    }
    // Anything late would also show up here: the echo was written before the answer.
    const SLKData more = channel->readWithTimeout(0.1, &error);
    ASSERT_NE(more, nullptr);
    delivered.append(more->begin(), more->end());
    EXPECT_EQ(delivered, "OK\n");
    EXPECT_EQ(device.received(), "PING\n");

    EXPECT_TRUE(channel->close(&error));
    device.stopResponder();
}

} // namespace
