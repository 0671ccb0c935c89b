// The system pushes back: a large write to a device that reads slowly, signals interrupting the
// reading thread's system calls, and a process out of descriptors.
#include "FaultSupport.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <future>

namespace {

using namespace std::chrono_literals;
using selko::test::VirtualDevice;
using selko::test::Watchdog;

// A handler that does nothing, installed without SA_RESTART, so that every signal makes the
// interrupted select or read return EINTR.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(SIGUSR1, &action, &_previous);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &_previous, nullptr); }

private:
    struct sigaction _previous {};
};

// Writes 1 MiB in one call to a device that takes 4 KiB every 2 ms: far slower than the write,
// whose terminal buffer holds only a few KiB, so the one blocking write call has to wait for the
// reader many times over. With `interruptWriter`, the writing thread is signalled meanwhile.
// Whatever the system does, the channel's report must match what reached the device.
void writeToSlowDevice(bool interruptWriter) {
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
    ASSERT_TRUE(uart->openWithTimeout(1.0, &error));

    constexpr std::size_t kSize = 1024 * 1024;
    const std::string payload = selko::test::patternBytes(0, kSize);
    std::atomic<bool> writeDone{false};
    std::string received;
    std::thread slowReader([&] {
        while (received.size() < kSize) {
            const std::string piece = device.receive(4096, 200ms);
            received += piece;
            if (piece.empty() && writeDone)
                break;
            std::this_thread::sleep_for(2ms);
        }
    });
    const pthread_t writer = ::pthread_self();
    std::thread signaller([&] {
        while (interruptWriter && !writeDone) {
            std::this_thread::sleep_for(20ms);
            ::pthread_kill(writer, SIGUSR1);
        }
    });
    CommErrorRef writeError;
    const auto start = std::chrono::steady_clock::now();
    const bool written = uart->write(selko::test::bytesOf(payload), &writeError);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writeDone = true;
    signaller.join();
    slowReader.join();
    std::printf("[ figure   ] 1 MiB write%s %s after %.2f s (%s); the device received %zu bytes\n",
                interruptWriter ? " under signals" : "", written ? "returned true" : "failed", seconds,
                writeError ? writeError->message().c_str() : "no error", received.size());

    if (written) {
        EXPECT_EQ(writeError, nullptr);
        EXPECT_EQ(received.size(), kSize);
    } else {
        ASSERT_NE(writeError, nullptr);
        EXPECT_EQ(writeError->code(), SLKErrorPortSystem);
        EXPECT_EQ(writeError->message().rfind("Failed to write message with error = ", 0), 0u) << writeError->message();
        EXPECT_LT(received.size(), kSize);
    }
    EXPECT_EQ(received, payload.substr(0, received.size())) << "the device got bytes out of order";
    EXPECT_TRUE(uart->isOpened()) << "a failed write leaves the channel open";
    EXPECT_TRUE(uart->close(&error));
}

TEST(SlowDevice, OneMegabyteWriteIsTakenWholeOrReportedAsCode4) {
    Watchdog watchdog("1 MiB write to a slow reader", 120s);
    writeToSlowDevice(false);
}

TEST(SlowDevice, OneMegabyteWriteInterruptedBySignalsReportsWhatTheDeviceGot) {
    Watchdog watchdog("1 MiB write to a slow reader under signals", 120s);
    InterruptingSignal handler;
    writeToSlowDevice(true);
}

// Sends `total` bytes in small pieces while another thread keeps signalling `target`.
void sendWhileSignalling(VirtualDevice& device, std::size_t total, const std::function<void()>& signal,
                         std::atomic<long>& signalsSent) {
    std::atomic<bool> sending{true};
    std::thread signaller([&] {
        while (sending) {
            signal();
            ++signalsSent;
            std::this_thread::sleep_for(200us);
        }
    });
    for (std::size_t offset = 0; offset < total; offset += 97) {
        device.send(selko::test::patternBytes(offset, std::min<std::size_t>(97, total - offset)));
        std::this_thread::sleep_for(300us);
    }
    std::this_thread::sleep_for(50ms);
    sending = false;
    signaller.join();
}

TEST(Signals, InterruptedReadsOfTheUARTChannelAreEmptyNeverFailuresAndLoseNoBytes) {
    Watchdog watchdog("signals at the UART reader", 120s);
    InterruptingSignal handler;
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
    ASSERT_TRUE(uart->openWithTimeout(1.0, &error));

    constexpr std::size_t kTotal = 64 * 1024;
    std::promise<pthread_t> readerThread;
    std::atomic<long> emptyReads{0};
    auto reader = std::async(std::launch::async, [&] {
        readerThread.set_value(::pthread_self());
        std::string got;
        std::string failure;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (got.size() < kTotal && std::chrono::steady_clock::now() < deadline) {
            CommErrorRef readError;
            const SLKData bytes = uart->readWithTimeout(0.2, &readError);
            if (!bytes) {
                failure = readError ? readError->message() : "null without an error";
                break;
            }
            if (bytes->empty())
                ++emptyReads;
            got += selko::test::textOf(bytes);
        }
        return std::make_pair(got, failure);
    });
    const pthread_t target = readerThread.get_future().get();
    std::atomic<long> signals{0};
    sendWhileSignalling(device, kTotal, [target] { ::pthread_kill(target, SIGUSR1); }, signals);
    const auto [got, failure] = reader.get();
    std::printf("[ figure   ] %ld signals at the reader, %ld empty reads\n", signals.load(), emptyReads.load());
    EXPECT_EQ(failure, "") << "an interrupted wait or read must not fail";
    ASSERT_EQ(got.size(), kTotal);
    EXPECT_EQ(got, selko::test::patternBytes(0, kTotal));
    EXPECT_TRUE(uart->isOpened()) << "an interrupted read must not close the channel";
    EXPECT_TRUE(uart->close(&error));
}

TEST(Signals, SignalsAtEveryThreadOfAnActiveStackLoseNoBytes) {
    Watchdog watchdog("signals at an active stack", 120s);
    InterruptingSignal handler;
    VirtualDevice device;
    CommErrorRef error;
    const SLKDataChannelRef active = createActiveChannel(createUARTChannel(device.url().c_str(), nullptr), &error);
    ASSERT_TRUE(active->openWithTimeout(1.0, &error));

    // Signals to the process land on whichever thread does not block them: the read loop among
    // them.
    constexpr std::size_t kTotal = 64 * 1024;
    std::atomic<long> signals{0};
    std::thread device_side([&] { sendWhileSignalling(device, kTotal, [] { ::kill(::getpid(), SIGUSR1); }, signals); });
    std::string got;
    std::string failure;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (got.size() < kTotal && std::chrono::steady_clock::now() < deadline) {
        CommErrorRef readError;
        const SLKData bytes = active->readWithTimeout(0.2, &readError);
        if (!bytes) {
            failure = readError ? readError->message() : "null without an error";
            break;
        }
        got += selko::test::textOf(bytes);
    }
    device_side.join();
    std::printf("[ figure   ] %ld signals at the process during an active read\n", signals.load());
    EXPECT_EQ(failure, "");
    ASSERT_EQ(got.size(), kTotal);
    EXPECT_EQ(got, selko::test::patternBytes(0, kTotal));
    EXPECT_TRUE(active->isOpened()) << "an interrupted loop read must not stop the loop";
    EXPECT_TRUE(active->close(&error));
}

TEST(DescriptorExhaustion, OpenFailsWithTooManyOpenFilesAndWorksOnceDescriptorsAreBack) {
    Watchdog watchdog("descriptor exhaustion", 60s);
    VirtualDevice device;
    const SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr);
    const SLKDataChannelRef active = createActiveChannel(uart);

    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    // Fill every free number below a lowered limit, so that the next open has none.
    rlimit lowered = original;
    lowered.rlim_cur = static_cast<rlim_t>(selko::test::openDescriptorCount() + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
        fillers.push_back(fd);
    const int exhaustion = errno;

    CommErrorRef uartError;
    const bool uartOpened = uart->openWithTimeout(1.0, &uartError);
    CommErrorRef activeError;
    const bool activeOpened = active->openWithTimeout(1.0, &activeError);

    for (int fd : fillers)
        ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);

    ASSERT_EQ(exhaustion, EMFILE);
    EXPECT_FALSE(uartOpened);
    ASSERT_NE(uartError, nullptr);
    EXPECT_EQ(uartError->code(), SLKErrorPortSystem);
    EXPECT_EQ(uartError->message(), "Error opening serial port " + device.path() + " - Too many open files(24).");
    EXPECT_FALSE(uart->isOpened());
    EXPECT_FALSE(activeOpened);
    ASSERT_NE(activeError, nullptr);
    EXPECT_EQ(activeError->message(), uartError->message());
    EXPECT_FALSE(active->isOpened());

    // With descriptors available again the same stack opens and works.
    CommErrorRef error;
    ASSERT_TRUE(active->openWithTimeout(1.0, &error)) << error->message();
    device.send("back");
    std::string got;
    EXPECT_TRUE(selko::test::eventually([&] {
        got += selko::test::textOf(active->readWithTimeout(0.05));
        return got == "back";
    })) << got;
    EXPECT_TRUE(active->close(&error));
}

} // namespace
