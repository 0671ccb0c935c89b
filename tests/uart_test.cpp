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
const SLKOptions kShared{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}};

termios settings(const VirtualDevice& device) {
    termios record{};
    EXPECT_EQ(::tcgetattr(device.slaveFd(), &record), 0);
    return record;
}

int exclusiveFlag(const VirtualDevice& device) {
    int flag = -1;
    EXPECT_EQ(::ioctl(device.slaveFd(), TIOCGEXCL, &flag), 0);
    return flag;
}

int descriptorsOn(const VirtualDevice& device) { return static_cast<int>(portDescriptors(device).size()); }

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

std::shared_ptr<SLPUARTChannel> uartOn(const VirtualDevice& device, const SLKOptions* options = &kShared) {
    return std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(device.url().c_str(), options));
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
    VirtualDevice device;
    termios start = settings(device); // control flags the open must clear, and CLOCAL, which it keeps
    start.c_cflag |= HUPCL | CRTSCTS | CLOCAL;
    ASSERT_EQ(::tcsetattr(device.slaveFd(), TCSANOW, &start), 0);
    ASSERT_TRUE(std::get<0>(openOnce(device.url(), {})));
    const termios line = settings(device);
    EXPECT_EQ(std::make_tuple(line.c_iflag, line.c_oflag, line.c_lflag, line.c_cc[VMIN], line.c_cc[VTIME]),
              std::make_tuple(0u, 0u, 0u, cc_t(1), cc_t(1)));
    const tcflag_t kept = line.c_cflag & (CREAD | CLOCAL | HUPCL | CRTSCTS);
    EXPECT_EQ(std::make_tuple(kept, ::cfgetospeed(&line), ::cfgetispeed(&line)),
              std::make_tuple(tcflag_t(CREAD | CLOCAL), B115200, B115200));
    const std::string url = device.url(), path = device.path(), lock = "Invalid exclusive lock (Use true or false)",
                      flow = "Invalid flow control (Use none, rts/cts, or xon/xoff)",
                      notTTY = " /dev/null - " + errnoText(ENOTTY) + ".\n";
    const auto on = [](const char* key, SLKOptionValue value) { return SLKOptions{{key, value}}; };
    const auto mode = [&](const char* text) { return on(SELKO_COMMUNICATION_UART_MODE, std::string(text)); };
    const auto baud = [&](SLKOptionValue value) { return on(SELKO_COMMUNICATION_UART_BAUD, value); };
    std::vector<std::tuple<std::string, SLKOptions, int, std::string, bool>> rows = {
        // "localhost" or no authority, percent-decoding, and mode characters past the third ignored.
        {"uart://LocalHost" + path, {}, 0, "", true}, {"uart:" + path, mode("8N1x"), 0, "", true},
        {"uart:///dev/%70ts%2F" + path.substr(std::strlen("/dev/pts/")), {}, 0, "", true},
        {"uart:///nonexistent/%5Atty", mode("9N1"), 4, // the node is opened before the mode is read
         "Error opening serial port /nonexistent/Ztty - " + errnoText(ENOENT) + ".", false},
        {"uart:///dev/null", {}, 4, "Error setting TIOCEXCL on" + notTTY, true},
        {"uart:///dev/null", kShared, 4, "Error getting tty attributes" + notTTY, true},
        {url, mode("8n1"), 3, kParity, true}, {url, mode("8N"), 3, kStop, true}, // a short mode ends in invalid ones
        {url, on(SELKO_COMMUNICATION_UART_MODE, 8LL), 3, kSize, true}, // not a string: an empty mode
        {url, baud(std::string("9600")), 3, kBaud, true}, {url, baud(0LL), 3, kBaud, true},
        {url, baud(1LL << 32), 3, kBaud, true}, {url, on(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, 1LL), 3, lock, true},
        // Flow control and low latency are checked before the node is opened.
        {url, on(SELKO_COMMUNICATION_UART_FLOW_CONTROL, std::string("RTS/CTS")), 3, flow, false},
        {url, on(SELKO_COMMUNICATION_UART_FLOW_CONTROL, true), 3, flow, false},
        {url, on(SELKO_COMMUNICATION_UART_LOW_LATENCY, std::string("yes")), 3,
         "Invalid low latency (Use true or false)", false}};
    // URLs no device path comes from: a host, a query, a fragment, a bad or NUL escape.
    for (const std::string& bad : {"uart://otherhost" + path, "uart://user@localhost" + path, url + "?speed=1",
                                   url + "#frag", url + "%2", url + "%zz", url + "%00"})
        rows.emplace_back(bad, SLKOptions{}, 4, "Error opening serial port " + bad + " - " + errnoText(EINVAL) + ".",
                          false);
    for (const auto& [target, extra, code, message, opened] : rows) {
        const termios before = settings(device);
        const auto [result, handedBack, error] = openOnce(target, extra);
        EXPECT_EQ(std::make_tuple(result, handedBack), std::make_tuple(!code, opened ? 1 : -1)) << target << message;
        if (code != 0) {
            expectError(error, code, message, kUARTSource);
            const termios after = settings(device);
            EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << message;
        }
    }
}

// A channel's life: refusals in the wrong state; many opens and closes under a background reader,
// destruction, and opens that fail after the node was opened, none of which leaves a descriptor or
// exclusive use behind (as a user other than root, the next open would fail); the exchange; and a
// hang-up.
TEST(UARTChannel, LifeExchangeAndHangUp) {
    VirtualDevice device;
    device.startResponder(true);
    const int before = openDescriptorCount();
    auto channel = uartOn(device, nullptr);
    CommErrorRef error;
    EXPECT_FALSE(channel->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed", kUARTSource);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        const SLKDataChannelRef active = createActiveChannel(createUARTChannel(device.url().c_str(), nullptr));
        ASSERT_TRUE(active->openWithTimeout(1.0, &error)) << cycle << ": " << error->message();
        EXPECT_TRUE(cycle % 100 != 0 || (active->write(SLKDataWithString("r")) && readAtLeast(*active, 1) == "r"))
            << cycle;
        ASSERT_TRUE(active->close()) << cycle;
        ASSERT_EQ(exclusiveFlag(device), 0) << cycle;
    }
    for (const SLKOptions& bad : {SLKOptions{{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}},
                                  SLKOptions{{SELKO_COMMUNICATION_UART_BAUD, std::string("fast")}}}) {
        EXPECT_FALSE(uartOn(device, &bad)->openWithTimeout(1.0, &error));
        EXPECT_EQ(std::make_tuple(error->code(), descriptorsOn(device), exclusiveFlag(device)),
                  std::make_tuple(int(SLKErrorInvalidArgument), 0, 0));
    }
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorAlreadyOpened, "Device Already Opened", kUARTSource);
    EXPECT_EQ(std::make_tuple(channel->isOpened(), descriptorsOn(device), exclusiveFlag(device)),
              std::make_tuple(true, 1, 1));
    channel = uartOn(device);
    EXPECT_EQ(std::make_tuple(descriptorsOn(device), exclusiveFlag(device)), std::make_tuple(0, 0));
    // The background readers' own descriptors go with their threads, which end soon after close.
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == before; })) << "a descriptor leaked";

    ASSERT_TRUE(channel->openWithTimeout(1.0));
    for (const double invalid : {-0.5, -2.0, std::nan("")}) {
        EXPECT_EQ(channel->readWithTimeout(invalid, &error), nullptr) << invalid;
        expectError(error, SLKErrorInvalidArgument, "time out has an invalid value", kUARTSource);
    }
    error = nullptr;
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error)), "");
    ASSERT_TRUE(channel->write(SLKDataWithString("PING\n"), &error));
    EXPECT_EQ(readAtLeast(*channel, 5), "PING\n");
    // Empty data is nothing to write, a success; null is no data, refused without a record.
    EXPECT_TRUE(channel->write(SLKDataWithString(""), &error));
    EXPECT_FALSE(channel->write(nullptr, &error));
    EXPECT_EQ(error, nullptr);
    // The far end goes away: a write fails with code 4 and leaves the channel open; a read
    // reports the disconnect with code 5 and closes the channel.
    const int fd = portDescriptors(device).at(0);
    device.hangUp();
    // The descriptor read keeps its contract on a hung-up line: empty bytes, no failure.
    EXPECT_EQ(text(selko_communication_read(fd, 1.0, &error)), "");
    EXPECT_EQ(error, nullptr);
    EXPECT_FALSE(channel->write(SLKDataWithString("lost"), &error));
    expectError(error, SLKErrorPortSystem, std::string("Failed to write message with error = ") + std::strerror(EIO),
                kUARTSource);
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &error), nullptr);
    expectError(error, SLKErrorRead, "Device disconnected", kUARTSource);
    EXPECT_FALSE(channel->isOpened());
    // Closed: reads check the state before the timeout, writes before the data.
    EXPECT_EQ(channel->readWithTimeout(-0.5, &error), nullptr);
    expectError(error, SLKErrorNotOpened, kClosed, kUARTSource);
    EXPECT_FALSE(channel->write(SLKDataWithString(""), &error));
    expectError(error, SLKErrorNotOpened, kClosed, kUARTSource);
}

// Each round two opens race, and exactly one installs a descriptor.
TEST(UARTDescriptor, RacingOpensInstallOneDescriptor) {
    VirtualDevice device;
    auto channel = uartOn(device); // shared: under exclusive use a racing open may also fail with EBUSY
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> go{false};
        auto attempt = [&] {
            while (!go.load()) {
            }
            CommErrorRef error;
            return channel->openWithTimeout(1.0, &error) ? 0 : error->code();
        };
        auto first = std::async(std::launch::async, attempt), second = std::async(std::launch::async, attempt);
        go = true;
        const int a = first.get(), b = second.get();
        EXPECT_EQ(std::make_tuple(std::min(a, b), std::max(a, b), descriptorsOn(device)),
                  std::make_tuple(0, int(SLKErrorAlreadyOpened), 1));
        ASSERT_TRUE(channel->close());
    }
}

// A is closed while its reader runs and B opens, perhaps on A's old descriptor number, with bytes
// waiting; then A reopens. A's reader must never see B's bytes.
TEST(UARTDescriptor, ReaderNeverSeesAnotherPortsBytesWhileClosedAndReopened) {
    VirtualDevice deviceA, deviceB;
    for (const VirtualDevice* device : {&deviceA, &deviceB})
        ::fcntl(device->masterFd(), F_SETFL, ::fcntl(device->masterFd(), F_GETFL) | O_NONBLOCK);
    auto channelA = uartOn(deviceA), channelB = uartOn(deviceB);
    ASSERT_TRUE(channelA->openWithTimeout(1.0));
    std::atomic<bool> stop{false};
    std::atomic<long> bytesFromA{0}, foreign{0}, unexpectedErrors{0};
    std::thread feeder([&] {
        for (; !stop; std::this_thread::sleep_for(1ms))
            (void)!::write(deviceA.masterFd(), "AAAA", 4), (void)!::write(deviceB.masterFd(), "BBBB", 4);
    });
    std::thread reader([&] {
        while (!stop) {
            CommErrorRef error;
            const SLKData data = channelA->readWithTimeout(0.01, &error);
            unexpectedErrors += !data && (!error || error->code() != SLKErrorNotOpened);
            for (const std::uint8_t byte : data ? *data : SLKBytes())
                ++(byte == 'A' ? bytesFromA : foreign);
        }
    });
    bool ok = true;
    for (const auto end = std::chrono::steady_clock::now() + 2s; ok && std::chrono::steady_clock::now() < end;) {
        ok = channelA->close() && channelB->openWithTimeout(1.0);
        std::this_thread::sleep_for(2ms); // B open with bytes waiting
        ok = ok && channelB->close() && channelA->openWithTimeout(1.0);
        std::this_thread::sleep_for(1ms);
    }
    stop = true;
    feeder.join();
    reader.join();
    EXPECT_TRUE(ok) << "an open or close failed";
    EXPECT_EQ(std::make_tuple(foreign.load(), unexpectedErrors.load()), std::make_tuple(0L, 0L));
    EXPECT_GT(bytesFromA.load(), 0);
}
