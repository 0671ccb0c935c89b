// The heavy scenarios in tables: each row builds a stack over a simulated device, drives one event
// at it (a close or hang-up under a waiting reader, open/close storms, a write cut short by a signal,
// a flood, a port numbered past FD_SETSIZE) and checks what must hold: what each call reports,
// every byte once and in order, nothing left running or open.
// scripts/run-soak runs this program over and over under ThreadSanitizer for a given time.
#include "TestSupport.h"

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <random>
#include <set>

namespace {

using namespace selko::test;

// Whether the build runs under a sanitizer (SELKO_SANITIZE, passed on by the build).
constexpr bool kSanitized = SELKO_SANITIZED;
// Sanitizers make every byte many times slower, and their allocators keep freed memory.
constexpr std::size_t kFloodBytes = std::size_t(kSanitized ? 8 : 16) << 20;

class Scenarios : public NothingLeftBehind {};

// Runs `hook` once, right after the next wait of a port that found it readable and before the read
// that follows: the moment at which another reader or a discard may take the bytes the wait saw.
std::function<void()> betweenWaitAndRead;
std::atomic<bool> betweenWaitAndReadArmed{false};
void armBetweenWaitAndRead(std::function<void()> hook) {
    betweenWaitAndRead = std::move(hook);
    betweenWaitAndReadArmed = true;
}

} // namespace

// Every wait of a port goes through ppoll.
extern "C" int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask) {
    using Poll = int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
    static const auto next = reinterpret_cast<Poll>(::dlsym(RTLD_NEXT, "ppoll"));
    const int ready = next(fds, count, timeout, mask);
    if (ready > 0 && betweenWaitAndReadArmed.exchange(false))
        betweenWaitAndRead();
    return ready;
}

namespace {

using Wrap = SLKDataChannelRef (*)(SLKDataChannelRef);
SLKDataChannelRef bare(SLKDataChannelRef uart) { return uart; }
SLKDataChannelRef active(SLKDataChannelRef uart) { return createActiveChannel(uart); }
SLKDataChannelRef passive(SLKDataChannelRef uart) { return createPassiveChannel(uart); }

const std::string kCanceled = "read failed with error " + errnoText(ECANCELED, " ");

// A byte stream in which every offset has its own value, so a lost, repeated or reordered block
// shows at its first byte.
std::string pattern(std::size_t from, std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(((from + i) * 0x9E3779B97F4A7C15ull) >> 37);
    return bytes;
}

TEST_F(Scenarios, AWaitingReaderEndsAtOnceWhenTheChannelClosesOrTheDeviceHangsUp) {
    const double forever = SELKO_COMMUNICATION_TIME_FOREVER;
    const struct {
        const char* name;
        Wrap wrap;
        bool hangUp; // the device hangs up; otherwise another thread closes the channel
        double timeout;
        int readCode; // 0: the read ends with null and no error
        std::string readMessage, closeMessage; // what the reader is told; what a close tells afterwards
    } rows[] = {
        {"uart close", bare, false, forever, SLKErrorNotOpened, kClosed, "Device Already Closed"},
        {"passive close", passive, false, 4.0, 0, "", "Device Already Closed"},
        {"active close", active, false, forever, SLKErrorRead, kCanceled, kClosed},
        {"uart hang-up", bare, true, forever, SLKErrorRead, "Device disconnected", "Device Already Closed"},
        {"passive hang-up", passive, true, 5.0, SLKErrorRead, "Device disconnected", "Device Already Closed"},
        {"active hang-up", active, true, forever, SLKErrorRead, kCanceled, "Device disconnected"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int threadsBefore = threadCount();
        SimulatedInstrument device;
        const SLKDataChannelRef channel = row.wrap(openedUART(device));
        // Once waiting in the port's poll (an active channel's reader too, beside its thread).
        auto reader = blockedCall([&] {
            CommErrorRef error = foreignError();
            const SLKData bytes = channel->readWithTimeout(row.timeout, &error);
            return std::make_tuple(bytes == nullptr, error ? error->code() : 0, error ? error->message() : "");
        }, blockedInSelect);
        // A close hands the port back as soon as the reader has left it, well before the quarter
        // second it allows a reader that never leaves.
        const auto start = std::chrono::steady_clock::now();
        if (row.hangUp)
            device.hangUp();
        else
            ASSERT_TRUE(channel->close());
        EXPECT_LT(secondsSince(start), 0.2);
        ASSERT_EQ(reader.wait_for(2s), std::future_status::ready) << "the reader did not notice";
        EXPECT_EQ(reader.get(), std::make_tuple(true, row.readCode, row.readMessage));
        CommErrorRef error;
        EXPECT_FALSE(channel->isOpened() || channel->close(&error));
        EXPECT_TRUE(portDescriptors(device).empty()) << "the port is still held";
        EXPECT_EQ(std::make_pair(error ? error->code() : 0, error ? error->message() : ""),
                  std::make_pair(int(SLKErrorNotOpened), row.closeMessage));
        EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; })) << "a read loop still runs";
    }
}

// No call outlives its timeout or a close. Two readers wait on one port and one byte arrives: one
// reader takes it, the other goes on waiting within its own time instead of blocking in the kernel.
// Closed and reopened at once, the port's first bytes go to the new session alone. Input discarded
// between an active channel's wait and its read never strands its loop in a read. And a close
// wakes its calls instead of waiting out the quarter second it allows a call stuck in the kernel.
TEST_F(Scenarios, NoCallOutlivesItsTimeoutOrAClose) {
    // Bounds with room for a loaded machine, yet far below a call stuck until more bytes come
    // (seconds) or a close that waits out its quarter second for a call stuck in the kernel.
    const double readBound = kSanitized ? 0.8 : 0.5, closeBound = kSanitized ? 0.2 : 0.1;
    const auto timedClose = [](SLKDataChannel& channel) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(channel.close());
        return secondsSince(start);
    };
    const auto timedRead = [](SLKDataChannel& channel, double timeout) {
        const auto start = std::chrono::steady_clock::now();
        CommErrorRef error;
        const SLKData bytes = channel.readWithTimeout(timeout, &error);
        return std::make_tuple(bytes ? text(bytes) : "code " + std::to_string(error ? error->code() : 0),
                               secondsSince(start));
    };
    for (const bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "two readers, closed and reopened at once" : "two timed readers");
        SimulatedInstrument device;
        const SLKDataChannelRef uart = openedUART(device);
        const double timeout = reopen ? SELKO_COMMUNICATION_TIME_FOREVER : 0.3;
        for (int round = 0; round < 5 && !HasFailure(); ++round) {
            auto first = blockedCall([&] { return timedRead(*uart, timeout); }, blockedInSelect);
            auto second = blockedCall([&] { return timedRead(*uart, timeout); }, blockedInSelect);
            device.send("x");
            double closeSeconds = 0;
            if (reopen) {
                // One reader has the byte; the other still waits, until the close wakes it.
                EXPECT_TRUE(eventually([&] { return first.wait_for(0s) == std::future_status::ready ||
                                                    second.wait_for(0s) == std::future_status::ready; }));
                closeSeconds = timedClose(*uart);
                EXPECT_TRUE(uart->openWithTimeout(1.0));
            }
            if (first.wait_for(2s) != std::future_status::ready || second.wait_for(2s) != std::future_status::ready) {
                ADD_FAILURE() << "a reader is stuck";
                device.hangUp(); // frees it, so the test can end
            }
            const auto [firstText, firstSeconds] = first.get();
            const auto [secondText, secondSeconds] = second.get();
            EXPECT_EQ(std::multiset<std::string>({firstText, secondText}),
                      std::multiset<std::string>({"x", reopen ? "code 2" : ""}));
            if (reopen) {
                EXPECT_LT(closeSeconds, closeBound);
                device.send("new session");
                EXPECT_EQ(readAtLeast(*uart, 11), "new session") << "an earlier open's call took bytes";
            } else {
                EXPECT_LT(std::max(firstSeconds, secondSeconds), readBound);
            }
        }
        EXPECT_LT(timedClose(*uart), closeBound);
        EXPECT_TRUE(portDescriptors(device).empty());
    }
    {
        SCOPED_TRACE("input discarded under an active channel");
        SimulatedInstrument device;
        const SLKDataChannelRef channel = active(openedUART(device));
        const std::shared_ptr<SLKSerialPort> port = SLKSerialPortOf(channel);
        ASSERT_NE(port, nullptr);
        // The bytes wake the loop's wait, and the discard takes them before its read.
        for (int round = 0; round < 5 && !HasFailure(); ++round) {
            armBetweenWaitAndRead([&] { EXPECT_TRUE(port->discard(SLKQueue::Input)); });
            device.send("ab");
            EXPECT_TRUE(eventually([] { return !betweenWaitAndReadArmed; }));
            EXPECT_LT(timedClose(*channel), closeBound) << "the loop was stuck in a read";
            EXPECT_TRUE(channel->openWithTimeout(1.0));
        }
        EXPECT_TRUE(channel->close());
        EXPECT_TRUE(portDescriptors(device).empty());
    }
}

// Several threads open and close one channel at random while another reads and writes through
// it and the device echoes: every call succeeds or fails the way the race explains. SELKO_SEED
// (the soak sets a new one each pass) varies the random choices.
TEST_F(Scenarios, OpenCloseStormsFromSeveralThreads) {
    const struct {
        const char* name;
        Wrap wrap;
        int rounds;
        bool silentOpens;   // an open that another thread's close undid at once reports false alone
    } rows[] = {{"uart", bare, 300, false}, {"active", active, 150, true}, {"passive", passive, 150, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimulatedInstrument device;
        device.startResponder(true);   // echoes every write, so the loops read while the storm goes on
        const SLKDataChannelRef channel = row.wrap(createUARTChannel(device.url().c_str(), &kShared));
        std::atomic<int> unexpected{0}, opens{0}, ready{0}, storming{4};
        auto check = [&](bool fine) { unexpected += !fine; };
        std::vector<std::thread> workers;
        const char* soakSeed = std::getenv("SELKO_SEED");
        for (unsigned seed = 1; seed <= 4; ++seed) {
            workers.emplace_back([&, seed] {
                std::minstd_rand random(seed + (soakSeed ? std::atoi(soakSeed) : 0) * 8);
                for (++ready; ready < 4;)
                    std::this_thread::yield();
                for (int i = 0; i < row.rounds; ++i) {
                    CommErrorRef error;
                    if (random() % 2 == 1)
                        check(channel->close(&error) || (error && error->code() == SLKErrorNotOpened));
                    else if (channel->openWithTimeout(1.0, &error))
                        ++opens;
                    else
                        check(error ? error->code() == SLKErrorAlreadyOpened : row.silentOpens);
                }
                --storming;
            });
        }
        workers.emplace_back([&] {
            for (std::minstd_rand random(7); storming > 0;) {
                CommErrorRef error;
                const SLKData bytes = channel->readWithTimeout(random() % 3 * 0.01, &error);
                // Null without a record: a passive channel closed under its reader, or an active
                // read that took bytes from a loop a close and reopen ended (the new loop starts
                // with no record).
                check(bytes || (error ? error->code() == 2 || error->message() == kCanceled : row.wrap != bare));
                error.reset();
                check(channel->write(SLKDataWithString("x"), &error) || (error && error->code() == 2));
            }
        });
        for (std::thread& worker : workers)
            worker.join();
        channel->close();
        EXPECT_EQ(unexpected.load(), 0);
        EXPECT_GT(opens.load(), 0);
    }
}

// A large write to a device that takes nothing is cut short by a signal: the write fails with
// code 4 (whether or not some bytes went out before the cut) and the channel stays open.
TEST_F(Scenarios, AWriteCutShortByASignalFailsWithCode4) {
    const InterruptingSignal handler;
    SimulatedInstrument device;
    const SLKDataChannelRef uart = openedUART(device);
    std::atomic<bool> writing{true};
    const pthread_t writer = ::pthread_self();
    std::thread interrupter([&] {
        for (; writing; std::this_thread::sleep_for(10ms))
            ::pthread_kill(writer, SIGUSR1);
    });
    const std::string payload(1 << 20, 'x');
    CommErrorRef error;
    EXPECT_FALSE(uart->write(SLKDataWithBytes(payload.data(), payload.size()), &error));
    writing = false;
    interrupter.join();
    EXPECT_EQ(error ? error->code() : 0, SLKErrorPortSystem);
    EXPECT_TRUE(uart->isOpened());
}

// The device floods the line while nobody reads: the active channel keeps everything, hands it
// over in order, and gives the memory back once the bytes are released.
TEST_F(Scenarios, AFloodWhileNobodyReadsArrivesWholeAndTheMemoryReturns) {
    const auto resident = [] {
        std::size_t pages = 0, residentPages = 0;
        std::ifstream("/proc/self/statm") >> pages >> residentPages;
        return residentPages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    };
    const std::size_t before = resident();
    {
        SimulatedInstrument device;
        const SLKDataChannelRef channel = active(openedUART(device));
        for (std::size_t offset = 0; offset < kFloodBytes; offset += 1 << 20)
            device.send(pattern(offset, 1 << 20)); // the port holds a few KiB: the loop takes all the rest
        std::mt19937 random(5);
        const double timeouts[] = {SELKO_COMMUNICATION_TIME_NOW, 0.001, 0.05, SELKO_COMMUNICATION_TIME_FOREVER};
        std::size_t received = 0;
        CommErrorRef error;
        while (received < kFloodBytes && !HasFailure()) {
            const SLKData bytes = channel->readWithTimeout(timeouts[random() % 4], &error);
            ASSERT_NE(bytes, nullptr) << (error ? error->message() : "");
            EXPECT_TRUE(text(bytes) == pattern(received, bytes->size())) << "wrong bytes from " << received;
            received += bytes->size();
        }
        EXPECT_EQ(text(channel->readWithTimeout(0.05)), "") << "bytes the device never sent";
    }
    EXPECT_TRUE(kSanitized || resident() < before + kFloodBytes / 4) << "the buffer kept the flood";
}

// Opened while more than 1100 other descriptors are, the port gets a number past FD_SETSIZE, which
// select() cannot watch: it reads and writes as any other.
TEST_F(Scenarios, APortNumberedPastFDSetSizeReadsAndWrites) {
    SimulatedInstrument device;
    device.startResponder(true);
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
    // Descriptors on /dev/null held open under a raised soft limit, all closed (and the limit
    // restored) once the port is open.
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    const rlimit raised{FD_SETSIZE + 200, original.rlim_max};
    std::vector<int> held;
    if (raised.rlim_cur <= original.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        for (int fd = 0; held.size() < 1100 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held.push_back(fd);
    const bool opened = held.size() == 1100 && uart->openWithTimeout(1.0);
    for (const int fd : held)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &original);
    if (held.size() < 1100)
        GTEST_SKIP() << "the descriptor limit cannot be raised to " << FD_SETSIZE + 200;
    ASSERT_TRUE(opened);
    const std::vector<int> fds = portDescriptors(device);
    EXPECT_GE(fds.empty() ? -1 : fds.front(), FD_SETSIZE);
    EXPECT_TRUE(uart->write(SLKDataWithString("far")));
    EXPECT_EQ(readAtLeast(*uart, 3), "far");
    EXPECT_TRUE(uart->close());
}

// A daemon that closed its standard input gets number 0 for its next descriptor, which is a
// descriptor like any other: an event loop serves a port whose readable descriptor is number 0,
// and the readers of a threaded active channel whose signal is number 0 still wait on the port.
TEST_F(Scenarios, DescriptorsNumberedZeroWorkAsAnyOther) {
    SimulatedInstrument device;
    device.startResponder(true);
    const auto loop = createEventLoop();
    const SLKDataChannelRef threadedUART = createUARTChannel(device.url().c_str(), nullptr);
    ASSERT_GE(SLKReadableDescriptor(threadedUART), 0);
    const int standardInput = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::close(0);
    {
        SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
        EXPECT_EQ(SLKReadableDescriptor(uart), 0);
        const SLKDataChannelRef served = createActiveChannelOnLoop(uart, loop);
        EXPECT_EQ(SLKReadableDescriptor(uart), 0) << "the same for the channel's whole life";
        ASSERT_TRUE(served && served->openWithTimeout(1.0) && served->write(SLKDataWithString("served")));
        EXPECT_EQ(readAtLeast(*served, 6), "served");
        EXPECT_TRUE(served->close());
    }
    const SLKDataChannelRef active = createActiveChannel(threadedUART);   // its readers' signal is number 0
    EXPECT_TRUE(active->openWithTimeout(1.0));
    auto reading = blockedCall([&] { return text(active->readWithTimeout(5.0)); }, blockedInSelect);
    device.send("hand");
    EXPECT_EQ(reading.get(), "hand");
    EXPECT_TRUE(active->close());
    ::dup2(standardInput, 0), ::close(standardInput);
}

} // namespace
