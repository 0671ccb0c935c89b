// Many ports served by one event loop, and the readable descriptors it waits on: the UART,
// network and active channels' own, stable across close and reopen.
#include "TestSupport.h"

#include <poll.h>

#include <random>

using namespace selko::test;

namespace {

const double kNow = SELKO_COMMUNICATION_TIME_NOW;
const std::string kLoopSource = "Event Loop/SLKEventLoopCore.cpp:", kActiveSource = "Data Channel Decorator/SLPActiveChannel.cpp:";

// Whether `fd` polls readable right now (no wait: deterministic).
bool readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) == 1;
}
std::string readNow(SLKDataChannel& channel) { return text(channel.readWithTimeout(kNow)); }

// A port (uart://, tcp://, rfc2217:// to a simulated device), bare or under an active channel
// read by a thread or by an event loop.
enum Port { UART, TCP, RFC2217 };
enum Top { Bare, Threaded, OnLoop };
struct Stack {
    const char* name;
    Port port;
    Top top;
};

class ReadableDescriptor : public NothingLeftBehind, public ::testing::WithParamInterface<Stack> {
protected:
    void SetUp() override {
        NothingLeftBehind::SetUp();
        if (GetParam().port != UART && !server.started())
            GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    }
    SimulatedInstrument devices[3];   // by Port
    Ser2NetServer server{devices[TCP].path(), devices[RFC2217].path()};
    std::shared_ptr<SLKEventLoop> loop = createEventLoop();
};

// Readable exactly while a read with SELKO_COMMUNICATION_TIME_NOW would find bytes (or, for a
// port, the hang-up it reports); quiet while closed; the same number across close and reopen.
TEST_P(ReadableDescriptor, ReadableWhileBytesWaitQuietWhileClosedStableForLife) {
    const auto [name, kind, top] = GetParam();
    SimulatedInstrument& device = devices[kind];
    const std::string url = kind == UART ? device.url() : kind == TCP ? server.tcpURL() : server.rfc2217URL();
    const SLKDataChannelRef below = createChannelForURL(url.c_str(), nullptr);
    CommErrorRef error;
    ASSERT_TRUE(below->openWithTimeout(5.0, &error)) << error->message();
    const SLKDataChannelRef channel =
        top == Bare ? below : top == Threaded ? createActiveChannel(below) : createActiveChannelOnLoop(below, loop);
    const int fd = SLKReadableDescriptor(channel, &error);
    ASSERT_GE(fd, 0) << error->message();
    EXPECT_EQ(fd == SLKReadableDescriptor(below), top == Bare);
    // An rfc2217:// server may send Telnet notices of its own at any time: they make the socket
    // readable for a moment without device bytes, so silence is checked on the other ports only.
    const bool quietWhenSilent = kind != RFC2217;
    EXPECT_EQ(readNow(*channel), "");
    EXPECT_TRUE(!quietWhenSilent || !readable(fd));
    for (const std::string bytes : {"first", "second"}) {
        // A raw TCP server opens the device once the connection is up: a byte written through
        // shows that it listens.
        ASSERT_TRUE(kind != TCP || (channel->write(SLKDataWithString("!")) && device.receive(1, 5s) == "!"));
        device.send(bytes);
        ASSERT_TRUE(eventually([&] { return readable(fd); })) << bytes;
        std::string got;
        while (got.size() < bytes.size() && readable(fd))
            got += readNow(*channel);
        EXPECT_EQ(got, bytes);
        EXPECT_TRUE(!quietWhenSilent || !readable(fd)) << bytes;
        ASSERT_TRUE(channel->close());
        EXPECT_FALSE(readable(fd));
        ASSERT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();
        EXPECT_EQ(SLKReadableDescriptor(channel), fd);
    }
    if (kind == RFC2217) {
        // Bytes that a line-control call decoded while it waited for its answer: the socket is
        // drained, yet a read would find them. Taken, they are news no more.
        device.send("held");
        ASSERT_TRUE(eventually([&] { return readable(fd); }));
        EXPECT_TRUE(top != Bare || (SLKSerialPortOf(channel)->setRTS(true) && readable(fd)));
        EXPECT_EQ(readAtLeast(*channel, 4), "held");
        EXPECT_TRUE(eventually([&] { return !readable(fd) || (readNow(*channel), false); }));
    }
    if (kind == UART) {
        // A hang-up is news: for a port until a read reported it, for an active channel until its
        // close did.
        device.hangUp();
        ASSERT_TRUE(eventually([&] { return readable(fd); }));
        EXPECT_EQ(channel->readWithTimeout(kNow, &error), nullptr);
        EXPECT_EQ(readable(fd), top != Bare);
        EXPECT_FALSE(top != Bare && channel->close(&error));
        EXPECT_EQ(error->message(), "Device disconnected");
        EXPECT_FALSE(readable(fd));
    }
    channel->close();
}

INSTANTIATE_TEST_SUITE_P(Stacks, ReadableDescriptor,
                         ::testing::Values(Stack{"uart", UART, Bare}, Stack{"tcp", TCP, Bare},
                                           Stack{"rfc2217", RFC2217, Bare}, Stack{"thread_uart", UART, Threaded},
                                           Stack{"loop_uart", UART, OnLoop}, Stack{"loop_tcp", TCP, OnLoop},
                                           Stack{"loop_rfc2217", RFC2217, OnLoop}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadableDescriptorRefusals, NoLayerWithADescriptorAndFactoryArguments) {
    const std::string descriptorSource = "Data Channel/SLKReadableDescriptor.cpp:",
                      factorySource = "Data Channel Decorator/SLKLoopServedChannel.cpp:";
    const SLKDataChannelRef passive = createPassiveChannel(std::make_shared<ScriptedChannel>(true));
    const auto loop = createEventLoop();
    const std::tuple<std::function<bool(CommErrorRef*)>, int, std::string, std::string> refusals[] = {
        {[&](CommErrorRef* e) { return SLKReadableDescriptor(nullptr, e) == -1; }, SLKErrorInvalidArgument,
         "channel cannot be nil", descriptorSource},
        {[&](CommErrorRef* e) { return SLKReadableDescriptor(passive, e) == -1; }, SLKErrorUnsupported,
         "No layer of the channel has a descriptor to wait on", descriptorSource},
        {[&](CommErrorRef* e) { return !createActiveChannelOnLoop(passive, loop, e); }, SLKErrorUnsupported,
         "No layer of the channel has a descriptor to wait on", descriptorSource},
        {[&](CommErrorRef* e) { return !createActiveChannelOnLoop(nullptr, loop, e); }, SLKErrorInvalidArgument,
         "channel cannot be nil", factorySource},
        {[&](CommErrorRef* e) { return !createActiveChannelOnLoop(passive, nullptr, e); }, SLKErrorInvalidArgument,
         "loop cannot be nil", factorySource},
    };
    for (const auto& [fails, code, message, source] : refusals) {
        CommErrorRef error;
        EXPECT_TRUE(fails(&error)) << message;
        expectError(error, code, message, source);
    }
    // A descriptor below the layers that have none is found.
    SimulatedInstrument device;
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
    EXPECT_EQ(SLKReadableDescriptor(createPassiveChannel(uart)), SLKReadableDescriptor(uart));
}

class EventLoop : public NothingLeftBehind {};

// Six ports on one loop: one hangs up, one is closed by its owner, the others go on receiving
// every byte. Then the loop is destroyed under the rest: their reading stops as if the device
// were lost (a waiting reader ends, the port is closed, close says why, a reopen is refused).
TEST_F(EventLoop, PortsLostClosedOrLeftWhenTheLoopGoes) {
    constexpr int kPorts = 6;
    SimulatedInstrument devices[kPorts];
    SLKDataChannelRef uarts[kPorts], channels[kPorts];
    auto loop = createEventLoop();
    for (int i = 0; i < kPorts; ++i)
        channels[i] = createActiveChannelOnLoop(uarts[i] = openedUART(devices[i]), loop);
    devices[0].hangUp();
    ASSERT_TRUE(eventually([&] { return !channels[0]->isOpened(); }));
    ASSERT_TRUE(channels[1]->close());
    std::string sent[kPorts];
    for (int round = 0; round < 3; ++round) {
        for (int i = 2; i < kPorts; ++i) {
            devices[i].send(std::to_string(i) + std::to_string(round));
            sent[i] += std::to_string(i) + std::to_string(round);
        }
    }
    for (int i = 2; i < kPorts; ++i)
        EXPECT_EQ(readAtLeast(*channels[i], 6), sent[i]);
    CommErrorRef error;
    EXPECT_FALSE(channels[0]->close(&error));
    EXPECT_EQ(error->message(), "Device disconnected");

    CommErrorRef waitError;
    auto waiting = blockedCall([&] { return channels[2]->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &waitError); });
    loop.reset();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), nullptr);
    expectError(waitError, SLKErrorRead, "read failed with error " + errnoText(ECANCELED, " "), kActiveSource);
    for (int i = 2; i < kPorts; ++i) {
        EXPECT_FALSE(channels[i]->isOpened() || uarts[i]->isOpened());
        EXPECT_TRUE(readable(SLKReadableDescriptor(channels[i])));   // news until close reports it
        EXPECT_FALSE(channels[i]->close(&error));
        expectError(error, SLKErrorNotOpened, "The event loop was destroyed", kLoopSource);
        EXPECT_FALSE(channels[i]->openWithTimeout(1.0, &error) || uarts[i]->isOpened());
        expectError(error, SLKErrorPortSystem, "The event loop was destroyed", kLoopSource);
    }
}

// A layer above the port that hands out one held-back message per read still gets every message
// out although the port went quiet after delivering them all at once.
TEST_F(EventLoop, MessagesHeldAboveThePortComeOutWithoutNewInput) {
    SimulatedInstrument device;
    auto loop = createEventLoop();
    const std::vector<SLKDataTransformerRef> lines{createAggregatingTransformer(SLKDataWithString("\n"), false)};
    const SLKDataChannelRef channel =
        createActiveChannelOnLoop(createChannelTransformer(openedUART(device), &lines, nullptr), loop);
    device.send("one\ntwo\nthree\nfour\nfive\nsix\n");
    EXPECT_EQ(readAtLeast(*channel, 28), "one\ntwo\nthree\nfour\nfive\nsix\n");
    EXPECT_TRUE(channel->close());
}

// Threads attach channels, read, close, reopen and let go of them at random while the ports
// stream and one hangs up; the loop goes at the end with channels attached. Also run under
// ThreadSanitizer. Every read hands out stream bytes or fails the way the race explains.
TEST_F(EventLoop, AttachCloseReopenReleaseFromSeveralThreadsWhilePortsStreamAndHangUp) {
    constexpr int kPorts = 4, kThreads = 3, kRounds = SELKO_SANITIZED ? 60 : 250;
    SimulatedInstrument devices[kPorts];
    SLKDataChannelRef uarts[kPorts];
    std::atomic<bool> stop{false}, hungUp{false};
    std::vector<std::thread> streamers;
    for (int i = 0; i < kPorts; ++i) {
        uarts[i] = createUARTChannel(devices[i].url().c_str(), &kShared);
        streamers.emplace_back([&, i] {   // only what fits: an unread port must not block the end
            for (pollfd room{devices[i].masterFd(), POLLOUT, 0}; !stop && !(i == 0 && hungUp);)
                if (::poll(&room, 1, 5) == 1)
                    (void)!::write(room.fd, "xxxxxxxxxxxxxxxx", 16);
        });
    }
    auto loop = createEventLoop();
    std::vector<SLKDataChannelRef> kept;   // attached to the end
    std::mutex keptLock;
    std::atomic<int> unexpected{0}, bytesRead{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(1234u + static_cast<unsigned>(t));
            SLKDataChannelRef mine;
            for (int round = 0; round < kRounds; ++round) {
                CommErrorRef error;
                const unsigned op = random() % 6;
                if (op == 0)
                    mine = createActiveChannelOnLoop(uarts[random() % kPorts], loop);
                else if (mine && op == 1)
                    mine->openWithTimeout(1.0, &error);
                else if (mine && op == 2)
                    mine->close(&error);
                else if (mine && op == 5) {
                    std::lock_guard<std::mutex> guard(keptLock);
                    kept.push_back(std::move(mine));
                } else if (mine) {
                    const SLKData bytes = mine->readWithTimeout(0.01, &error);
                    bytesRead += bytes ? static_cast<int>(bytes->size()) : 0;
                    unexpected += bytes ? std::count_if(bytes->begin(), bytes->end(), [](auto b) { return b != 'x'; })
                                        : error->code() != SLKErrorNotOpened && error->code() != SLKErrorRead;
                }
                if (t == 0 && round == kRounds / 2) {   // port 0 stops streaming, and its far end goes away
                    hungUp = true;
                    streamers[0].join();
                    devices[0].hangUp();
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
