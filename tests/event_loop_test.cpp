// Many ports served by one event loop, and the readable descriptors it waits on: the UART,
// network and active channels' own, stable across close and reopen.
#include "TestSupport.h"

#include <poll.h>

#include <memory>
#include <random>

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
        // Taken, they are news no more (the server's own notices pass through as empty reads).
        EXPECT_TRUE(eventually([&] { return !readable(fd) || (readNow(*channel), false); }));
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

// A layer above the port that hands out one held-back message per read still gets every message
// out although the port went quiet after delivering them all at once.
TEST_F(EventLoop, MessagesHeldAboveThePortComeOutWithoutNewInput) {
    SimulatedInstrument device;
    auto loop = createEventLoop();
    const std::vector<SLKDataTransformerRef> lines{createAggregatingTransformer(SLKDataWithString("\n"), false)};
    const SLKDataChannelRef channel =
        createActiveChannelOnLoop(createChannelTransformer(openedUART(device), &lines, nullptr), loop);
    ASSERT_NE(channel, nullptr);
    device.send("one\ntwo\nthree\nfour\nfive\nsix\n");
    EXPECT_EQ(readAtLeast(*channel, 28), "one\ntwo\nthree\nfour\nfive\nsix\n");
    EXPECT_TRUE(channel->close());
}

// The loop destroyed under attached channels: their reading stops as if the device were lost.
// A waiting reader ends, the wrapped port is closed, close reports why, and a reopen is refused
// with the wrapped channel left closed.
TEST_F(EventLoop, DestroyedUnderAttachedChannels) {
    SimulatedInstrument devices[3];
    auto loop = createEventLoop();
    SLKDataChannelRef uarts[3], channels[3];
    for (int i = 0; i < 3; ++i) {
        uarts[i] = openedUART(devices[i]);
        channels[i] = createActiveChannelOnLoop(uarts[i], loop);
    }
    devices[1].send("buffered");
    ASSERT_TRUE(eventually([&] { return readable(SLKReadableDescriptor(channels[1])); }));
    CommErrorRef waitError;
    auto waiting = blockedCall([&] { return channels[0]->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &waitError); });
    loop.reset();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), nullptr);
    expectError(waitError, SLKErrorRead, "read failed with error " + errnoText(ECANCELED, " "),
                "Data Channel Decorator/SLPActiveChannel.cpp:");
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(channels[i]->isOpened() || uarts[i]->isOpened());
        CommErrorRef error;
        EXPECT_EQ(channels[i]->readWithTimeout(kNow, &error), nullptr);
        expectError(error, SLKErrorNotOpened, kClosed, "Data Channel Decorator/SLPActiveChannel.cpp:");
        // Readable: the loss is news until close reports it.
        EXPECT_TRUE(readable(SLKReadableDescriptor(channels[i])));
        EXPECT_FALSE(channels[i]->close(&error));
        expectError(error, SLKErrorNotOpened, "The event loop was destroyed", "Event Loop/SLKEventLoopCore.cpp:");
        EXPECT_FALSE(channels[i]->openWithTimeout(1.0, &error));
        expectError(error, SLKErrorPortSystem, "The event loop was destroyed", "Event Loop/SLKEventLoopCore.cpp:");
        EXPECT_FALSE(uarts[i]->isOpened());
    }
}

// Several threads attach channels, read, close, reopen and let go of them at random while the
// ports stream and one hangs up; the loop is destroyed at the end with channels still attached.
// Run under ThreadSanitizer too. Every read hands out stream bytes or fails the way the race
// explains.
TEST_F(EventLoop, AttachDetachCloseReopenFromSeveralThreadsWhilePortsStreamAndHangUp) {
    constexpr int kPorts = 4, kThreads = 3, kRounds = SELKO_SANITIZED ? 60 : 250;
    SimulatedInstrument devices[kPorts];
    SLKDataChannelRef uarts[kPorts];
    for (int i = 0; i < kPorts; ++i)
        uarts[i] = createUARTChannel(devices[i].url().c_str(), &kShared);
    std::atomic<bool> stop{false};
    std::atomic<int> streaming{kPorts};
    std::vector<std::thread> streamers;
    for (int i = 0; i < kPorts; ++i) {
        streamers.emplace_back([&, i] {
            const std::string chunk(32, 'x');
            // Only what fits: a port that nobody reads must not block the stream's end.
            while (!stop && !(i == 0 && streaming < kPorts)) {
                pollfd room{devices[i].masterFd(), POLLOUT, 0};
                if (::poll(&room, 1, 5) == 1)
                    (void)!::write(devices[i].masterFd(), chunk.data(), chunk.size());
            }
        });
    }
    auto loop = createEventLoop();
    std::vector<SLKDataChannelRef> kept;   // attached channels kept to the end
    std::mutex keptLock;
    std::atomic<int> unexpected{0}, bytesRead{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(1234u + static_cast<unsigned>(t));
            SLKDataChannelRef mine;
            for (int round = 0; round < kRounds; ++round) {
                CommErrorRef error;
                switch (random() % 6) {
                case 0: mine = createActiveChannelOnLoop(uarts[random() % kPorts], loop); break;
                case 1:
                    if (mine)
                        mine->openWithTimeout(1.0, &error);
                    break;
                case 2:
                    if (mine)
                        mine->close(&error);
                    break;
                case 3:
                case 4:
                    if (mine) {
                        const SLKData bytes = mine->readWithTimeout(0.01, &error);
                        if (bytes && std::any_of(bytes->begin(), bytes->end(), [](auto b) { return b != 'x'; }))
                            ++unexpected;
                        if (bytes)
                            bytesRead += static_cast<int>(bytes->size());
                        else if (!error || (error->code() != SLKErrorNotOpened && error->code() != SLKErrorRead))
                            ++unexpected;
                    }
                    break;
                case 5:
                    if (mine && round % 2 == 0) {
                        std::lock_guard<std::mutex> guard(keptLock);
                        kept.push_back(mine);
                    }
                    mine.reset();
                    break;
                }
                if (t == 0 && round == kRounds / 2) {
                    streaming = kPorts - 1;   // port 0 stops streaming ...
                    streamers[0].join();
                    devices[0].hangUp();      // ... and its far end goes away
                }
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    stop = true;
    for (std::size_t i = 1; i < streamers.size(); ++i)
        streamers[i].join();
    loop.reset();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(bytesRead, 0);
    for (const SLKDataChannelRef& channel : kept)
        EXPECT_FALSE(channel->isOpened());
}

} // namespace
