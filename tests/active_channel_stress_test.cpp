// The active channel under load, over a UART channel on a simulated device: concurrent use from
// many threads, rapid open/close cycles while the device streams, and a long byte-exact stream.
// Meant to run clean under ThreadSanitizer too.
#include <SelkoCommunication.h>

#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <random>
#include <thread>
#include <vector>

using namespace selko::test;

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__)
#define SELKO_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SELKO_UNDER_TSAN 1
#endif
#endif

// The byte-exact stream: 64 MiB, scaled down to 4 MiB under ThreadSanitizer, whose
// instrumentation makes every byte handled by the loop many times slower.
#ifdef SELKO_UNDER_TSAN
constexpr std::size_t kStreamBytes = std::size_t(4) << 20;
#else
constexpr std::size_t kStreamBytes = std::size_t(64) << 20;
#endif

// Plays the device sending `bytes` (over and over with `repeat`) from its own thread. The master
// side is made non-blocking so the thread can always be stopped, even while the host is not
// reading and the line is full.
class Streamer {
public:
    Streamer(const VirtualDevice& device, const std::vector<unsigned char>& bytes, bool repeat)
        : _fd(device.masterFd()), _bytes(bytes), _repeat(repeat) {
        ::fcntl(_fd, F_SETFL, ::fcntl(_fd, F_GETFL) | O_NONBLOCK);
        _thread = std::thread([this] { run(); });
    }
    ~Streamer() {
        _stop = true;
        _thread.join();
    }

private:
    void run() {
        for (std::size_t offset = 0; !_stop && (_repeat || offset < _bytes.size());) {
            offset %= _bytes.size();
            pollfd writable{_fd, POLLOUT, 0};
            const ssize_t written = ::poll(&writable, 1, 5) <= 0 ? 0
                                    : ::write(_fd, _bytes.data() + offset, std::min<std::size_t>(16384, _bytes.size() - offset));
            offset += written > 0 ? static_cast<std::size_t>(written) : 0;
        }
    }

    const int _fd;
    const std::vector<unsigned char>& _bytes;
    const bool _repeat;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

// Every loop thread ends and every port descriptor closes by the end of each test.
class ActiveChannelStress : public NothingLeftBehind {};

// Closes the channel however the test ends, so its loop ends too.
struct ClosedAtExit {
    SLKDataChannelRef channel;
    ~ClosedAtExit() { channel->close(); }
};

// What a failure may look like while other threads open and close the channel under us.
bool expectedFailure(const CommErrorRef& error, std::initializer_list<int> codes) {
    // No record: a read whose loop stopped without a recorded error.
    return !error || std::find(codes.begin(), codes.end(), error->code()) != codes.end();
}

TEST_F(ActiveChannelStress, ManyThreadsUseOneChannel) {
    VirtualDevice device;
    device.startResponder(true, [](const std::string&) { return std::string("OK\n"); });
    SLKDataChannelRef active = createActiveChannel(openedUART(device));
    const ClosedAtExit closer{active};
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    std::atomic<long> bytesRead{0}, writes{0}, opens{0}, unexpected{0};

    std::vector<std::thread> threads;
    for (int reader = 0; reader < 2; ++reader) {
        threads.emplace_back([&, reader] {
            std::mt19937 random(7 + reader);
            const double timeouts[] = {SELKO_COMMUNICATION_TIME_NOW, 0.005, 0.02, 0.05};
            while (Clock::now() < deadline) {
                CommErrorRef error;
                const SLKData bytes = active->readWithTimeout(timeouts[random() % 4], &error);
                if (bytes) {
                    bytesRead += static_cast<long>(bytes->size());
                    continue;
                }
                unexpected += !expectedFailure(error, {2, 5});
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    threads.emplace_back([&] {
        while (Clock::now() < deadline) {
            CommErrorRef error;
            const bool written = active->write(SLKDataWithString("PING\n"), &error);
            writes += written;
            unexpected += !written && !expectedFailure(error, {2, 4});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    threads.emplace_back([&] {
        std::mt19937 random(11);
        while (Clock::now() < deadline) {
            CommErrorRef error;
            unexpected += !active->close(&error) && !expectedFailure(error, {2});
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
            const bool opened = active->openWithTimeout(1.0, &error);
            opens += opened;
            unexpected += !opened && !expectedFailure(error, {1});
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        }
    });
    threads.emplace_back([&] {
        while (Clock::now() < deadline) {
            (void)active->isOpened();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(opens.load(), 0);
    EXPECT_GT(writes.load(), 0);
    EXPECT_GT(bytesRead.load(), 0);
    device.stopResponder();
}

TEST_F(ActiveChannelStress, ThousandOpenCloseCyclesWhileTheDeviceStreams) {
    VirtualDevice device;
    const std::vector<unsigned char> pattern(4096, 0x5a);
    Streamer streamer(device, pattern, true);
    SLKDataChannelRef active = createActiveChannel(openedUART(device));
    ASSERT_TRUE(active->close());
    const auto start = Clock::now();
    int failures = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        CommErrorRef error;
        if (!active->openWithTimeout(1.0, &error) || !active->close(&error)) {
            ADD_FAILURE() << "cycle " << cycle << ": " << (error ? error->message() : "no error");
            if (++failures > 5)
                break;
        }
    }
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 30.0);
}

TEST_F(ActiveChannelStress, LongStreamArrivesByteExact) {
    std::vector<unsigned char> expected(kStreamBytes);
    std::mt19937 random(20240611);
    for (auto& byte : expected)
        byte = static_cast<unsigned char>(random());

    VirtualDevice device;
    SLKDataChannelRef active = createActiveChannel(openedUART(device));
    const ClosedAtExit closer{active};
    Streamer streamer(device, expected, false);
    const double timeouts[] = {SELKO_COMMUNICATION_TIME_NOW, 0.001, 0.01, 0.05, SELKO_COMMUNICATION_TIME_FOREVER};
    const auto deadline = Clock::now() + std::chrono::seconds(50);
    std::size_t received = 0;
    while (received < expected.size() && Clock::now() < deadline) {
        CommErrorRef error;
        const SLKData bytes = active->readWithTimeout(timeouts[random() % 5], &error);
        ASSERT_NE(bytes, nullptr) << (error ? error->message() : "no error");
        ASSERT_LE(received + bytes->size(), expected.size()) << "more bytes than were sent";
        const auto mismatch = std::mismatch(bytes->begin(), bytes->end(), expected.begin() + received);
        ASSERT_EQ(mismatch.first, bytes->end()) << "at byte " << received + (mismatch.first - bytes->begin());
        received += bytes->size();
    }
    EXPECT_EQ(received, expected.size());
}

} // namespace
