// Many ports served by one event loop, and the readable descriptors it waits on: the UART,
// network and active channels' own, stable across close and reopen.
#include "TestSupport.h"

#include <poll.h>

#include <random>

using namespace selko::test;

namespace {

// Whether `fd` polls readable right now (no wait: deterministic).
bool readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) == 1;
}
std::string readNow(SLKDataChannel& channel) { return text(channel.readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)); }

// A port (uart://, tcp://, rfc2217:// to a simulated device), bare or under an active channel
// read by a thread or by an event loop.
enum Port { UART, TCP, RFC2217 }; enum Top { Bare, Threaded, OnLoop };
class ReadableDescriptor : public NothingLeftBehind, public ::testing::WithParamInterface<std::tuple<Port, Top>> {};

// Readable exactly while a read with SELKO_COMMUNICATION_TIME_NOW would find bytes (or, for a
// port, the hang-up it reports); quiet while closed; the same number across close and reopen.
TEST_P(ReadableDescriptor, ReadableWhileBytesWaitQuietWhileClosedStableForLife) {
    const auto [kind, top] = GetParam();
    SimulatedInstrument devices[3];   // by Port
    Ser2NetServer server{devices[TCP].path(), devices[RFC2217].path()};
    if (kind != UART && !server.started())
        GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    const std::string url = kind == UART ? devices[kind].url() : kind == TCP ? server.tcpURL() : server.rfc2217URL();
    const auto loop = createEventLoop();
    const SLKDataChannelRef below = createChannelForURL(url.c_str(), nullptr);
    CommErrorRef error;
    ASSERT_TRUE(below->openWithTimeout(5.0, &error)) << error->message();
    const SLKDataChannelRef channel =
        top == Bare ? below : top == Threaded ? createActiveChannel(below) : createActiveChannelOnLoop(below, loop);
    const int fd = SLKReadableDescriptor(channel);
    // An rfc2217:// server may send Telnet notices of its own at any time: they make the socket
    // readable for a moment without device bytes, so silence is checked on the other ports only.
    EXPECT_TRUE(kind == RFC2217 || !readable(fd));
    for (const std::string bytes : {"first", "second"}) {
        // A raw TCP server opens the device once the connection is up: a byte written through
        // shows that it listens.
        ASSERT_TRUE(kind != TCP || (channel->write(SLKDataWithString("!")) && devices[kind].receive(1, 5s) == "!"));
        devices[kind].send(bytes);
        ASSERT_TRUE(eventually([&] { return readable(fd); })) << bytes;
        EXPECT_EQ(readAtLeast(*channel, bytes.size()), bytes);
        EXPECT_TRUE(kind == RFC2217 || !readable(fd)) << bytes;
        ASSERT_TRUE(channel->close());
        EXPECT_FALSE(readable(fd));
        ASSERT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();
        EXPECT_EQ(SLKReadableDescriptor(channel), fd);
    }
    if (kind == RFC2217) {
        // Bytes that a line-control call decoded while it waited for its answer: the socket is
        // drained, yet a read would find them. Taken, they are news no more.
        devices[kind].send("held");
        ASSERT_TRUE(eventually([&] { return readable(fd); }));
        EXPECT_TRUE(top != Bare || (SLKSerialPortOf(channel)->setRTS(true) && readable(fd)));
        EXPECT_EQ(readAtLeast(*channel, 4), "held");
        EXPECT_TRUE(eventually([&] { return !readable(fd) || (readNow(*channel), false); }));
    }
    if (kind == UART) {
        // A hang-up is news: for a port until a read reported it, for an active channel until its
        // close did.
        devices[kind].hangUp();
        ASSERT_TRUE(eventually([&] { return readable(fd); }));
        EXPECT_EQ(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error), nullptr);
        EXPECT_EQ(readable(fd), top != Bare);
        EXPECT_FALSE(top != Bare && channel->close(&error));
        EXPECT_EQ(error->message(), "Device disconnected");
    }
    channel->close();
}

INSTANTIATE_TEST_SUITE_P(Stacks, ReadableDescriptor,
                         ::testing::Combine(::testing::Values(UART, TCP, RFC2217), ::testing::Values(Bare, Threaded, OnLoop)));

TEST(ReadableDescriptorRefusals, NoLayerWithADescriptorAndFactoryArguments) {
    const std::string descriptorSource = "Data Channel/SLKReadableDescriptor.cpp:",
                      factorySource = "Data Channel Decorator/SLKLoopServedChannel.cpp:";
    const SLKDataChannelRef passive = createPassiveChannel(std::make_shared<ScriptedChannel>(true));
    const auto loop = createEventLoop();
    CommErrorRef error;   // each refusal below says something else than the one before it
    EXPECT_EQ(SLKReadableDescriptor(nullptr, &error), -1);
    expectError(error, SLKErrorInvalidArgument, "channel cannot be nil", descriptorSource);
    EXPECT_EQ(createActiveChannelOnLoop(passive, loop, &error), nullptr);
    expectError(error, SLKErrorUnsupported, "No layer of the channel has a descriptor to wait on", descriptorSource);
    EXPECT_EQ(createActiveChannelOnLoop(nullptr, loop, &error), nullptr);
    expectError(error, SLKErrorInvalidArgument, "channel cannot be nil", factorySource);
    EXPECT_EQ(createActiveChannelOnLoop(passive, nullptr, &error), nullptr);
    expectError(error, SLKErrorInvalidArgument, "loop cannot be nil", factorySource);
}

class EventLoop : public NothingLeftBehind {};

// Four ports on one loop, each under a layer that hands out one held-back line per read (the loop
// finds the port's descriptor below it, and serves again while lines wait above a quiet port): one
// port hangs up, the others get every line. Then the loop's last holder, a tap below the last
// port's layers, lets go during one of the loop's own turns: the others' reading stops as if the
// device were lost (a waiting reader ends, the port is closed, close says why, a reopen is refused).
TEST_F(EventLoop, OnePortLostOthersServedUntilTheLoopGoesDuringItsOwnTurn) {
    constexpr int kPorts = 4, kLast = kPorts - 1;
    SimulatedInstrument devices[kPorts];
    SLKDataChannelRef uarts[kPorts], channels[kPorts];
    auto loop = createEventLoop();
    const auto dropLoop = [&](SLKDirection, const SLKBytes& bytes) {
        if (!bytes.empty())
            loop.reset();
    };
    for (int i = 0; i < kPorts; ++i) {
        const std::vector<SLKDataTransformerRef> lines{createAggregatingTransformer(SLKDataWithString("\n"), false)};
        uarts[i] = openedUART(devices[i]);
        const SLKDataChannelRef below = i == kLast ? createTapChannel(uarts[i], dropLoop) : uarts[i];
        channels[i] = createActiveChannelOnLoop(createChannelTransformer(below, &lines, nullptr), loop);
    }
    devices[0].hangUp();
    ASSERT_TRUE(eventually([&] { return !channels[0]->isOpened(); }));
    const auto linesOf = [](int i) { return std::to_string(i) + ":a\nb\nc\nd\ne\nf\n"; };   // more than one turn's worth
    for (int i = 1; i < kLast; ++i)
        devices[i].send(linesOf(i));
    for (int i = 1; i < kLast; ++i)
        EXPECT_EQ(readAtLeast(*channels[i], linesOf(i).size()), linesOf(i));
    CommErrorRef error, waitError;
    auto waiting = blockedCall([&] { return channels[1]->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &waitError); });
    devices[kLast].send("bye");
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    expectError(waitError, SLKErrorRead, "read failed with error " + errnoText(ECANCELED, " "), kActiveSource);
    for (int i = 1; i < kPorts; ++i) {
        // The loop loses the channels one after another once its turn is over; a loss is news
        // until close reports it.
        EXPECT_TRUE(eventually([&] { return !channels[i]->isOpened() && !uarts[i]->isOpened(); })) << i;
        EXPECT_TRUE(eventually([&] { return readable(SLKReadableDescriptor(channels[i])); })) << i;
        EXPECT_FALSE(channels[i]->close(&error));
        expectError(error, SLKErrorNotOpened, "The event loop was destroyed", "Event Loop/SLKEventLoopCore.cpp:");
        EXPECT_FALSE(channels[i]->openWithTimeout(1.0, &error) || uarts[i]->isOpened());
        expectError(error, SLKErrorPortSystem, "The event loop was destroyed", "Event Loop/SLKEventLoopCore.cpp:");
    }
}

// Threads attach channels, read, close, reopen and let go of them at random while the ports
// stream and one hangs up; the loop goes at the end with channels attached. Also run under
// ThreadSanitizer. Every read hands out stream bytes or fails the way the race explains.
TEST_F(EventLoop, AttachCloseReopenReleaseFromSeveralThreadsWhilePortsStreamAndHangUp) {
    constexpr int kPorts = 4, kThreads = 3, kRounds = SELKO_SANITIZED ? 60 : 250;
    SimulatedInstrument devices[kPorts];
    SLKDataChannelRef uarts[kPorts];
    for (int i = 0; i < kPorts; ++i)
        uarts[i] = createUARTChannel(devices[i].url().c_str(), &kShared);
    // Held open, port 0's pseudo-terminal keeps its number after the hang-up: a reopen by path must
    // not reach a pseudo-terminal made meanwhile by another program.
    const int holdPort0 = ::open(devices[0].path().c_str(), O_RDONLY | O_NOCTTY);
    auto loop = createEventLoop();
    std::vector<SLKDataChannelRef> kept[kThreads];   // by thread, attached to the end
    std::atomic<int> unexpected{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            std::mt19937 random(1234u + static_cast<unsigned>(t));
            SLKDataChannelRef mine;
            for (int round = 0; round < kRounds; ++round) {
                // Each port is streamed by one thread, only what fits (an unread port must not block
                // it); port 0's far end goes away half-way, and a hung-up device has no descriptor.
                for (int i = t; i < kPorts; i += kThreads)
                    if (pollfd room{devices[i].masterFd(), POLLOUT, 0}; ::poll(&room, 1, 0) == 1)
                        (void)!::write(room.fd, "xxxxxxxxxxxxxxxx", 16);
                if (t == 0 && round == kRounds / 2)
                    devices[0].hangUp();
                CommErrorRef error;
                switch (mine ? random() % 6 : 0) {
                case 0: mine = createActiveChannelOnLoop(uarts[random() % kPorts], loop); break;
                case 1: mine->openWithTimeout(1.0, &error); break;
                case 2: mine->close(&error); break;
                case 3: kept[t].push_back(std::move(mine)); break;
                default:
                    const SLKData bytes = mine->readWithTimeout(0.01, &error);
                    unexpected += bytes ? std::count_if(bytes->begin(), bytes->end(), [](auto b) { return b != 'x'; })
                                        : error->code() != SLKErrorNotOpened && error->code() != SLKErrorRead;
                }
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    ::close(holdPort0);
    loop.reset();
    EXPECT_EQ(unexpected, 0);
    for (const auto& channels : kept)
        for (const SLKDataChannelRef& channel : channels)
            EXPECT_FALSE(channel->isOpened());
}

} // namespace
