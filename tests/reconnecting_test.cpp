// The reconnecting channel: its policy checks, which failures count as a lost device and what the
// layers above see meanwhile, its schedule, and unplug/replug on pseudo-terminals behind a stable
// link (under the whole stack, many threads, and a restarted ser2net).
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

// What a listener heard: each event with its reason's message and its time. The listener throws
// after taking note: the channel must keep that in.
struct Heard {
    std::mutex lock;
    std::vector<std::pair<SLKLinkEvent, std::string>> events;
    std::vector<Clock::time_point> times;
    std::function<void(SLKLinkEvent, const CommErrorRef&)> listener() {
        return [this](SLKLinkEvent event, const CommErrorRef& reason) {
            std::lock_guard<std::mutex> guard(lock);
            events.emplace_back(event, reason ? reason->message() : "");
            times.push_back(Clock::now());
            throw std::runtime_error("a listener's own failure");
        };
    }
    std::size_t count() {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    }
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
        {nullptr, {}, "channel cannot be nil"}, {port, {0, 1}, first},         {port, {-1, 1}, first},
        {port, {nan, 1}, first},                {port, {inf, inf}, first},     {port, {0.5, 0.25}, longest},
        {port, {0.5, nan}, longest},            {port, {0.5, inf}, longest}};
    for (const auto& [channel, policy, message] : rows) {
        CommErrorRef error;
        EXPECT_EQ(createReconnectingChannel(channel, policy, nullptr, &error), nullptr);
        expectError(error, 3, message, kSource);
    }
    EXPECT_FALSE(createReconnectingChannel(port, {0.5, 0.5}, nullptr)->isOpened());
}

// A failed read (with NOW, as an event loop reads) or write that means the device is gone:
// Lost with that failure in that very call, the port closed, reads empty and writes refused with
// code 4 until the device is back (Restored). Any other failure passes up unchanged.
TEST(ReconnectingChannel, LostDeviceOrPlainFailure) {
    const std::string ioError = "Select failed with error " + errnoText(EIO, " "),
                      badFd = "Select failed with error " + errnoText(EBADF, " ");
    const struct {
        bool write;
        CommErrorRef failure;
        bool lost;
    } rows[] = {
        {false, foreignError(SelkoCommunicationErrorDomain, 5, "Device disconnected"), true},
        {false, foreignError(SelkoCommunicationErrorDomain, 5, ioError), true},
        {true, foreignError(SelkoCommunicationErrorDomain, 4, "Failed to write message with error = Broken pipe"), true},
        {false, foreignError(SelkoCommunicationErrorDomain, 5, badFd), false},
        {true, foreignError(SelkoCommunicationErrorDomain, 4, "Failed to write message with error = Success"), false},
        {false, foreignError(SelkoCommunicationErrorDomain, 3, "time out has an invalid value"), false},
        {false, foreignError("other", 5, "Device disconnected"), false},
        {false, foreignError(SelkoCommunicationErrorDomain, 2, kClosed), false},   // the port is still open
    };
    for (const auto& row : rows) {
        const auto plug = std::make_shared<Plug>();
        Heard heard;
        const auto channel = createReconnectingChannel(plug, {0.01, 0.02}, heard.listener());
        ASSERT_TRUE(channel->openWithTimeout(1.0));
        plug->present = false;
        row.write ? plug->failWrites(row.failure) : plug->pushFailure(row.failure);
        CommErrorRef error = foreignError();
        const bool done = row.write ? channel->write(SLKDataWithString("x"), &error)
                                    : channel->readWithTimeout(0.0, &error) != nullptr;
        EXPECT_EQ(heard.count(), row.lost ? 1u : 0u) << row.failure->message();
        if (!row.lost) {
            EXPECT_FALSE(done);
            EXPECT_EQ(error, row.failure);
            EXPECT_TRUE(plug->isOpened());
            continue;
        }
        EXPECT_EQ(done, !row.write);
        if (row.write)
            expectError(error, 4, "Device disconnected", kSource);
        EXPECT_EQ(heard.events[0], std::make_pair(SLKLinkEvent::Lost, row.failure->message()));
        EXPECT_FALSE(plug->isOpened());
        EXPECT_TRUE(channel->isOpened());
        const auto start = Clock::now();
        EXPECT_EQ(text(channel->readWithTimeout(0.1, &error)), "");
        EXPECT_GE(secondsSince(start), 0.1);
        EXPECT_FALSE(channel->write(SLKDataWithString("y"), &error));
        expectError(error, 4, "Device disconnected", kSource);
        plug->failWrites(nullptr);
        plug->present = true;
        ASSERT_TRUE(heard.reach(2));
        EXPECT_EQ(heard.events[1], std::make_pair(SLKLinkEvent::Restored, ""s));
        EXPECT_TRUE(plug->isOpened() && channel->write(SLKDataWithString("z")));
    }
}

// Opening a missing device tries on the schedule (never early, doubling up to the longest pause)
// until the timeout and fails with the last attempt's error; a close ends a FOREVER open at once.
TEST_F(NothingLeftBehind, ReconnectingChannelOpensOnItsSchedule) {
    const auto plug = std::make_shared<Plug>();
    plug->present = false;
    const auto channel = createReconnectingChannel(plug, {0.02, 0.08}, nullptr);
    CommErrorRef error;
    const auto start = Clock::now();
    EXPECT_FALSE(channel->openWithTimeout(0.5, &error));
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_EQ(error->message(), "Error opening serial port /dev/x - gone(2).");
    ASSERT_GE(plug->attempts.size(), 5u);
    for (std::size_t i = 1; i + 1 < plug->attempts.size(); ++i)
        EXPECT_GE(plug->attempts[i] - plug->attempts[i - 1], std::min(0.02 * (1 << (i - 1)), 0.08) * 1s) << i;

    const auto forever = std::make_shared<Plug>();
    forever->present = false;
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

// The device appears behind `link` (replaced at once), and goes away with it, as udev names an
// adapter under /dev/serial/by-id: no open through the link can reach a pseudo-terminal that
// took the old one's number meanwhile.
std::unique_ptr<SimulatedInstrument> plugIn(const std::string& link, Strings& lines, std::mutex& lock) {
    auto device = acknowledging(lines, lock);
    EXPECT_EQ(::symlink(device->path().c_str(), (link + "~").c_str()) | ::rename((link + "~").c_str(), link.c_str()), 0);
    return device;
}
void unplug(const std::string& link, std::unique_ptr<SimulatedInstrument>& device) {
    ::unlink(link.c_str());
    device.reset();
}

// The next message of a stack that releases one per read, waiting up to 2 s.
std::string nextMessage(const SLKDataChannelRef& top) {
    std::string message;
    for (const auto start = Clock::now(); message.empty() && secondsSince(start) < 2;)
        message = text(top->readWithTimeout(0.1));
    return message;
}

double median(std::vector<double> values) { return std::sort(values.begin(), values.end()), values[values.size() / 2]; }

// Unplug/replug cycles under transformer, echo removal, active and reconnecting channel and UART:
// after each return the next exchange is exact both ways. Prints the reconnect times (device back
// to Restored) and the processor time used while the device is away.
TEST_F(NothingLeftBehind, ReconnectingChannelUnplugReplugCycles) {
    const std::string link = "/tmp/selko-reconnect-" + std::to_string(::getpid());
    const int cycles = SELKO_SANITIZED ? 100 : 1000;
    const SLKReconnectPolicy policy{0.01, 0.2};
    Strings lines, sent;
    std::mutex lock;
    auto device = plugIn(link, lines, lock);
    Heard heard;
    const auto reconnecting = createReconnectingChannel(createUARTChannel(("uart://" + link).c_str(), nullptr), policy,
                                                        heard.listener());
    const std::vector<SLKDataTransformerRef> in{createAggregatingTransformer(SLKDataWithString("\n"), false)},
        out{createAppendingTransformer(SLKDataWithString("\n"))};
    const auto top = createChannelTransformer(
        createEchoRemovalChannel(createActiveChannel(reconnecting), SLKDataWithString("\n")), &in, &out);
    ASSERT_TRUE(top->openWithTimeout(1.0));
    std::vector<double> reconnect;
    for (int cycle = 0; cycle <= cycles && !HasFailure(); ++cycle) {
        sent.push_back("CMD " + std::to_string(cycle));
        ASSERT_TRUE(top->write(SLKDataWithString(sent.back().c_str())));
        ASSERT_EQ(nextMessage(top), "ACK " + sent.back() + "\n") << cycle;
        if (cycle == cycles)
            break;
        unplug(link, device);
        ASSERT_TRUE(heard.reach(2 * cycle + 1));
        CommErrorRef error;
        EXPECT_FALSE(top->write(SLKDataWithString("lost"), &error));
        expectError(error, 4, "Device disconnected", kSource);
        if (cycle == 0) {   // the processor time used while the device stays away
            rusage before{}, after{};
            ::getrusage(RUSAGE_SELF, &before);
            const auto start = Clock::now();
            std::this_thread::sleep_for(2s);
            ::getrusage(RUSAGE_SELF, &after);
            const auto seconds = [](const rusage& use) {
                return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
            };
            const double share = (seconds(after) - seconds(before)) / secondsSince(start);
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
    std::printf("reconnect (device back to Restored, first retry %.0f ms) over %zu cycles: median %.1f ms, worst "
                "%.1f ms\n", policy.firstRetry * 1e3, reconnect.size(), median(reconnect) * 1e3,
                *std::max_element(reconnect.begin(), reconnect.end()) * 1e3);
    EXPECT_LT(median(reconnect), policy.firstRetry + 0.25);
    std::remove(link.c_str());
}

// Reads, writes, closes and opens from several threads while the device comes and goes; clean
// under ThreadSanitizer. Every failure is one of the outage's or the closed channel's.
TEST_F(NothingLeftBehind, ReconnectingChannelUnderThreadsWhileTheDeviceComesAndGoes) {
    const std::string link = "/tmp/selko-reconnect-threads-" + std::to_string(::getpid());
    Strings lines;
    std::mutex lock;
    auto device = plugIn(link, lines, lock);
    Heard heard;
    const auto channel = createReconnectingChannel(createUARTChannel(("uart://" + link).c_str(), nullptr),
                                                   {0.002, 0.01}, heard.listener());
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    std::atomic<bool> stop{false};
    const auto expectOutageOrClosed = [](const CommErrorRef& error) {
        EXPECT_TRUE(error && (error->message() == "Device disconnected" || error->message() == kClosed))
            << (error ? error->message() : "no record");
    };
    std::vector<std::future<void>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(std::async(std::launch::async, [&, i] {
            for (CommErrorRef error; !stop; error.reset()) {
                if (i == 0)
                    channel->close(), channel->openWithTimeout(1.0);
                else if (i == 1 && !channel->readWithTimeout(0.005, &error))
                    expectOutageOrClosed(error);
                else if (i > 1 && !channel->write(SLKDataWithString("PING\n"), &error))
                    expectOutageOrClosed(error);
                std::this_thread::sleep_for(1ms);
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
    std::remove(link.c_str());
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
    const auto reconnecting = createReconnectingChannel(createChannelForURL(url.c_str(), &options), {0.05, 0.2},
                                                        heard.listener());
    const auto active = createActiveChannel(reconnecting);
    pid_t server = start();
    if (!eventually([&] { return active->openWithTimeout(0.5); })) {
        stopServer(server);
        GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    }
    const auto speed = [&] {
        termios2 line{};
        return ::ioctl(device->slaveFd(), TCGETS2, &line) == 0 ? line.c_ospeed : 0u;
    };
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
    termios2 line{};
    ::ioctl(device->slaveFd(), TCGETS2, &line);
    line.c_cflag = (line.c_cflag & ~CBAUD) | BOTHER, line.c_ispeed = line.c_ospeed = 4800;
    ::ioctl(device->slaveFd(), TCSETS2, &line);
    server = start();
    EXPECT_TRUE(heard.reach(2));
    EXPECT_TRUE(eventually([&] { return speed() == 19200u; })) << speed();
    exchange("AGAIN");
    EXPECT_TRUE(active->close());
    stopServer(server);
}

} // namespace
