// Timed descriptor reads: sizing from FIONREAD, the timeout values, the retry rule and failures.
#include <SelkoCommunication.h>

#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using selko::test::eventually;
using selko::test::VirtualDevice;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether thread `tid` of this process is blocked in select (or pselect6, which glibc may use).
bool blockedInSelect(pid_t tid) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    syscall >> number;
    return number == SYS_select || number == SYS_pselect6;
}

// A pipe whose read end is the descriptor under test; large enough to hold 70000 bytes.
struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        readEnd = ends[0];
        writeEnd = ends[1];
        if (::fcntl(writeEnd, F_SETPIPE_SZ, 1 << 18) < 70000)  // else writing 70000 bytes would block
            throw std::runtime_error("F_SETPIPE_SZ");
    }
    ~Pipe() {
        ::close(readEnd);
        if (writeEnd >= 0)
            ::close(writeEnd);
    }
    void write(const std::string& bytes) const { ASSERT_EQ(::write(writeEnd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    int waiting() const {
        int count = 0;
        ::ioctl(readEnd, FIONREAD, &count);
        return count;
    }
};

std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

void expectReadFailure(const CommErrorRef& error, int number) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), SLKErrorRead);
    EXPECT_EQ(error->message(), "Select failed with error " + std::string(std::strerror(number)) + " (" +
                                    std::to_string(number) + ")");
    EXPECT_EQ(error->location().rfind("Data Channel/DescriptorOperation.cpp:", 0), 0u) << error->location();
}

// Interrupts a thread with SIGUSR1, whose handler is installed without SA_RESTART.
class Interrupter {
public:
    Interrupter() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(SIGUSR1, &action, &_previous);
    }
    ~Interrupter() { ::sigaction(SIGUSR1, &_previous, nullptr); }

    // Signals `thread` every 20 ms until `done` holds (at most 5 s); whether it ended.
    static bool interruptUntil(pthread_t thread, const std::function<bool()>& done) {
        return eventually([&] {
            if (done())
                return true;
            ::pthread_kill(thread, SIGUSR1);
            std::this_thread::sleep_for(20ms);
            return done();
        });
    }

private:
    struct sigaction _previous {};
};

} // namespace

TEST(DescriptorReadSizing, ReadsExactlyWhatIsWaitingInOneCall) {
    VirtualDevice device;
    device.send("0123456789");
    ASSERT_TRUE(eventually([&] {
        int count = 0;
        return ::ioctl(device.slaveFd(), FIONREAD, &count) == 0 && count == 10;
    }));
    EXPECT_EQ(text(selko_communication_read(device.slaveFd(), SELKO_COMMUNICATION_TIME_NOW)), "0123456789");

    // More than the fallback size, waiting before the call: all of it in one read.
    Pipe pipe;
    const std::string big(70000, 'x');
    pipe.write(big);
    ASSERT_EQ(pipe.waiting(), 70000);
    const SLKData all = selko_communication_read(pipe.readEnd, SELKO_COMMUNICATION_TIME_NOW);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->size(), 70000u);
    EXPECT_EQ(pipe.waiting(), 0);
}

TEST(DescriptorReadSizing, NothingWaitingReadsAtMostTheFallbackSize) {
    Pipe pipe;
    std::atomic<pid_t> readerThread{0};
    auto reading = std::async(std::launch::async, [&] {
        readerThread = static_cast<pid_t>(::syscall(SYS_gettid));
        return selko_communication_read(pipe.readEnd, 5.0);
    });
    // The read must have sized itself with nothing waiting and be in its wait.
    ASSERT_TRUE(eventually([&] { return readerThread != 0 && blockedInSelect(readerThread); }));
    pipe.write(std::string(70000, 'y'));
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    const SLKData first = reading.get();
    ASSERT_NE(first, nullptr);
    // The pipe has room for all of it, so the write fills it under the pipe's lock in one go and
    // the read that follows the wake-up finds all 70000 bytes: it takes exactly the fallback size.
    EXPECT_EQ(first->size(), DEFAULT_BUFFER_SIZE);
    // The rest stays in the descriptor for the next call.
    const SLKData rest = selko_communication_read(pipe.readEnd, SELKO_COMMUNICATION_TIME_NOW);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(first->size() + rest->size(), 70000u);
}

TEST(DescriptorReadTimeouts, NowPositiveAndForever) {
    VirtualDevice device;
    const int fd = device.slaveFd();
    const CommErrorRef earlier = std::make_shared<const CommError>("earlier", 9, CommError::InfoMap{});
    CommErrorRef error = earlier;

    // NOW with nothing waiting: empty at once.
    auto start = Clock::now();
    const SLKData none = selko_communication_read(fd, SELKO_COMMUNICATION_TIME_NOW, &error);
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(none->empty());
    EXPECT_LT(secondsSince(start), 1.0);

    // Positive times wait their whole length, fractions included (0.3 is 0 s + 300000 us,
    // 1.25 is 1 s + 250000 us), and a time-out is not a failure.
    for (const double timeout : {0.3, 1.25}) {
        start = Clock::now();
        const SLKData timedOut = selko_communication_read(fd, timeout, &error);
        const double waited = secondsSince(start);
        ASSERT_NE(timedOut, nullptr);
        EXPECT_TRUE(timedOut->empty());
        EXPECT_GE(waited, timeout - 0.02) << timeout;
        EXPECT_LT(waited, timeout + 3.0) << timeout;
    }
    EXPECT_EQ(error, earlier);

    // A positive time ends early when bytes come.
    start = Clock::now();
    auto timed = std::async(std::launch::async, [&] { return selko_communication_read(fd, 30.0); });
    device.send("hello");
    ASSERT_EQ(timed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(text(timed.get()), "hello");

    // FOREVER, and a time too long for a timeval, wait until bytes come.
    for (const double timeout : {SELKO_COMMUNICATION_TIME_FOREVER, 1e12, HUGE_VAL}) {
        std::atomic<bool> returned{false};
        auto forever = std::async(std::launch::async, [&] {
            SLKData data = selko_communication_read(fd, timeout, &error);
            returned = true;
            return data;
        });
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(returned.load()) << timeout;
        device.send("late");
        ASSERT_EQ(forever.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(text(forever.get()), "late") << timeout;
    }
    EXPECT_EQ(error, earlier);
}

TEST(DescriptorReadTimeouts, HangUpGivesEmptyBytes) {
    VirtualDevice device;
    const int host = ::open(device.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(host, 0);
    auto reading = std::async(std::launch::async, [&] {
        CommErrorRef error;
        SLKData data = selko_communication_read(host, SELKO_COMMUNICATION_TIME_FOREVER, &error);
        return std::make_pair(data, error);
    });
    std::this_thread::sleep_for(50ms);
    device.hangUp();
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    const auto [data, error] = reading.get();
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->empty());
    EXPECT_EQ(error, nullptr);
    ::close(host);
}

TEST(DescriptorReadRetryRule, InterruptedWaitOrReadIsEmptyNotAFailure) {
    Interrupter interrupter;
    Pipe pipe;

    std::atomic<bool> done{false};
    SLKData data;
    CommErrorRef error;
    std::thread reader([&] {
        data = selko_communication_read(pipe.readEnd, 60.0, &error);
        done = true;
    });
    EXPECT_TRUE(Interrupter::interruptUntil(reader.native_handle(), [&] { return done.load(); }));
    if (!done)
        pipe.write("x");  // frees the reader so the test ends
    reader.join();
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->empty());
    EXPECT_EQ(error, nullptr);

    // The building blocks: an interrupted select counts as nothing ready, an interrupted read as 0 bytes.
    std::atomic<std::int64_t> selected{-7};
    std::thread selecting([&] {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(pipe.readEnd, &set);
        selected = select_with_retry(pipe.readEnd + 1, &set, nullptr);
    });
    EXPECT_TRUE(Interrupter::interruptUntil(selecting.native_handle(), [&] { return selected.load() != -7; }));
    if (selected == -7)
        pipe.write("x");
    selecting.join();
    EXPECT_EQ(selected.load(), 0);

    std::atomic<std::int64_t> got{-7};
    std::thread blockingRead([&] {
        char buffer[8];
        got = read_with_retry(pipe.readEnd, buffer, sizeof buffer);
    });
    EXPECT_TRUE(Interrupter::interruptUntil(blockingRead.native_handle(), [&] { return got.load() != -7; }));
    if (got == -7)
        pipe.write("x");
    blockingRead.join();
    EXPECT_EQ(got.load(), 0);
}

TEST(DescriptorReadRetryRule, BuildingBlocksPassResultsAndFailuresThrough) {
    Pipe pipe;
    pipe.write("abc");
    fd_set set;
    FD_ZERO(&set);
    FD_SET(pipe.readEnd, &set);
    struct timeval limit {1, 0};
    EXPECT_EQ(select_with_retry(pipe.readEnd + 1, &set, &limit), 1);
    char buffer[8] = {};
    EXPECT_EQ(read_with_retry(pipe.readEnd, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    // EAGAIN is retried: a non-blocking read of an empty pipe keeps trying until bytes come.
    ::fcntl(pipe.readEnd, F_SETFL, O_NONBLOCK);
    std::thread late([&] {
        std::this_thread::sleep_for(50ms);
        pipe.write("z");
    });
    EXPECT_EQ(read_with_retry(pipe.readEnd, buffer, sizeof buffer), 1);
    late.join();

    const int closed = ::dup(pipe.readEnd);
    ::close(closed);
    errno = 0;
    EXPECT_LT(read_with_retry(closed, buffer, sizeof buffer), 0);
    EXPECT_EQ(errno, EBADF);
}

TEST(DescriptorReadFailures, InvalidTimesAndDescriptorsAreRefused) {
    Pipe pipe;
    for (const double timeout : {-2.0, -0.5, -1e300, std::nan("")}) {
        CommErrorRef error;
        EXPECT_EQ(selko_communication_read(pipe.readEnd, timeout, &error), nullptr) << timeout;
        expectReadFailure(error, EINVAL);
    }
    for (const int fd : {-1, FD_SETSIZE, FD_SETSIZE + 100}) {
        CommErrorRef error;
        EXPECT_EQ(selko_communication_read(fd, 0.1, &error), nullptr) << fd;
        expectReadFailure(error, EINVAL);
    }
    // No slot: still null.
    EXPECT_EQ(selko_communication_read(pipe.readEnd, -2.0), nullptr);
}

TEST(DescriptorReadFailures, FailingReadReportsTheReadErrorAndReplacesTheSlot) {
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    CommErrorRef error = std::make_shared<const CommError>("earlier", 9, CommError::InfoMap{});
    // A directory is always "readable", and reading it fails with EISDIR.
    EXPECT_EQ(selko_communication_read(directory, 1.0, &error), nullptr);
    expectReadFailure(error, EISDIR);
    ::close(directory);
}
