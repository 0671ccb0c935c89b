// The reconnecting channel: its policy checks, which failures count as a lost device, its
// schedule, and unplug/replug on pseudo-terminals behind a stable link (under the whole stack,
// under many threads) and of a restarted ser2net.
#include "TestSupport.h"

// termios2 (TCGETS2) rather than <termios.h>, which it clashes with.
#include <asm/termbits.h>
#include <sys/ioctl.h>

using namespace selko::test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSource = "Data Channel Decorator/SLPReconnectingChannel.cpp:";
CommErrorRef library(int code, const std::string& text) { return foreignError(SelkoCommunicationErrorDomain, code, text); }

// What a listener heard (with the reason's message). It throws after taking note: the channel
// must keep that in.
struct Heard {
    std::mutex lock;
    std::vector<std::pair<SLKLinkEvent, std::string>> events;
    std::function<void(SLKLinkEvent, const CommErrorRef&)> listener() {
        return [this](SLKLinkEvent event, const CommErrorRef& reason) {
            (std::lock_guard<std::mutex>(lock), events.emplace_back(event, reason ? reason->message() : ""));
            throw std::runtime_error("a listener's own failure");
        };
    }
    bool reach(std::size_t n) { return eventually([&] { return std::lock_guard<std::mutex>(lock), events.size() >= n; }); }
};

// A port whose device can be taken away: while absent, opens fail as for a missing device node.
struct Plug : ScriptedChannel {
    std::atomic<bool> present{true};
    std::atomic<std::size_t> attempts{0};
    Plug() : ScriptedChannel(false) {}
    bool openWithTimeout(double timeout, CommErrorRef* error) override {
        ++attempts;
        if (!present && error)
            *error = library(4, "Error opening serial port /dev/x - gone(2).");
        return present && ScriptedChannel::openWithTimeout(timeout, error);
    }
};

// Writes `command` (and `end`) and reads until the answer to it is in, for up to 5 s.
std::string ask(SLKDataChannel& channel, const std::string& command, const char* end = "") {
    std::string got;
    EXPECT_TRUE(channel.write(SLKDataWithString((command + end).c_str())));
    for (const auto begun = Clock::now(); got.find("ACK " + command + "\n") == std::string::npos && secondsSince(begun) < 5;)
        got += text(channel.readWithTimeout(0.1));
    return got;
}

// Bad arguments are refused; over an open port the channel is open at once. Opening a missing
// device tries on the schedule until the timeout and fails with the last attempt's error: at 0,
// 20, 60, 140 ms and then every 80 ms up to the last at 500 ms, never more often. A close ends a
// FOREVER open at once (within the wait's bound, not the 60 s pause).
TEST_F(NothingLeftBehind, ReconnectingChannelOpening) {
    const auto port = std::make_shared<Plug>();
    const std::string first = "firstRetry must be a positive number of seconds",
                      longest = "longestRetry must be a number of seconds no less than firstRetry";
    const std::tuple<SLKDataChannelRef, SLKReconnectPolicy, std::string> rows[] = {
        {nullptr, {}, "channel cannot be nil"}, {port, {0, 1}, first}, {port, {std::nan(""), 1}, first},
        {port, {INFINITY, INFINITY}, first}, {port, {0.5, 0.25}, longest}, {port, {0.5, INFINITY}, longest}};
    for (const auto& [channel, policy, message] : rows) {
        CommErrorRef error;
        EXPECT_EQ(createReconnectingChannel(channel, policy, nullptr, &error), nullptr);
        expectError(error, 3, message, kSource);
    }
    EXPECT_FALSE(createReconnectingChannel(port, {0.5, 0.5}, nullptr)->isOpened());
    ASSERT_TRUE(port->openWithTimeout(0.0, nullptr));
    const auto over = createReconnectingChannel(port, {0.5, 0.5}, nullptr);
    CommErrorRef error;
    EXPECT_TRUE(over->isOpened() && over->close() && !port->isOpened() && !over->isOpened() && !over->close(&error));
    expectError(error, 2, "Device Already Closed", kSource);
    port->present = false, port->attempts = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(createReconnectingChannel(port, {0.02, 0.08}, nullptr)->openWithTimeout(0.5, &error));
    EXPECT_TRUE(secondsSince(start) >= 0.5 && port->attempts >= 5 && port->attempts <= 9) << port->attempts;
    EXPECT_EQ(error->message(), "Error opening serial port /dev/x - gone(2).");
    const auto waiting = createReconnectingChannel(port, {0.01, 60}, nullptr);
    port->attempts = 0;
    auto opening = std::async(std::launch::async, [&] { return waiting->openWithTimeout(-1.0, &error); });
    EXPECT_TRUE(eventually([&] { return port->attempts >= 4; }));
    EXPECT_TRUE(waiting->close() && !opening.get());
    expectError(error, 2, kClosed, kSource);
}

// A failed read (with NOW, as an event loop reads) or write that means the device is gone: Lost
// with that failure in that very call, the port closed, the read empty, the write code 4, and
// Restored once the device is back. Any other failure passes up unchanged.
TEST(ReconnectingChannel, LostDeviceOrPlainFailure) {
    const struct { bool write; CommErrorRef failure; bool lost, portCloses = false; } rows[] = {
        {false, library(5, "Device disconnected"), true},
        {false, library(5, "Select failed with error " + errnoText(EIO, " ")), true},
        {true, library(4, "Failed to write message with error = Broken pipe"), true},
        {false, library(5, "Select failed with error " + errnoText(EBADF, " ")), false},
        {true, library(4, "Failed to write message with error = Success"), false},
        {false, foreignError("other", 5, "Device disconnected"), false},
        {false, library(2, kClosed), false},        // while the port says it is open
        {false, library(2, kClosed), true, true}};  // closed by the port itself, as at a hang-up
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
        ASSERT_EQ(heard.events.size(), row.lost ? 1u : 0u) << row.failure->message();
        if (!row.lost) {
            EXPECT_TRUE(!done && error == row.failure && plug->isOpened());
            continue;
        }
        EXPECT_EQ(heard.events[0], std::make_pair(SLKLinkEvent::Lost, row.failure->message()));
        EXPECT_TRUE(done != row.write && !plug->isOpened() && channel->isOpened());
        EXPECT_EQ(error->message(), row.write ? "Device disconnected" : "");
        plug->failWrites(nullptr), plug->present = true;
        EXPECT_TRUE(heard.reach(2) && heard.events[1].first == SLKLinkEvent::Restored);
    }
}

// An instrument that echoes and answers every line with "ACK <line>", noting the lines. It comes
// and goes behind a link (replaced in one step) as udev names an adapter under /dev/serial/by-id:
// no open through the link reaches a pseudo-terminal that took the old one's number meanwhile.
struct LinkedInstrument {
    const std::string link = "/tmp/selko-reconnect-" + std::to_string(::getpid());
    std::mutex lock;
    Strings lines;
    std::unique_ptr<SimulatedInstrument> instrument;
    LinkedInstrument() { plugIn(); }
    ~LinkedInstrument() { std::remove(link.c_str()); }
    void plugIn() {
        const auto answer = [this](const std::string& line) {
            return std::lock_guard<std::mutex>(lock), lines.push_back(line), "ACK " + line + "\n";
        };
        instrument = std::make_unique<SimulatedInstrument>(answer, true);
        EXPECT_EQ(::symlink(instrument->path().c_str(), (link + "~").c_str()) | ::rename((link + "~").c_str(), link.c_str()), 0);
    }
    void unplug() { ::unlink(link.c_str()), instrument.reset(); }
    SLKDataChannelRef uart() { return createUARTChannel(("uart://" + link).c_str(), nullptr); }
};

// Unplug/replug cycles under transformer, echo removal, active and reconnecting channel and UART:
// after each return the next exchange is exact both ways.
TEST_F(NothingLeftBehind, ReconnectingChannelUnplugReplugCycles) {
    LinkedInstrument device;
    Heard heard;
    const auto reconnecting = createReconnectingChannel(device.uart(), {0.01, 0.2}, heard.listener());
    const std::vector<SLKDataTransformerRef> in{createAggregatingTransformer(SLKDataWithString("\n"), false)},
        out{createAppendingTransformer(SLKDataWithString("\n"))};
    const auto top = createChannelTransformer(
        createEchoRemovalChannel(createActiveChannel(reconnecting), SLKDataWithString("\n")), &in, &out);
    ASSERT_TRUE(top->openWithTimeout(1.0));
    Strings sent;
    for (int cycle = 0; cycle <= (SELKO_SANITIZED ? 100 : 1000) && !HasFailure(); ++cycle) {
        if (cycle > 0) {
            device.unplug();
            ASSERT_TRUE(heard.reach(2 * cycle - 1));
            CommErrorRef error;
            EXPECT_FALSE(top->write(SLKDataWithString("lost"), &error));
            expectError(error, 4, "Device disconnected", kSource);
            if (cycle == 1) {   // a read of the outage waits out its timeout
                const auto start = Clock::now();
                EXPECT_TRUE(text(reconnecting->readWithTimeout(1.0)).empty() && secondsSince(start) >= 1.0);
            }
            device.plugIn();
            ASSERT_TRUE(heard.reach(2 * cycle));
        }
        sent.push_back("CMD " + std::to_string(cycle));
        ASSERT_EQ(ask(*top, sent.back()), "ACK " + sent.back() + "\n") << cycle;
    }
    EXPECT_EQ(text(top->readWithTimeout(0.2)), "");   // nothing delivered twice
    EXPECT_EQ((std::lock_guard<std::mutex>(device.lock), device.lines), sent);
    EXPECT_TRUE(top->close());
}

// Reads, writes, closes and opens from several threads while the device comes and goes; clean
// under ThreadSanitizer. Every failure is one of the outage's or the closed channel's.
TEST_F(NothingLeftBehind, ReconnectingChannelUnderThreadsWhileTheDeviceComesAndGoes) {
    LinkedInstrument device;
    Heard heard;
    const auto channel = createReconnectingChannel(device.uart(), {0.002, 0.01}, heard.listener());
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
    // The rounds go on (ten seconds at most) until outages were heard: whether one falls while the
    // channel is open and in use depends on the threads' pace, slow under a sanitizer.
    for (int round = 0; round < 1000 && (round < (SELKO_SANITIZED ? 30 : 100) ||
                                         (std::lock_guard<std::mutex>(heard.lock), heard.events.size() <= 2)); ++round)
        device.unplug(), std::this_thread::sleep_for(5ms), device.plugIn(), std::this_thread::sleep_for(5ms);
    stop = true;
    threads.clear();
    channel->close();
    ASSERT_GT(heard.events.size(), 2u);
    for (std::size_t i = 1; i < heard.events.size(); ++i)   // Restored only ever follows Lost
        EXPECT_FALSE(heard.events[i].first == SLKLinkEvent::Restored && heard.events[i - 1].first != SLKLinkEvent::Lost);
}

// ser2net restarted under an rfc2217:// stack: the exchanges resume and the reopening negotiates
// the line speed again (the test sets the line to another speed while the server is down).
TEST_F(NothingLeftBehind, ReconnectingChannelOverARestartedSer2Net) {
    LinkedInstrument device;
    Ser2NetServer server(device.instrument->path(), device.instrument->path());
    if (!server.started())
        GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    const SLKOptions options{{SELKO_COMMUNICATION_UART_BAUD, 19200LL}};
    Heard heard;
    const auto active = createActiveChannel(createReconnectingChannel(
        createChannelForURL(server.rfc2217URL().c_str(), &options), {0.05, 0.2}, heard.listener()));
    ASSERT_TRUE(active->openWithTimeout(5.0));
    termios2 line{};
    const auto speed = [&] { return ::ioctl(device.instrument->slaveFd(), TCGETS2, &line) == 0 ? line.c_ospeed : 0u; };
    EXPECT_EQ(ask(*active, "FIRST", "\n"), "FIRST\nACK FIRST\n");
    EXPECT_EQ(speed(), 19200u);
    server.kill();
    ASSERT_TRUE(heard.reach(1));
    line.c_cflag = (line.c_cflag & ~CBAUD) | BOTHER, line.c_ispeed = line.c_ospeed = 4800;
    ASSERT_EQ(::ioctl(device.instrument->slaveFd(), TCSETS2, &line), 0);
    ASSERT_TRUE(server.restart());
    EXPECT_TRUE(heard.reach(2) && eventually([&] { return speed() == 19200u; })) << speed();
    EXPECT_EQ(ask(*active, "AGAIN", "\n"), "AGAIN\nACK AGAIN\n");
    EXPECT_TRUE(active->close());
}

} // namespace
