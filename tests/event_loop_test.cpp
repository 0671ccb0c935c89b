// Many ports served by one event loop, and the readable descriptors it waits on: the UART,
// network and active channels' own, stable across close and reopen.
#include "TestSupport.h"

#include <poll.h>

#include <memory>

using namespace selko::test;

namespace {

const double kNow = SELKO_COMMUNICATION_TIME_NOW;

// Whether `fd` polls readable right now (no wait: deterministic).
bool readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) == 1 && (watched.revents & POLLIN) != 0;
}

// The text of a read with SELKO_COMMUNICATION_TIME_NOW ("<null>" for a failure).
std::string readNow(SLKDataChannel& channel) { return text(channel.readWithTimeout(kNow)); }

// A stack whose readable descriptor is checked, with the device at the far end of its port.
struct Stack {
    const char* name;
    enum Port { UART, TCP, RFC2217 } port;
    enum Top { Bare, Threaded, LoopServed } top;
};

class ReadableDescriptor : public NothingLeftBehind, public ::testing::WithParamInterface<Stack> {
protected:
    void SetUp() override {
        NothingLeftBehind::SetUp();
        if (GetParam().port != Stack::UART && !server.started())
            GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    }
    SimulatedInstrument& device() {
        return GetParam().port == Stack::UART ? uartDevice : GetParam().port == Stack::TCP ? rawDevice : rfc2217Device;
    }
    SLKDataChannelRef port() {
        switch (GetParam().port) {
        case Stack::UART: return createUARTChannel(uartDevice.url().c_str(), nullptr);
        case Stack::TCP: return createChannelForURL(server.tcpURL().c_str(), nullptr);
        case Stack::RFC2217: break;
        }
        return createChannelForURL(server.rfc2217URL().c_str(), nullptr);
    }
    SLKDataChannelRef stack(SLKDataChannelRef below) {
        switch (GetParam().top) {
        case Stack::Bare: return below;
        case Stack::Threaded: return createActiveChannel(below);
        case Stack::LoopServed: break;
        }
        return createActiveChannelOnLoop(below, loop);
    }

    SimulatedInstrument uartDevice, rawDevice, rfc2217Device;
    Ser2NetServer server{rawDevice.path(), rfc2217Device.path()};
    std::shared_ptr<SLKEventLoop> loop = createEventLoop();
};

// Readable exactly while a read with SELKO_COMMUNICATION_TIME_NOW would find bytes (or, for a
// port, the hang-up it reports); quiet while closed; the same number across close and reopen.
TEST_P(ReadableDescriptor, ReadableWhileBytesWaitQuietWhileClosedStableForLife) {
    const bool bare = GetParam().top == Stack::Bare;
    // An rfc2217:// server may send Telnet notices of its own at any time: they make the socket
    // readable for a moment without device bytes, so silence is checked on the other ports only.
    const bool quietWhenSilent = GetParam().port != Stack::RFC2217;
    const SLKDataChannelRef below = port();
    CommErrorRef error;
    ASSERT_TRUE(below->openWithTimeout(5.0, &error)) << error->message();
    const SLKDataChannelRef channel = stack(below);
    ASSERT_NE(channel, nullptr);
    const int fd = SLKReadableDescriptor(channel, &error);
    ASSERT_GE(fd, 0) << error->message();
    if (!bare) {
        EXPECT_NE(fd, SLKReadableDescriptor(below));
    }
    EXPECT_EQ(readNow(*channel), "");
    EXPECT_TRUE(!quietWhenSilent || !readable(fd));

    for (const std::string bytes : {"first", "second"}) {
        // A raw TCP server opens the device once the connection is up: a byte written through
        // shows that it listens.
        if (GetParam().port == Stack::TCP) {
            ASSERT_TRUE(channel->write(SLKDataWithString("!")));
            ASSERT_EQ(device().receive(1, 5s), "!");
        }
        device().send(bytes);
        ASSERT_TRUE(eventually([&] { return readable(fd); })) << bytes;
        std::string got;
        while (got.size() < bytes.size() && readable(fd))
            got += readNow(*channel);
        EXPECT_EQ(got, bytes);
        EXPECT_TRUE(!quietWhenSilent || !readable(fd)) << bytes;
        // Closed: quiet, whatever the device does; reopened: the same descriptor.
        ASSERT_TRUE(channel->close());
        EXPECT_FALSE(readable(fd));
        ASSERT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();
        EXPECT_EQ(SLKReadableDescriptor(channel), fd);
    }
    if (GetParam().port == Stack::RFC2217) {
        // Bytes that a line-control call decoded while it waited for its answer: the socket is
        // drained, yet a read would find them.
        device().send("held");
        ASSERT_TRUE(eventually([&] { return readable(fd); }));
        if (bare) {
            EXPECT_TRUE(SLKSerialPortOf(channel)->setRTS(true, &error)) << error->message();
            EXPECT_TRUE(readable(fd));
        }
        EXPECT_EQ(readAtLeast(*channel, 4), "held");
    }
    if (GetParam().port == Stack::UART) {
        // A hang-up is news: readable until a read reports it; for an active channel until its
        // close has reported it.
        device().hangUp();
        ASSERT_TRUE(eventually([&] { return readable(fd); }));
        EXPECT_EQ(channel->readWithTimeout(kNow, &error), nullptr);
        if (!bare) {
            EXPECT_TRUE(readable(fd));
            EXPECT_FALSE(channel->close(&error));
            EXPECT_EQ(error->message(), "Device disconnected");
        }
        EXPECT_FALSE(readable(fd));
    }
    channel->close();
}

INSTANTIATE_TEST_SUITE_P(Stacks, ReadableDescriptor,
                         ::testing::Values(Stack{"uart", Stack::UART, Stack::Bare},
                                           Stack{"tcp", Stack::TCP, Stack::Bare},
                                           Stack{"rfc2217", Stack::RFC2217, Stack::Bare},
                                           Stack{"threaded_over_uart", Stack::UART, Stack::Threaded},
                                           Stack{"loop_over_uart", Stack::UART, Stack::LoopServed},
                                           Stack{"loop_over_tcp", Stack::TCP, Stack::LoopServed},
                                           Stack{"loop_over_rfc2217", Stack::RFC2217, Stack::LoopServed}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadableDescriptorRefusals, NoLayerWithADescriptor) {
    CommErrorRef error;
    EXPECT_EQ(SLKReadableDescriptor(nullptr, &error), -1);
    expectError(error, SLKErrorInvalidArgument, "channel cannot be nil", "Data Channel/SLKReadableDescriptor.cpp:");
    const auto scripted = std::make_shared<ScriptedChannel>(true);
    const SLKDataChannelRef passive = createPassiveChannel(scripted);
    EXPECT_EQ(SLKReadableDescriptor(passive, &error), -1);
    expectError(error, SLKErrorUnsupported, "No layer of the channel has a descriptor to wait on",
                "Data Channel/SLKReadableDescriptor.cpp:");
    auto loop = createEventLoop();
    error = nullptr;
    EXPECT_EQ(createActiveChannelOnLoop(passive, loop, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SLKErrorUnsupported);
    EXPECT_EQ(createActiveChannelOnLoop(passive, nullptr, &error), nullptr);
    expectError(error, SLKErrorInvalidArgument, "loop cannot be nil", "Data Channel Decorator/SLKLoopServedChannel.cpp:");
    EXPECT_EQ(createActiveChannelOnLoop(nullptr, loop, &error), nullptr);
    expectError(error, SLKErrorInvalidArgument, "channel cannot be nil", "Data Channel Decorator/SLKLoopServedChannel.cpp:");
    // A descriptor found below the layers that have none.
    SimulatedInstrument device;
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
    EXPECT_EQ(SLKReadableDescriptor(createPassiveChannel(uart)), SLKReadableDescriptor(uart));
}

class EventLoop : public NothingLeftBehind {};

// Eight ports stream into one loop; one hangs up, one is closed by its owner: the others go on
// receiving every byte, the hung-up one reports its loss on close.
TEST_F(EventLoop, OnePortLostOrClosedNeverHoldsUpTheOthers) {
    constexpr int kPorts = 8;
    std::vector<std::unique_ptr<SimulatedInstrument>> devices;
    std::vector<SLKDataChannelRef> channels;
    CommErrorRef error;
    auto loop = createEventLoop(&error);
    ASSERT_NE(loop, nullptr);
    for (int i = 0; i < kPorts; ++i) {
        devices.push_back(std::make_unique<SimulatedInstrument>());
        channels.push_back(createActiveChannelOnLoop(openedUART(*devices.back()), loop, &error));
        ASSERT_NE(channels.back(), nullptr) << error->message();
    }
    devices[0]->hangUp();
    ASSERT_TRUE(eventually([&] { return !channels[0]->isOpened(); }));
    ASSERT_TRUE(channels[1]->close());
    for (int round = 0; round < 3; ++round) {
        for (int i = 2; i < kPorts; ++i)
            devices[i]->send("port " + std::to_string(i) + " round " + std::to_string(round) + ";");
    }
    for (int i = 2; i < kPorts; ++i) {
        const std::string expected = "port " + std::to_string(i) + " round 0;port " + std::to_string(i) +
                                     " round 1;port " + std::to_string(i) + " round 2;";
        EXPECT_EQ(readAtLeast(*channels[i], expected.size()), expected);
    }
    EXPECT_FALSE(channels[0]->close(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SLKErrorNotOpened);
    EXPECT_EQ(error->message(), "Device disconnected");
    for (int i = 2; i < kPorts; ++i)
        EXPECT_TRUE(channels[i]->close());
}

} // namespace
