// The channel core: exported data, the error record and the reporting rule (with every factory's
// refusals in one table), timed descriptor reads, and the detached-thread launcher.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <thread>
#include <vector>

using namespace selko::test;
using namespace std::chrono_literals;

namespace {

// A pipe whose read end is the descriptor under test, with room for 70000 bytes.
struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        readEnd = ends[0];
        writeEnd = ends[1];
        if (::fcntl(writeEnd, F_SETPIPE_SZ, 1 << 18) < 70000) // else writing 70000 bytes would block
            throw std::runtime_error("F_SETPIPE_SZ");
    }
    ~Pipe() {
        ::close(readEnd);
        ::close(writeEnd);
    }
    void write(const std::string& bytes) const { ASSERT_EQ(::write(writeEnd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    int waiting() const {
        int count = 0;
        ::ioctl(readEnd, FIONREAD, &count);
        return count;
    }
};

// Runs `call`, which blocks on the empty pipe, on a thread of its own and interrupts it with
// SIGUSR1 (handled without SA_RESTART) until it returns. A call that never gives up is freed by a
// byte down the pipe, so the test ends either way (and fails on its result).
std::int64_t interrupted(const Pipe& pipe, const std::function<std::int64_t()>& call) {
    struct sigaction action {}, previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, &previous);
    std::atomic<bool> done{false};
    std::int64_t result = -7;
    std::thread caller([&] {
        result = call();
        done = true;
    });
    const pthread_t handle = caller.native_handle();
    EXPECT_TRUE(eventually([&] {
        if (!done) {
            ::pthread_kill(handle, SIGUSR1);
            std::this_thread::sleep_for(20ms);
        }
        return done.load();
    }));
    if (!done)
        pipe.write("x");
    caller.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    return result;
}

} // namespace

TEST(ErrorRecord, ShapeOfTheRecordAndItsConveniences) {
    CommErrorRef error = foreignError();
    ASSERT_EQ(createPassiveChannel(nullptr, &error), nullptr);
    // The location is relative to the source root (no build-machine path) and ends in a line.
    const std::string location = error->location();
    EXPECT_GT(std::stoi(location.substr(location.find(':') + 1)), 0) << location;
    EXPECT_GE(error->callStack().size(), 2u);
    // The conveniences cope with records that lack the entries or hold other types.
    const CommError bare("elsewhere", 7, CommError::InfoMap{{"ErrorMessage", std::vector<std::string>{"x"}}});
    EXPECT_EQ(bare.message() + bare.location(), "");
    EXPECT_TRUE(bare.callStack().empty());
}

// Make an object with the error slot `e` and tell whether the factory refused it (returned null).
#define REFUSED(make) [&](CommErrorRef* e) { return !(make); }

TEST(FactoryRefusals, FirstFailedCheckIsReported) {
    const auto channel = std::make_shared<ScriptedChannel>(false);
    const SLKData empty = SLKDataWithString(""), bytes = SLKDataWithString("A");
    const std::vector<SLKDataTransformerRef> good{createAppendingTransformer(bytes)}, bad{good[0], nullptr};
    const std::function<void()> noAction, action = [] {};
    const std::function<void(SLKBytes&)> noBlock;
    const std::string nil = "channel cannot be nil", delimiter = "delimiter cannot be nil, or empty",
                      pattern = "pattern cannot be nil, or empty", blk = "blk cannot be nil",
                      timeout = "timeout cannot be less than or equal to zero";
    struct Case {
        std::string message;
        const std::string& source;
        std::function<bool(CommErrorRef*)> refused;
    };
    std::vector<Case> cases = {
        {nil, kDecoratorSource, REFUSED(createPassiveChannel(nullptr, e))},
        {nil, kDecoratorSource, REFUSED(createEchoRemovalChannel(nullptr, nullptr, e))},
        {delimiter, kDecoratorSource, REFUSED(createEchoRemovalChannel(channel, nullptr, e))},
        {delimiter, kDecoratorSource, REFUSED(createEchoRemovalChannel(channel, empty, e))},
        {nil, kDecoratorSource, REFUSED(createChannelTransformer(nullptr, &bad, &bad, e))},
        {nil, kTapSource, REFUSED(createTapChannel(nullptr, nullptr, e))},
        {"tap cannot be nil", kTapSource, REFUSED(createTapChannel(channel, nullptr, e))},
        {"Objects in readTransformers must conform to SLKDataTransformer", kDecoratorSource,
         REFUSED(createChannelTransformer(channel, &bad, &bad, e))},
        {"Objects in writeTransformers must conform to SLKDataTransformer", kDecoratorSource,
         REFUSED(createChannelTransformer(channel, &good, &bad, e))},
        {blk, kTransformerSource, REFUSED(createBlockTransformer(noBlock, e))},
        {"prepend can not be nil", kTransformerSource, REFUSED(createPrependingTransformer(nullptr, e))},
        {"data can not be nil", kTransformerSource, REFUSED(createAppendingTransformer(nullptr, e))},
        {pattern, kTransformerSource, REFUSED(createAggregatingTransformer(nullptr, true, e))},
        {pattern, kTransformerSource, REFUSED(createFilteringTransformer(empty, e))},
        {pattern, kTransformerSource, REFUSED(createEventGeneratorTransformer(nullptr, false, noAction, e))},
        {pattern, kTransformerSource, REFUSED(createEventGeneratorTransformer(empty, true, action, e))},
        {blk, kTransformerSource, REFUSED(createEventGeneratorTransformer(bytes, false, noAction, e))},
        {timeout, kTransformerSource, REFUSED(createTimeTransformer(0.0, noAction, e))},
        {timeout, kTransformerSource, REFUSED(createTimeTransformer(std::nan(""), action, e))},
        {blk, kTransformerSource, REFUSED(createTimeTransformer(0.5, noAction, e))},
    };
    // Only the text before the first ':' decides, and it must be exactly "uart".
    for (const char* url : {static_cast<const char*>(nullptr), "UART:///dev/ttyS0", "file:///dev/ttyS0",
                            "uarts:///dev/ttyS0", "/dev/ttyS0"}) {
        cases.push_back({std::string("Provided url ") + (url ? url : "(null)") + " not valid", kChannelSource,
                         [url](CommErrorRef* e) { return !createUARTChannel(url, nullptr, e); }});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_TRUE(c.refused(nullptr));
        CommErrorRef error = foreignError();
        EXPECT_TRUE(c.refused(&error));
        expectError(error, SLKErrorInvalidArgument, c.message, c.source);
    }
    EXPECT_EQ(SLPUARTChannel::initForURL(nullptr, nullptr), nullptr);

}

// ---------------------------------------------------------------------------------------------
// Timed descriptor reads
// ---------------------------------------------------------------------------------------------

TEST(DescriptorRead, SizesTheReadFromWhatIsWaiting) {
    // More than the fallback size waiting before the call: all of it in one read.
    Pipe pipe;
    pipe.write(std::string(70000, 'x'));
    ASSERT_EQ(pipe.waiting(), 70000);
    const SLKData all = selko_communication_read(pipe.readEnd, SELKO_COMMUNICATION_TIME_NOW);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->size(), 70000u);
    EXPECT_EQ(pipe.waiting(), 0);

    // Nothing waiting when the read sized itself: it takes at most the fallback size. The pipe
    // has room for all 70000 bytes, so the write lands in one go before the woken read runs.
    std::atomic<long> reader{0};
    auto reading = std::async(std::launch::async, [&] {
        reader = currentThreadId();
        return selko_communication_read(pipe.readEnd, 5.0);
    });
    ASSERT_TRUE(eventually([&] { return reader != 0 && blockedInSelect(reader); }));
    pipe.write(std::string(70000, 'y'));
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    const SLKData first = reading.get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->size(), 65536u);
    const SLKData rest = selko_communication_read(pipe.readEnd, SELKO_COMMUNICATION_TIME_NOW);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->size(), 70000u - 65536u);
}

TEST(DescriptorRead, NowPositiveAndForeverTimeouts) {
    Pipe pipe;
    const CommErrorRef earlier = foreignError();
    CommErrorRef error = earlier;
    // NOW does not wait; positive times wait their whole length, fractions included (0.3 is 0 s +
    // 300000 us, 1.25 is 1 s + 250000 us). Running out of time is not a failure.
    for (const double timeout : {0.0, 0.3, 1.25}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(text(selko_communication_read(pipe.readEnd, timeout, &error)), "") << timeout;
        const double waited = secondsSince(start);
        EXPECT_GE(waited, timeout - 0.02) << timeout;
        EXPECT_LT(waited, timeout + 3.0) << timeout;
    }
    // A positive time ends early when bytes come; FOREVER, and times too long for a timeval, wait
    // until they come.
    for (const double timeout : {30.0, SELKO_COMMUNICATION_TIME_FOREVER, 1e12, HUGE_VAL}) {
        auto reading = std::async(std::launch::async, [&] { return selko_communication_read(pipe.readEnd, timeout, &error); });
        EXPECT_TRUE(timeout == 30.0 || reading.wait_for(200ms) == std::future_status::timeout) << timeout;
        pipe.write("late");
        ASSERT_EQ(reading.wait_for(5s), std::future_status::ready) << timeout;
        EXPECT_EQ(text(reading.get()), "late") << timeout;
    }
    EXPECT_EQ(error, earlier);
}

TEST(DescriptorRead, InterruptedWaitOrReadCountsAsNothing) {
    Pipe pipe;
    CommErrorRef error;
    EXPECT_EQ(interrupted(pipe, [&] {
                  const SLKData data = selko_communication_read(pipe.readEnd, 60.0, &error);
                  return data ? static_cast<std::int64_t>(data->size()) : -1;
              }),
              0);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(interrupted(pipe, [&] {
                  fd_set set;
                  FD_ZERO(&set);
                  FD_SET(pipe.readEnd, &set);
                  return select_with_retry(pipe.readEnd + 1, &set, nullptr);
              }),
              0);
    EXPECT_EQ(interrupted(pipe, [&] {
                  char buffer[8];
                  return read_with_retry(pipe.readEnd, buffer, sizeof buffer);
              }),
              0);
}

TEST(DescriptorRead, BuildingBlocksRetryEagainAndPassResultsThrough) {
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

    // A non-blocking read of the empty pipe keeps trying until bytes come.
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

TEST(DescriptorRead, FailuresReportCode5WithTheSystemError) {
    Pipe pipe;
    // Invalid times and descriptors that cannot go into a select set are refused with EINVAL.
    const std::pair<int, double> refused[] = {{pipe.readEnd, -2.0}, {pipe.readEnd, -0.5}, {pipe.readEnd, -1e300},
                                              {pipe.readEnd, std::nan("")}, {-1, 0.1}, {FD_SETSIZE, 0.1},
                                              {FD_SETSIZE + 100, 0.1}};
    for (const auto& [fd, timeout] : refused) {
        CommErrorRef error;
        EXPECT_EQ(selko_communication_read(fd, timeout, &error), nullptr) << fd << " " << timeout;
        expectError(error, SLKErrorRead, "Select failed with error " + errnoText(EINVAL, " "), kDescriptorSource);
    }
    EXPECT_EQ(selko_communication_read(pipe.readEnd, -2.0), nullptr);

    // A directory is always "readable" and reading it fails: the read's error replaces the slot.
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    CommErrorRef error = foreignError();
    EXPECT_EQ(selko_communication_read(directory, 1.0, &error), nullptr);
    expectError(error, SLKErrorRead, "Select failed with error " + errnoText(EISDIR, " "), kDescriptorSource);
    ::close(directory);
}

// ---------------------------------------------------------------------------------------------
// The detached-thread launcher
// ---------------------------------------------------------------------------------------------

TEST(ThreadLauncher, CapturesAreReleasedOnTheThreadAfterTheCallableReturned) {
    struct Record {
        std::atomic<bool> returned{false};
        std::atomic<bool> released{false};
        std::atomic<bool> releasedAfterReturn{false};
        std::thread::id runner;
        std::thread::id releaser;
        std::promise<void> started;
        std::promise<void> proceed;
    };
    auto record = std::make_shared<Record>();
    std::shared_future<void> proceeding = record->proceed.get_future().share();
    {
        std::shared_ptr<int> captured(new int(42), [record](int* value) {
            record->releasedAfterReturn = record->returned.load();
            record->releaser = std::this_thread::get_id();
            delete value;
            record->released = true;
        });
        selko_detachNewThreadWithBlock([captured, record, proceeding] {
            record->runner = std::this_thread::get_id();
            record->started.set_value();
            proceeding.wait_for(5s);
            record->returned = true;
        });
        // Only the launched thread's copy holds the object from here on.
    }
    ASSERT_EQ(record->started.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(record->released.load()) << "released while the callable still runs";
    record->proceed.set_value();
    ASSERT_TRUE(eventually([&] { return record->released.load(); }));
    EXPECT_TRUE(record->releasedAfterReturn.load());
    EXPECT_EQ(record->releaser, record->runner);
    EXPECT_NE(record->releaser, std::this_thread::get_id());
}

TEST(ThreadLauncher, EveryLaunchRunsOnceAndItsThreadEnds) {
    warmUpThreads();
    const int threadsBefore = threadCount();
    selko_detachNewThreadWithBlock(std::function<void()>()); // nothing to run, nothing started
    EXPECT_LE(threadCount(), threadsBefore);
    // Many launches from several threads at once: every one runs exactly once and releases its copy.
    auto runs = std::make_shared<std::atomic<int>>(0);
    std::vector<std::thread> launchers;
    for (int i = 0; i < 4; ++i) {
        launchers.emplace_back([runs] {
            for (int j = 0; j < 16; ++j)
                selko_detachNewThreadWithBlock([runs] { ++*runs; });
        });
    }
    for (auto& launcher : launchers)
        launcher.join();
    EXPECT_TRUE(eventually([&] { return runs.use_count() == 1 && threadCount() <= threadsBefore; }));
    EXPECT_EQ(runs->load(), 64);
}
