// The reconnecting channel: its policy checks, which failures count as a lost device, its
// schedule, and unplug/replug on pseudo-terminals behind a stable link (under the whole stack,
// under many threads) and of a restarted ser2net.
#include "TestSupport.h"

// termios2 (TCGETS2) rather than <termios.h>, which it clashes with.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace selko::test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSource = "Data Channel Decorator/SLPReconnectingChannel.cpp:";

// What a listener heard, and when. It throws after taking note: the channel must keep that in.
struct Heard {
    std::mutex lock;
    std::vector<std::pair<SLKLinkEvent, std::string>> events;   // with the reason's message
    std::vector<Clock::time_point> times;
    std::function<void(SLKLinkEvent, const CommErrorRef&)> listener() {
        return [this](SLKLinkEvent event, const CommErrorRef& reason) {
            std::lock_guard<std::mutex> guard(lock);
            events.emplace_back(event, reason ? reason->message() : "");
            times.push_back(Clock::now());
            throw std::runtime_error("a listener's own failure");
        };
    }
    std::size_t count() { return std::lock_guard<std::mutex>(lock), events.size(); }
    bool reach(std::size_t n) { return eventually([&] { return count() >= n; }); }
};

// A port whose device can be taken away: while absent, opens fail as for a missing device node.
struct Plug : ScriptedChannel {
    std::atomic<bool> present{true};
    std::mutex lock;
    std::vector<Clock::time_point> attempts;
    Plug() : ScriptedChannel(false) {}
    bool openWithTimeout(double timeout, CommErrorRef* error) override {
        {
            std::lock_guard<std::mutex> guard(lock);
            attempts.push_back(Clock::now());
        }
        if (present)
            return ScriptedChannel::openWithTimeout(timeout, error);
        if (error)
            *error = foreignError(SelkoCommunicationErrorDomain, 4, "Error opening serial port /dev/x - gone(2).");
        return false;
    }
};

TEST(ReconnectingChannel, FactoryRefusesBadArguments) {
    const auto port = std::make_shared<Plug>();
    const double nan = std::nan(""), inf = INFINITY;
    const std::string first = "firstRetry must be a positive number of seconds",
                      longest = "longestRetry must be a number of seconds no less than firstRetry";
    const std::tuple<SLKDataChannelRef, SLKReconnectPolicy, std::string> rows[] = {
        {nullptr, {}, "channel cannot be nil"}, {port, {0, 1}, first},     {port, {-1, 1}, first},
        {port, {nan, 1}, first},                {port, {inf, inf}, first}, {port, {0.5, 0.25}, longest},
        {port, {0.5, nan}, longest},            {port, {0.5, inf}, longest}};
    for (const auto& [channel, policy, message] : rows) {
        CommErrorRef error;
        EXPECT_EQ(createReconnectingChannel(channel, policy, nullptr, &error), nullptr);
        expectError(error, 3, message, kSource);
    }
    EXPECT_FALSE(createReconnectingChannel(port, {0.5, 0.5}, nullptr)->isOpened());
    ASSERT_TRUE(port->openWithTimeout(0.0, nullptr));   // over an open port: open at once
    const auto over = createReconnectingChannel(port, {0.5, 0.5}, nullptr);
    EXPECT_TRUE(over->isOpened() && over->close() && !port->isOpened());
}

// A failed read (with NOW, as an event loop reads) or write that means the device is gone: Lost
// with that failure in that very call, the port closed, the read empty, the write code 4, and
// Restored once the device is back. Any other failure passes up unchanged.
TEST(ReconnectingChannel, LostDeviceOrPlainFailure) {
    const auto library = [](int code, const std::string& message) {
        return foreignError(SelkoCommunicationErrorDomain, code, message);
    };
    const struct {
        bool write;
        CommErrorRef failure;
        bool lost, portCloses = false;
    } rows[] = {
        {false, library(5, "Device disconnected"), true},
        {false, library(5, "Select failed with error " + errnoText(EIO, " ")), true},
        {true, library(4, "Failed to write message with error = Broken pipe"), true},
        {false, library(5, "Select failed with error " + errnoText(EBADF, " ")), false},
        {true, library(4, "Failed to write message with error = Success"), false},
        {false, library(3, "time out has an invalid value"), false},
        {false, foreignError("other", 5, "Device disconnected"), false},
        {false, library(2, kClosed), false},   // while the port says it is open
        {false, library(2, kClosed), true, true},   // closed by the port itself, as at a hang-up
    };
    for (const auto& row : rows) {
        const auto plug = std::make_shared<Plug>();
        Heard heard;
        const auto channel = createReconnectingChannel(plug, {0.01, 0.02}, heard.listener());
        ASSERT_TRUE(channel->openWithTimeout(1.0));
        plug->present = false;
        row.write ? plug->failWrites(row.failure) : plug->pushFailure(row.failure);
        if (row.portCloses)
            plug->close(nullptr);
        CommErrorRef error = foreignError();
        const bool done = row.write ? channel->write(SLKDataWithString("x"), &error)
                                    : channel->readWithTimeout(0.0, &error) != nullptr;
        ASSERT_EQ(heard.count(), row.lost ? 1u : 0u) << row.failure->message();
        if (!row.lost) {
            EXPECT_TRUE(!done && error == row.failure && plug->isOpened());
            continue;
        }
        EXPECT_EQ(heard.events[0], std::make_pair(SLKLinkEvent::Lost, row.failure->message()));
        EXPECT_TRUE(done != row.write && !plug->isOpened() && channel->isOpened());
        if (row.write)
            expectError(error, 4, "Device disconnected", kSource);
        plug->failWrites(nullptr);
        plug->present = true;
        ASSERT_TRUE(heard.reach(2));
        EXPECT_EQ(heard.events[1].first, SLKLinkEvent::Restored);
        EXPECT_TRUE(channel->close() && !plug->isOpened() && !channel->isOpened() && !channel->close(&error));
        expectError(error, 2, "Device Already Closed", kSource);
        EXPECT_FALSE(channel->readWithTimeout(0.0, &error));
        expectError(error, 2, kClosed, kSource);
    }
}

// Opening a missing device tries on the schedule (never early, doubling up to the longest pause)
// until the timeout and fails with the last attempt's error; a close ends a FOREVER open at once.
TEST_F(NothingLeftBehind, ReconnectingChannelOpensOnItsSchedule) {
    const auto plug = std::make_shared<Plug>(), forever = std::make_shared<Plug>();
    plug->present = forever->present = false;
    CommErrorRef error;
    const auto start = Clock::now();
    EXPECT_FALSE(createReconnectingChannel(plug, {0.02, 0.08}, nullptr)->openWithTimeout(0.5, &error));
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_EQ(error->message(), "Error opening serial port /dev/x - gone(2).");
    ASSERT_GE(plug->attempts.size(), 5u);
    for (std::size_t i = 1; i + 1 < plug->attempts.size(); ++i)
        EXPECT_GE(plug->attempts[i] - plug->attempts[i - 1], std::min(0.02 * (1 << (i - 1)), 0.08) * 1s) << i;

    const auto waiting = createReconnectingChannel(forever, {0.01, 60}, nullptr);
    auto opening = std::async(std::launch::async, [&] { return waiting->openWithTimeout(-1.0, &error); });
    ASSERT_TRUE(eventually([&] { return std::lock_guard<std::mutex>(forever->lock), forever->attempts.size() >= 4; }));
    const auto closing = Clock::now();
    EXPECT_TRUE(waiting->close());
    EXPECT_FALSE(opening.get());
    EXPECT_LT(secondsSince(closing), 1.0);
    expectError(error, 2, kClosed, kSource);
}

// ---------------------------------------------------------------------------------------------
// Pseudo-terminals behind a stable link

// An instrument on a new pseudo-terminal that echoes and answers every line with "ACK <line>",
// noting the lines in `lines`.
std::unique_ptr<SimulatedInstrument> acknowledging(Strings& lines, std::mutex& lock) {
    return std::make_unique<SimulatedInstrument>(
        [&](const std::string& line) { return std::lock_guard<std::mutex>(lock), lines.push_back(line), "ACK " + line + "\n"; },
        true);
}

// The device appears behind `link` (replaced in one step) and goes away with it, as udev names an
// adapter under /dev/serial/by-id: no open through the link reaches a pseudo-terminal that took
// the old one's number meanwhile.
std::unique_ptr<SimulatedInstrument> plugIn(const std::string& link, Strings& lines, std::mutex& lock) {
    auto device = acknowledging(lines, lock);
    EXPECT_EQ(::symlink(device->path().c_str(), (link + "~").c_str()) | ::rename((link + "~").c_str(), link.c_str()), 0);
    return device;
}
// A path for a link, removed when the test ends, however it ends.
struct LinkPath : std::string {
    explicit LinkPath(const std::string& name) : std::string("/tmp/" + name + "-" + std::to_string(::getpid())) {}
    ~LinkPath() { std::remove(c_str()); }
};
void unplug(const std::string& link, std::unique_ptr<SimulatedInstrument>& device) {
    ::unlink(link.c_str());
    device.reset();
}

// Processor seconds used by this process so far.
double processorSeconds() {
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Unplug/replug cycles under transformer, echo removal, active and reconnecting channel and UART:
// after each return the next exchange is exact both ways. Prints the reconnect times (device back
// to Restored) and the processor time used while the device is away.
TEST_F(NothingLeftBehind, ReconnectingChannelUnplugReplugCycles) {
    const LinkPath link("selko-reconnect");
    const int cycles = SELKO_SANITIZED ? 100 : 1000;
    const SLKReconnectPolicy policy{0.01, 0.2};
    Strings lines, sent;
    std::mutex lock;
    auto device = plugIn(link, lines, lock);
    Heard heard;
    const auto reconnecting =
        createReconnectingChannel(createUARTChannel(("uart://" + link).c_str(), nullptr), policy, heard.listener());
    const std::vector<SLKDataTransformerRef> in{createAggregatingTransformer(SLKDataWithString("\n"), false)},
        out{createAppendingTransformer(SLKDataWithString("\n"))};
    const auto top = createChannelTransformer(
        createEchoRemovalChannel(createActiveChannel(reconnecting), SLKDataWithString("\n")), &in, &out);
    ASSERT_TRUE(top->openWithTimeout(1.0));
    std::vector<double> reconnect;
    for (int cycle = 0; cycle <= cycles && !HasFailure(); ++cycle) {
        sent.push_back("CMD " + std::to_string(cycle));
        ASSERT_TRUE(top->write(SLKDataWithString(sent.back().c_str())));
        std::string reply;   // one message per read
        for (const auto start = Clock::now(); reply.empty() && secondsSince(start) < 2;)
            reply = text(top->readWithTimeout(0.1));
        ASSERT_EQ(reply, "ACK " + sent.back() + "\n") << cycle;
        if (cycle == cycles)
            break;
        unplug(link, device);
        ASSERT_TRUE(heard.reach(2 * cycle + 1));
        CommErrorRef error;
        EXPECT_FALSE(top->write(SLKDataWithString("lost"), &error));
        expectError(error, 4, "Device disconnected", kSource);
        if (cycle == 0) {   // a read of the outage waits out its timeout; the processor stays idle
            const auto start = Clock::now();
            const double used = processorSeconds();
            EXPECT_EQ(text(reconnecting->readWithTimeout(2.0)), "");
            const double share = (processorSeconds() - used) / secondsSince(start);
            EXPECT_GE(secondsSince(start), 2.0);
            std::printf("processor while the device is away: %.3f%% of a core\n", share * 100);
            EXPECT_LT(share, 0.05);
        }
        const auto back = Clock::now();
        device = plugIn(link, lines, lock);
        ASSERT_TRUE(heard.reach(2 * cycle + 2));
        if (cycle > 0)   // after the measured outage of 2 s the retries run at the longest pause
            reconnect.push_back(std::chrono::duration<double>(heard.times.back() - back).count());
    }
    EXPECT_EQ(text(top->readWithTimeout(0.2)), "");   // nothing delivered twice
    EXPECT_EQ((std::lock_guard<std::mutex>(lock), lines), sent);
    EXPECT_TRUE(top->close());
    std::sort(reconnect.begin(), reconnect.end());
    std::printf("reconnect (device back to Restored, first retry %.0f ms) over %zu cycles: median %.1f ms, 99th "
                "percentile %.1f ms, worst %.1f ms\n", policy.firstRetry * 1e3, reconnect.size(),
                reconnect[reconnect.size() / 2] * 1e3, reconnect[reconnect.size() * 99 / 100] * 1e3, reconnect.back() * 1e3);
    EXPECT_LT(reconnect[reconnect.size() / 2], policy.firstRetry + 0.25);
}

// Reads, writes, closes and opens from several threads while the device comes and goes; clean
// under ThreadSanitizer. Every failure is one of the outage's or the closed channel's.
TEST_F(NothingLeftBehind, ReconnectingChannelUnderThreadsWhileTheDeviceComesAndGoes) {
    const LinkPath link("selko-reconnect-threads");
    Strings lines;
    std::mutex lock;
    auto device = plugIn(link, lines, lock);
    Heard heard;
    const auto channel = createReconnectingChannel(createUARTChannel(("uart://" + link).c_str(), nullptr),
                                                   {0.002, 0.01}, heard.listener());
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    std::atomic<bool> stop{false};
    std::vector<std::future<void>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(std::async(std::launch::async, [&, i] {
            for (CommErrorRef error; !stop; std::this_thread::sleep_for(1ms), error.reset()) {
                const bool failed = i == 0   ? (channel->close(), !channel->openWithTimeout(1.0))
                                    : i == 1 ? !channel->readWithTimeout(0.005, &error)
                                             : !channel->write(SLKDataWithString("PING\n"), &error);
                if (failed && i > 0) {
                    EXPECT_TRUE(error && (error->message() == "Device disconnected" || error->message() == kClosed));
                }
            }
        }));
    }
    for (int round = 0; round < (SELKO_SANITIZED ? 30 : 100); ++round) {
        unplug(link, device);
        std::this_thread::sleep_for(5ms);
        device = plugIn(link, lines, lock);
        std::this_thread::sleep_for(5ms);
    }
    stop = true;
    threads.clear();
    channel->close();
    ASSERT_GT(heard.count(), 2u);
    for (std::size_t i = 1; i < heard.events.size(); ++i)   // Restored only ever follows Lost
        EXPECT_FALSE(heard.events[i].first == SLKLinkEvent::Restored && heard.events[i - 1].first != SLKLinkEvent::Lost);
}

// ser2net restarted under an rfc2217:// stack: the exchanges resume and the reopening negotiates
// the line speed again (the test sets the line to another speed while the server is down).
TEST_F(NothingLeftBehind, ReconnectingChannelOverARestartedSer2Net) {
    Strings lines;
    std::mutex lock;
    const auto device = acknowledging(lines, lock);
    const int port = freeLoopbackPort();
    const auto start = [&] {   // as Ser2NetServer starts it, on a port that stays the same
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO), ::dup2(quiet, STDERR_FILENO);
            const std::string yaml = "connection: &c#  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(port) +
                                     "#  connector: serialdev," + device->path() + ",115200n81,local";
            ::execlp("ser2net", "ser2net", "-n", "-u", "-Y", yaml.c_str(), nullptr);
            ::_exit(127);
        }
        return pid;
    };
    const auto stopServer = [](pid_t pid) { ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); };
    const SLKOptions options{{SELKO_COMMUNICATION_UART_BAUD, 19200LL}};
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
    Heard heard;
    const auto active = createActiveChannel(
        createReconnectingChannel(createChannelForURL(url.c_str(), &options), {0.05, 0.2}, heard.listener()));
    pid_t server = start();
    if (!eventually([&] { return active->openWithTimeout(0.5); })) {
        stopServer(server);
        GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    }
    termios2 line{};
    const auto speed = [&] { return ::ioctl(device->slaveFd(), TCGETS2, &line) == 0 ? line.c_ospeed : 0u; };
    const auto exchange = [&](const std::string& command) {
        std::string got;
        EXPECT_TRUE(active->write(SLKDataWithString((command + "\n").c_str())));
        for (const auto begun = Clock::now(); got.find("ACK " + command + "\n") == std::string::npos && secondsSince(begun) < 5;)
            got += text(active->readWithTimeout(0.1));
        EXPECT_EQ(got, command + "\nACK " + command + "\n");
    };
    exchange("FIRST");
    EXPECT_EQ(speed(), 19200u);
    stopServer(server);
    ASSERT_TRUE(heard.reach(1));
    line.c_cflag = (line.c_cflag & ~CBAUD) | BOTHER, line.c_ispeed = line.c_ospeed = 4800;
    ASSERT_EQ(::ioctl(device->slaveFd(), TCSETS2, &line), 0);
    server = start();
    EXPECT_TRUE(heard.reach(2));
    EXPECT_TRUE(eventually([&] { return speed() == 19200u; })) << speed();
    exchange("AGAIN");
    EXPECT_TRUE(active->close());
    stopServer(server);
}

} // namespace
