// The UART channel on pseudo-terminals: the mode characters, how the port is opened and what
// refuses an open, the channel's states and exchange, and the ownership of its descriptor under
// concurrent use.
#include "TestSupport.h"

#include <sys/ioctl.h>
#include <termios.h>

using namespace selko::test;

namespace {

const std::string kSize = "Invalid Character Size (Use 5, 6, 7, or 8)", kParity = "Invalid parity (Use N, O, or E)",
                  kStop = "Invalid stop but (Use 1, or 2)", kBaud = "Invalid baud rate (Use a positive integer)";

termios settings(const SimulatedInstrument& device) {
    termios record{};
    EXPECT_EQ(::tcgetattr(device.slaveFd(), &record), 0);
    return record;
}

// How many of our descriptors are open on `device`'s port, and whether it is in exclusive use.
std::pair<int, int> portUse(const SimulatedInstrument& device) {
    int exclusive = -1;
    EXPECT_EQ(::ioctl(device.slaveFd(), TIOCGEXCL, &exclusive), 0);
    return {static_cast<int>(portDescriptors(device).size()), exclusive};
}

// One call of the port opener (whose defaults are the channel's): its result, the descriptor it
// handed back (1 for any open one, which is closed here as a caller must) and its record.
std::tuple<bool, int, CommErrorRef> openOnce(const std::string& url, const SLKOptions& options) {
    int fd = -2;
    CommErrorRef error;
    const bool result = openPortWithError__no_cleanup(&fd, url.c_str(), options, &error);
    if (fd >= 0)
        ::ioctl(fd, TIOCNXCL), ::close(fd);
    return {result, fd >= 0 ? 1 : fd, error};
}

} // namespace

TEST(ModeCharacters, SetTheControlFlagsOrRefuseLeavingTheRestAlone) {
    // Applied in order up to the first refusal; no other field of the record changes.
    const tcflag_t messy = CS6 | PARENB | PARODD | CSTOPB | CREAD;
    const std::tuple<tcflag_t, const char*, tcflag_t, std::string> rows[] = {
        {messy, "8N1", CS8 | PARODD | CREAD, ""}, {messy, "7E2", CS7 | PARENB | CSTOPB | CREAD, ""},
        {CS6 | CREAD, "5O1", CS5 | PARENB | PARODD | CREAD, ""}, {CREAD, "6N2", CS6 | CSTOPB | CREAD, ""},
        {messy, "9N1", PARENB | PARODD | CSTOPB | CREAD, kSize}, // CSIZE stays cleared
        {messy, "8n1", CS8 | PARENB | PARODD | CSTOPB | CREAD, kParity},
        {messy, "8N3", CS8 | PARODD | CSTOPB | CREAD, kStop}};
    for (const auto& [before, mode, after, refusal] : rows) {
        termios record{}, expected{};
        record.c_cflag = before, expected.c_cflag = after;
        record.c_iflag = expected.c_iflag = IGNBRK;
        CommErrorRef error;
        EXPECT_EQ(setCharacterSizeSpecifier(&record, mode[0], &error) &&
                      setParityMaskSpecifier(&record, mode[1], &error) && setStopBitSpecifier(&record, mode[2], &error),
                  refusal.empty()) << mode;
        EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0) << mode << std::hex << " " << record.c_cflag;
        if (!refusal.empty())
            expectError(error, SLKErrorInvalidArgument, refusal, kUARTSource);
    }
}

// The opener configures the line raw, or refuses with its code and message, handing back the
// descriptor when the node was opened first; a refused open never changes the line.
TEST(OpenPort, ConfiguresTheLineRawOrRefusesLeavingTheLineAlone) {
    SimulatedInstrument device;
    termios start = settings(device); // control flags the first open must clear, and CLOCAL, which it keeps
    start.c_cflag |= HUPCL | CRTSCTS | CLOCAL;
    ASSERT_EQ(::tcsetattr(device.slaveFd(), TCSANOW, &start), 0);
    const std::string url = device.url(), path = device.path(), lock = "Invalid exclusive lock (Use true or false)",
                      flow = "Invalid flow control (Use none, rts/cts, or xon/xoff)",
                      notTTY = " /dev/null - " + errnoText(ENOTTY) + ".\n";
    const std::string lowLatency = "Invalid low latency (Use true or false)";
    // The option values are judged by the line-option reader; everything else by the opener.
    const auto source = [&](const std::string& message) {
        return message == kBaud || message == lock || message == flow || message == lowLatency
                   ? "Data Channel/SLKLineSettings.cpp:"
                   : kUARTSource;
    };
    const auto on = [](const char* key, SLKOptionValue value) { return SLKOptions{{key, value}}; };
    const auto mode = [&](const char* text) { return on(SELKO_COMMUNICATION_UART_MODE, std::string(text)); };
    const auto baud = [&](SLKOptionValue value) { return on(SELKO_COMMUNICATION_UART_BAUD, value); };
    std::vector<std::tuple<std::string, SLKOptions, int, std::string, bool>> rows = {
        // "localhost" or no authority, percent-decoding, and mode characters past the third ignored.
        {"uart://LocalHost" + path, {}, 0, "", true}, {"uart:" + path, mode("8N1x"), 0, "", true},
        {"uart:///dev/%70ts%2F" + path.substr(std::strlen("/dev/pts/")), {}, 0, "", true},
        {"uart:///nonexistent/%0Atty", mode("9N1"), 4, // the node is opened before the mode is read
         "Error opening serial port /nonexistent/\ntty - " + errnoText(ENOENT) + ".", false},
        {"uart:///dev/null", {}, 4, "Error setting TIOCEXCL on" + notTTY, true},
        {"uart:///dev/null", kShared, 4, "Error getting tty attributes" + notTTY, true},
        {url, mode("8n1"), 3, kParity, true}, {url, mode("8N"), 3, kStop, true}, // a short mode ends in invalid ones
        {url, on(SELKO_COMMUNICATION_UART_MODE, 8LL), 3, kSize, true}, // not a string: an empty mode
        {url, baud(std::string("9600")), 3, kBaud, true}, {url, baud(0LL), 3, kBaud, true},
        {url, baud(1LL << 32), 3, kBaud, true}, {url, on(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, 1LL), 3, lock, true},
        // Flow control and low latency are checked before the node is opened.
        {url, on(SELKO_COMMUNICATION_UART_FLOW_CONTROL, std::string("RTS/CTS")), 3, flow, false},
        {url, on(SELKO_COMMUNICATION_UART_FLOW_CONTROL, true), 3, flow, false},
        {url, on(SELKO_COMMUNICATION_UART_LOW_LATENCY, std::string("yes")), 3, lowLatency, false}};
    // URLs no device path comes from: a host, a query, a fragment, a bad or NUL escape.
    for (const std::string& bad : {"uart://otherhost" + path, "uart://user@localhost" + path, url + "?speed=1",
                                   url + "#frag", url + "%2", url + "%zz", url + "%00"})
        rows.emplace_back(bad, SLKOptions{}, 4, "Error opening serial port " + bad + " - " + errnoText(EINVAL) + ".",
                          false);
    for (const auto& [target, extra, code, message, opened] : rows) {
        const termios before = settings(device);
        const auto [result, handedBack, error] = openOnce(target, extra);
        EXPECT_EQ(std::make_tuple(result, handedBack), std::make_tuple(!code, opened ? 1 : -1)) << target << message;
        const termios line = settings(device);
        if (code != 0) {
            expectError(error, code, message, source(message));
            EXPECT_EQ(std::memcmp(&before, &line, sizeof line), 0) << message;
            continue;
        }
        const tcflag_t kept = line.c_cflag & (CREAD | CLOCAL | HUPCL | CRTSCTS);
        EXPECT_EQ(std::make_tuple(line.c_iflag, line.c_oflag, line.c_lflag, line.c_cc[VMIN], line.c_cc[VTIME], kept,
                                  ::cfgetospeed(&line), ::cfgetispeed(&line)),
                  std::make_tuple(0u, 0u, 0u, cc_t(1), cc_t(1), tcflag_t(CREAD | CLOCAL), B115200, B115200)) << target;
    }
}

// A channel's life: refusals in the wrong state; a channel dropped while open, which leaves no
// descriptor (the fixture counts them all) or exclusive use behind (as a user other than root, the
// next open would fail); reads and writes with nothing to exchange; and a hang-up.
class UARTChannel : public NothingLeftBehind {};

TEST_F(UARTChannel, LifeExchangeAndHangUp) {
    SimulatedInstrument device;
    SLKDataChannelRef channel = createUARTChannel(device.url().c_str(), nullptr);
    CommErrorRef error;
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorAlreadyOpened, "Device Already Opened", kUARTSource);
    EXPECT_EQ(portUse(device), std::make_pair(1, 1));
    channel = createUARTChannel(device.url().c_str(), nullptr);
    EXPECT_EQ(portUse(device), std::make_pair(0, 0));

    ASSERT_TRUE(channel->openWithTimeout(1.0));
    for (const double invalid : {-0.5, -2.0, std::nan("")}) {
        EXPECT_EQ(channel->readWithTimeout(invalid, &error), nullptr) << invalid;
        expectError(error, SLKErrorInvalidArgument, "time out has an invalid value", kUARTSource);
    }
    error = nullptr;
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error)), "");
    // Empty data is nothing to write, a success; null is no data, refused without a record (the
    // slot is still empty after the descriptor read below).
    EXPECT_TRUE(channel->write(SLKDataWithString(""), &error));
    EXPECT_FALSE(channel->write(nullptr, &error));
    // The far end goes away: a write fails with code 4 and leaves the channel open (the read
    // after it finds it open); a read reports the disconnect with code 5 and closes the channel.
    const int fd = portDescriptors(device).at(0);
    device.hangUp();
    // The descriptor read keeps its contract on a hung-up line: empty bytes, no failure.
    EXPECT_EQ(text(selko_communication_read(fd, 1.0, &error)), "");
    EXPECT_EQ(error, nullptr);
    EXPECT_FALSE(channel->write(SLKDataWithString("lost"), &error));
    expectError(error, SLKErrorPortSystem, "Failed to write message with error = "s + std::strerror(EIO), kUARTSource);
    EXPECT_EQ(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &error), nullptr);
    expectError(error, SLKErrorRead, "Device disconnected", kUARTSource);
    // Closed: reads check the state before the timeout, writes before the data.
    EXPECT_EQ(channel->readWithTimeout(-0.5, &error), nullptr);
    expectError(error, SLKErrorNotOpened, kClosed, kUARTSource);
    EXPECT_FALSE(channel->write(SLKDataWithString(""), &error));
    expectError(error, SLKErrorNotOpened, kClosed, kUARTSource);
}

// Two threads open one channel at once, both perhaps past the check for an open channel: one
// wins, the other fails with code 1 and closes the port it opened meanwhile, leaving the winner's
// descriptor the only one; the close leaves none. The threads start together, round after round.
TEST_F(UARTChannel, OfTwoOpensAtOnceOneFailsAndKeepsNoDescriptor) {
    SimulatedInstrument device;
    const SLKDataChannelRef channel = createUARTChannel(device.url().c_str(), &kShared);
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        std::atomic<int> arrived{0};
        const auto open = [&] {
            for (++arrived; arrived < 2;)
                std::this_thread::yield();
            CommErrorRef error;
            return channel->openWithTimeout(1.0, &error) ? nullptr : error;
        };
        auto other = std::async(std::launch::async, open);
        const CommErrorRef mine = open(), theirs = other.get();
        ASSERT_NE(mine == nullptr, theirs == nullptr) << "round " << round;
        expectError(mine ? mine : theirs, SLKErrorAlreadyOpened, "Device Already Opened", kUARTSource);
        EXPECT_EQ(portDescriptors(device).size(), 1u) << "round " << round;
        EXPECT_TRUE(channel->close());
        EXPECT_EQ(portDescriptors(device).size(), 0u) << "round " << round;
    }
}

// A is closed while its reader runs and B opens, perhaps on A's old descriptor number, with bytes
// waiting; then A reopens. A's reader must never see B's bytes (yet see A's), and no close under
// it may leave A's port held: a descriptor open on it or its exclusive use.
TEST(UARTDescriptor, ReaderNeverSeesAnotherPortsBytesWhileClosedAndReopened) {
    SimulatedInstrument deviceA, deviceB;
    const SLKDataChannelRef channelA = openedUART(deviceA);
    const SLKDataChannelRef channelB = createUARTChannel(deviceB.url().c_str(), nullptr);
    std::atomic<bool> stop{false};
    std::atomic<long> bytesFromA{0}, foreign{0}, unexpectedErrors{0};
    std::thread reader([&] {
        while (!stop) {
            CommErrorRef error;
            const SLKData data = channelA->readWithTimeout(0.01, &error);
            unexpectedErrors += !data && (!error || error->code() != SLKErrorNotOpened);
            for (const std::uint8_t byte : data ? *data : SLKBytes())
                ++(byte == 'A' ? bytesFromA : foreign);
        }
    });
    // B's bytes pile up unread in its port: at most some 700 rounds of 4 bytes, far below what a
    // pseudo-terminal holds, so no send blocks.
    bool ok = true;
    for (const auto end = std::chrono::steady_clock::now() + 2s; ok && std::chrono::steady_clock::now() < end;) {
        ok = channelA->close() && portUse(deviceA) == std::make_pair(0, 0) && channelB->openWithTimeout(1.0);
        deviceB.send("BBBB");
        std::this_thread::sleep_for(2ms); // B open with bytes waiting
        ok = ok && channelB->close() && channelA->openWithTimeout(1.0);
        deviceA.send("AAAA");
        std::this_thread::sleep_for(1ms);
    }
    // A is open with its bytes waiting: the reader gets them however few rounds it had.
    EXPECT_TRUE(!ok || eventually([&] { return bytesFromA > 0; }));
    stop = true;
    reader.join();
    EXPECT_TRUE(ok) << "an open or close failed, or a close left the port held";
    EXPECT_EQ(std::make_tuple(foreign.load(), unexpectedErrors.load()), std::make_tuple(0L, 0L));
}

// Another program holds the port exclusively (root can open it all the same): none of our opens,
// failed or not, exclusive or not, and none of our closes takes its lock away. A lock we set
// ourselves goes with our close, also after an open that failed once it was set (an invalid mode,
// judged after the node is opened: a channel's open reports it as the opener does).
TEST_F(UARTChannel, OnlyTheLockThisChannelSetIsReleased) {
    SimulatedInstrument device;
    const SLKOptions badMode{{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}};
    const auto attempt = [&](const SLKOptions& options) {
        const SLKDataChannelRef channel = createUARTChannel(device.url().c_str(), &options);
        CommErrorRef error;
        int exclusive = 0;
        ::ioctl(device.slaveFd(), TIOCGEXCL, &exclusive);
        if (channel->openWithTimeout(1.0, &error))
            EXPECT_TRUE(channel->close());
        else if (exclusive != 0 && ::geteuid() != 0)
            EXPECT_EQ(error ? error->code() : 0, SLKErrorPortSystem);   // the lock refuses all but root
        else
            expectError(error, SLKErrorInvalidArgument, kSize, kUARTSource);   // the bad mode alone fails
    };
    ASSERT_EQ(::ioctl(device.slaveFd(), TIOCEXCL), 0);
    for (const SLKOptions& options : {SLKOptions{}, kShared, badMode}) {
        attempt(options);
        EXPECT_EQ(portUse(device), std::make_pair(0, 1)) << "another program's lock was taken away";
    }
    ASSERT_EQ(::ioctl(device.slaveFd(), TIOCNXCL), 0);
    for (const SLKOptions& options : {SLKOptions{}, badMode}) {
        attempt(options);
        EXPECT_EQ(portUse(device), std::make_pair(0, 0)) << "our own lock stayed";
    }
}
