// The channel core: the error record and every factory's refusals in one table, and timed
// descriptor reads on a pipe. (The detached-thread launcher runs every active channel's loop: the
// active channel tests and their thread bookkeeping cover it.)
#include "TestSupport.h"

using namespace selko::test;

// Make an object with the error slot `e` and tell whether the factory refused it (returned null).
#define REFUSED(make) [&](CommErrorRef* e) { return !(make); }

// Every record carries a location relative to the source tree with a line, and a call stack.
TEST(ErrorRecord, EveryFactoryRefusesWithCode1AndItsMessageAtItsLocation) {
    const auto channel = std::make_shared<ScriptedChannel>(false);
    const SLKData empty = SLKDataWithString(""), bytes = SLKDataWithString("A");
    const std::vector<SLKDataTransformerRef> good{createAppendingTransformer(bytes)}, bad{good[0], nullptr};
    const std::function<void()> none, action = [] {};
    const std::string nil = "channel cannot be nil", delimiter = "delimiter cannot be nil, or empty",
                      pattern = "pattern cannot be nil, or empty", blk = "blk cannot be nil",
                      timeout = "timeout cannot be less than or equal to zero";
    std::vector<std::tuple<std::string, std::string, std::function<bool(CommErrorRef*)>>> cases = {
        {nil, kDecoratorSource, REFUSED(createPassiveChannel(nullptr, e))},
        {nil, kDecoratorSource, REFUSED(createActiveChannel(nullptr, e))},
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
        {blk, kTransformerSource, REFUSED(createBlockTransformer(std::function<void(SLKBytes&)>(), e))},
        {"prepend can not be nil", kTransformerSource, REFUSED(createPrependingTransformer(nullptr, e))},
        {"data can not be nil", kTransformerSource, REFUSED(createAppendingTransformer(nullptr, e))},
        {pattern, kTransformerSource, REFUSED(createAggregatingTransformer(nullptr, true, e))},
        {pattern, kTransformerSource, REFUSED(createFilteringTransformer(empty, e))},
        {pattern, kTransformerSource, REFUSED(createEventGeneratorTransformer(nullptr, false, none, e))},
        {pattern, kTransformerSource, REFUSED(createEventGeneratorTransformer(empty, true, action, e))},
        {blk, kTransformerSource, REFUSED(createEventGeneratorTransformer(bytes, false, none, e))},
        {timeout, kTransformerSource, REFUSED(createTimeTransformer(0.0, none, e))},
        {timeout, kTransformerSource, REFUSED(createTimeTransformer(std::nan(""), action, e))},
        {blk, kTransformerSource, REFUSED(createTimeTransformer(0.5, none, e))},
    };
    // Only the text before the first ':' decides, and it must be exactly "uart".
    for (const char* url : {static_cast<const char*>(nullptr), "UART:///dev/ttyS0", "uarts:///dev/ttyS0", "/dev/ttyS0"})
        cases.emplace_back(std::string("Provided url ") + (url ? url : "(null)") + " not valid", kChannelSource,
                           [url](CommErrorRef* e) { return !createUARTChannel(url, nullptr, e); });
    for (const auto& [message, source, refused] : cases) {
        SCOPED_TRACE(message);
        EXPECT_TRUE(refused(nullptr));
        CommErrorRef error = foreignError();
        EXPECT_TRUE(refused(&error));
        expectError(error, SLKErrorInvalidArgument, message, source);
        EXPECT_GT(std::atoi(error->location().substr(source.size()).c_str()), 0) << error->location();
        EXPECT_GE(error->callStack().size(), 2u);
    }
    // A record built elsewhere, with an entry of an unexpected type, has no message, location or stack.
    const CommError bare("elsewhere", 7, CommError::InfoMap{{"ErrorMessage", std::vector<std::string>{"x"}}});
    EXPECT_EQ(bare.message() + bare.location() + std::to_string(bare.callStack().size()), "0");
}

// A pipe whose read end is the descriptor under test, with room for 70000 bytes.
struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() {
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        EXPECT_GE(::fcntl(ends[1], F_SETPIPE_SZ, 1 << 18), 70000);
    }
    ~Pipe() { ::close(ends[0]), ::close(ends[1]); }
    void write(const std::string& s) const { EXPECT_EQ(::write(ends[1], s.data(), s.size()), ssize_t(s.size())); }
};

TEST(DescriptorRead, WaitsItsTimeAndReadsWhatIsWaitingInOneGoOrReportsCode5) {
    Pipe pipe;
    CommErrorRef error;
    // What waits is read whole with any timeout; then running out of time is no failure, and a
    // positive time is waited whole, fractions included.
    const std::pair<double, std::size_t> rows[] = {{0.0, 1}, {0.0, 70000}, {0.3, 3}, {1.25, 2}};
    for (const auto& [timeout, bytes] : rows) {
        pipe.write(std::string(bytes, 'x'));
        EXPECT_EQ(selko_communication_read(pipe.ends[0], timeout, &error)->size(), bytes) << timeout;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(text(selko_communication_read(pipe.ends[0], timeout, &error)), "") << timeout;
        EXPECT_GE(secondsSince(start), timeout - 0.02) << timeout;
    }
    // FOREVER, and times too long for a timeval, wait until bytes come. With nothing waiting when
    // it starts, a read takes at most 65536: the rest waits for the next one.
    for (const double timeout : {5.0, SELKO_COMMUNICATION_TIME_FOREVER, 1e12, HUGE_VAL}) {
        auto reading = blockedCall([&, timeout] { return selko_communication_read(pipe.ends[0], timeout, &error); },
                                   blockedInSelect);
        pipe.write(std::string(70000, 'y'));
        EXPECT_EQ(reading.get()->size(), 65536u) << timeout;
        EXPECT_EQ(selko_communication_read(pipe.ends[0], 0.0)->size(), 70000u - 65536u);
    }
    EXPECT_EQ(error, nullptr);
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); // always readable, unreadable
    const std::tuple<int, double, int> refused[] = {{pipe.ends[0], -2.0, EINVAL}, {pipe.ends[0], -1e300, EINVAL},
                                                    {pipe.ends[0], std::nan(""), EINVAL}, {-1, 0.1, EINVAL},
                                                    {FD_SETSIZE, 0.1, EINVAL}, {directory, 1.0, EISDIR}};
    for (const auto& [fd, timeout, number] : refused) {
        error = foreignError(); // each row must raise its own record
        EXPECT_EQ(selko_communication_read(fd, timeout, &error), nullptr) << fd << " " << timeout;
        expectError(error, SLKErrorRead, "Select failed with error " + errnoText(number, " "), kDescriptorSource);
    }
    ::close(directory);
}

// A wait or read interrupted by a signal (handled without SA_RESTART) counts as nothing arrived:
// each call is interrupted once it waits in the kernel, on a pipe that stays empty.
TEST(DescriptorRead, InterruptedWaitOrReadCountsAsNothing) {
    const InterruptingSignal handler;
    Pipe pipe;
    char buffer[8];
    const std::pair<std::function<std::int64_t()>, bool (*)(long)> calls[] = {
        {[&] { return static_cast<std::int64_t>(text(selko_communication_read(pipe.ends[0], 60.0)).size()); },
         blockedInSelect},
        {[&] { return read_with_retry(pipe.ends[0], buffer, sizeof buffer); },
         [](long tid) { return blockedIn(tid, {SYS_read}); }},
    };
    for (const auto& [call, blocked] : calls) {
        long tid = 0;
        auto result = blockedCall(call, blocked, &tid);
        ::syscall(SYS_tgkill, ::getpid(), tid, SIGUSR1);
        if (result.wait_for(5s) != std::future_status::ready)
            pipe.write("x"); // a call that waits on after the signal ends on the byte instead, and fails
        EXPECT_EQ(result.get(), 0);
    }
}
