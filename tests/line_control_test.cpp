// Line control of the UART channel on pseudo-terminals: every line speed read back, flow control,
// option checks before the open, the serial-port calls, and finding the port under decorators.
#include "CountingChannel.h"
#include "LineSpeedProbe.h"
#include "TestHelpers.h"

// termios2 (TCGETS2) rather than <termios.h>, which it clashes with.
#include <asm/termbits.h>
#include <dlfcn.h>
#include <sys/ioctl.h>

#include <cmath>
#include <cstdarg>
#include <future>

using namespace selko::test;
using namespace std::chrono_literals;

namespace {

// A pseudo-terminal takes every speed as asked and reports no output queue (TIOCOUTQ is always 0
// on its slave). To play a UART, which rounds to its clock and holds bytes until they have left
// the wire, the library's requests pass through ioctl() below, which answers TCGETS2 with
// `reportedRate` (0: the real answer) and TIOCOUTQ with what `farEnd` has not read yet (-1: real).
std::atomic<unsigned> reportedRate{0};
std::atomic<int> farEnd{-1};

const std::string kPortSource = "Data Channel/SLPUARTSerialPort.cpp:";
const std::string kClosed = "Cannot communicate with closed devices";

std::shared_ptr<SLPUARTChannel> uartOn(const VirtualDevice& device, SLKOptions options = {}) {
    options.emplace(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false);
    return std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(device.url().c_str(), &options));
}

std::string refusal(const VirtualDevice& device, const std::string& doing, int number) {
    return "Error " + doing + " on " + device.path() + " - " + errnoText(number) + ".";
}

struct OpenPort {
    VirtualDevice device;
    std::shared_ptr<SLPUARTChannel> uart = uartOn(device);
    OpenPort() { EXPECT_TRUE(uart->openWithTimeout(0)); }
    ~OpenPort() { farEnd = -1; }
};

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    static const auto next = reinterpret_cast<int (*)(int, unsigned long, ...)>(::dlsym(RTLD_NEXT, "ioctl"));
    va_list arguments;
    va_start(arguments, request);
    auto* const argument = va_arg(arguments, termios2*);
    va_end(arguments);
    if (request == TIOCOUTQ && farEnd >= 0)
        return next(farEnd, FIONREAD, argument);
    const int result = next(fd, request, argument);
    if (request == TCGETS2 && result == 0 && reportedRate != 0)
        argument->c_ospeed = argument->c_ispeed = reportedRate;
    return result;
}

TEST(LineSpeed, EveryRateReadsBackAndAPortMoreThanTwoPercentOffFailsTheOpen) {
    VirtualDevice device;
    // {rate, what the driver reports (0: the pseudo-terminal's own answer), opens}. Named rates
    // follow unnamed ones, so that a stale input speed would show.
    const std::tuple<long long, unsigned, bool> rows[] = {
        {250000, 0, true},   {3000000, 0, true},        {31250, 0, true},       {1250000, 0, true},
        {9600, 0, true},     {1, 0, true},              {4294967295, 0, true},  {250000, 255000, true},
        {9600, 9408, true},  {250000, 230400, false},   {9600, 9793, false}};
    for (const auto& [rate, reported, opens] : rows) {
        CommErrorRef error;
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_BAUD, rate}});
        reportedRate = reported;
        EXPECT_EQ(uart->openWithTimeout(0, &error), opens) << rate << " " << reported;
        reportedRate = 0;
        LineSpeed line;
        ASSERT_TRUE(readLineSpeed(device.slaveFd(), line));
        const unsigned expected = opens && reported == 0 ? unsigned(rate) : line.outputSpeed;
        EXPECT_EQ(std::make_pair(line.outputSpeed, line.inputSpeed), std::make_pair(expected, expected)) << rate;
        if (!opens) {
            expectError(error, SLKErrorPortSystem, "Error setting baud rate " + std::to_string(rate) + " on " +
                            device.path() + " - the port runs at " + std::to_string(reported) + ".", kUARTSource);
        }
    }
}

TEST(LineOptions, FlowControlReadsBackAndBadValuesFailBeforeTheDeviceIsOpened) {
    VirtualDevice device;
    const std::tuple<std::string, unsigned, unsigned, unsigned, unsigned> flows[] = {
        {"none", 0, 0, 0, 0}, {"rts/cts", CRTSCTS, 0, 0, 0}, {"xon/xoff", 0, IXON | IXOFF, 0x11, 0x13}};
    for (const auto& [flow, cflag, iflag, start, stop] : flows) {
        // Low latency on a driver without it (a pseudo-terminal) leaves the port as it is.
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_FLOW_CONTROL, flow},
                                          {SELKO_COMMUNICATION_UART_LOW_LATENCY, true}});
        ASSERT_TRUE(uart->openWithTimeout(0)) << flow;
        termios2 line{};
        ASSERT_EQ(::ioctl(device.slaveFd(), TCGETS2, &line), 0);
        EXPECT_EQ(std::make_tuple(line.c_cflag & CRTSCTS, line.c_iflag & (IXON | IXOFF), unsigned(line.c_cc[VSTART]),
                                  unsigned(line.c_cc[VSTOP])), std::make_tuple(cflag, iflag, start, stop)) << flow;
    }
    const std::string flow = "Invalid flow control (Use none, rts/cts, or xon/xoff)";
    const std::string latency = "Invalid low latency (Use true or false)";
    const std::tuple<const char*, SLKOptionValue, std::string> bad[] = {
        {SELKO_COMMUNICATION_UART_FLOW_CONTROL, std::string("RTS/CTS"), flow},
        {SELKO_COMMUNICATION_UART_FLOW_CONTROL, true, flow},
        {SELKO_COMMUNICATION_UART_LOW_LATENCY, std::string("yes"), latency},
        {SELKO_COMMUNICATION_UART_LOW_LATENCY, 1LL, latency}};
    for (const auto& [key, value, message] : bad) {
        // The device does not exist: had it been opened first, the open would fail with code 4.
        int descriptor = -2;
        CommErrorRef error;
        EXPECT_FALSE(openPortWithError__no_cleanup(&descriptor, "uart:///nonexistent/tty", {{key, value}}, &error));
        EXPECT_EQ(descriptor, -1);
        expectError(error, SLKErrorInvalidArgument, message, kUARTSource);
    }
}

TEST(SerialPort, QueuedInputAndDiscardedQueues) {
    OpenPort port;
    long long bytes = -1;
    port.device.send("hello");
    EXPECT_TRUE(eventually([&] { return port.uart->queued(SLKQueue::Both, &bytes) && bytes == 5; }));
    ASSERT_TRUE(port.uart->discard(SLKQueue::Input));
    ASSERT_TRUE(port.uart->queued(SLKQueue::Input, &bytes));
    EXPECT_EQ(bytes, 0);
    // More than the far end's line buffer (4095 bytes) takes while it does not read: the rest
    // waits in the port, and is dropped there.
    const std::string block(8000, 'x');
    ASSERT_TRUE(port.uart->write(SLKDataWithString(block.c_str())));
    ASSERT_TRUE(port.uart->discard(SLKQueue::Output));
    EXPECT_LT(port.device.receive(block.size(), 500ms).size(), block.size());
}

TEST(SerialPort, DrainWaitsForTheFarEndTimesOutAndEndsWithTheChannel) {
    OpenPort port;
    farEnd = port.device.masterFd();
    CommErrorRef error;
    long long bytes = -1;
    const auto unsent = [&](const char* text) {
        return port.uart->write(SLKDataWithString(text)) && eventually([&] {
            return port.uart->queued(SLKQueue::Output, &bytes) && bytes == static_cast<long long>(std::strlen(text));
        });
    };
    ASSERT_TRUE(unsent("0123456789"));
    EXPECT_FALSE(port.uart->drain(0.05, &error));
    expectError(error, SLKErrorPortSystem, refusal(port.device, "draining output", ETIMEDOUT), kPortSource);
    auto drained = std::async(std::launch::async, [&] { return port.uart->drain(SELKO_COMMUNICATION_TIME_FOREVER); });
    EXPECT_EQ(drained.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(port.device.receive(10, 5s), "0123456789");
    EXPECT_TRUE(drained.get());

    ASSERT_TRUE(unsent("more"));
    auto closed = std::async(std::launch::async, [&] { return port.uart->drain(SELKO_COMMUNICATION_TIME_FOREVER, &error); });
    EXPECT_TRUE(port.uart->close());
    if (closed.wait_for(5s) != std::future_status::ready)
        port.device.receive(4, 1s); // ends the drain rather than hanging the test
    EXPECT_FALSE(closed.get());
    expectError(error, SLKErrorNotOpened, kClosed, kPortSource);
}

TEST(SerialPort, BreaksRefusalsBadArgumentsAndAClosedPort) {
    OpenPort port;
    SLPUARTChannel& p = *port.uart;
    CommErrorRef error;
    EXPECT_TRUE(p.sendBreak(0, &error));
    EXPECT_TRUE(p.sendBreak(0.02, &error));
    SLKModemLines lines;
    const std::string breakLength = "Invalid break length (Use 0 or a positive number of seconds)";
    const std::string timeout = "time out has an invalid value";
    // Each call fails on the open pseudo-terminal with its code and message, and with code 2 once closed.
    const std::tuple<std::function<bool(CommErrorRef*)>, int, std::string> rows[] = {
        {[&](CommErrorRef* e) { return p.setDTR(true, e); }, 4, refusal(port.device, "setting DTR", ENOTTY)},
        {[&](CommErrorRef* e) { return p.setRTS(false, e); }, 4, refusal(port.device, "setting RTS", ENOTTY)},
        {[&](CommErrorRef* e) { return p.modemLines(&lines, e); }, 4, refusal(port.device, "reading modem lines", ENOTTY)},
        {[&](CommErrorRef* e) { return p.modemLines(nullptr, e); }, 3, "lines cannot be nil"},
        {[&](CommErrorRef* e) { return p.sendBreak(-0.1, e); }, 3, breakLength},
        {[&](CommErrorRef* e) { return p.sendBreak(NAN, e); }, 3, breakLength},
        {[&](CommErrorRef* e) { return p.drain(-0.5, e); }, 3, timeout},
        {[&](CommErrorRef* e) { return p.drain(NAN, e); }, 3, timeout},
        {[&](CommErrorRef* e) { return p.queued(SLKQueue::Input, nullptr, e); }, 3, "bytes cannot be nil"},
        {[&](CommErrorRef* e) { return p.discard(SLKQueue(7), e); }, 3, "Invalid queue (Use Input, Output, or Both)"}};
    for (const bool open : {true, false}) {
        for (const auto& [call, code, message] : rows) {
            EXPECT_FALSE(call(&error)) << message;
            expectError(error, open ? code : 2, open ? message : kClosed, kPortSource);
        }
        ASSERT_TRUE(!open || p.close());
    }
}

TEST(SerialPortOf, FindsThePortUnderEveryDecoratorOrNamesTheChannelWithoutOne) {
    VirtualDevice device;
    const SLKDataChannelRef uart = uartOn(device);
    const SLKDataChannelRef stack = createChannelTransformer(
        createEchoRemovalChannel(createActiveChannel(createPassiveChannel(uart)), SLKDataWithString("\n")), nullptr,
        nullptr);
    EXPECT_EQ(SLKSerialPortOf(stack), std::dynamic_pointer_cast<SLKSerialPort>(uart));
    CommErrorRef error;
    EXPECT_EQ(SLKSerialPortOf(createPassiveChannel(std::make_shared<CountingChannel>(uart)), &error), nullptr);
    expectError(error, SLKErrorUnsupported, "selko::test::CountingChannel has no line control",
                "Data Channel/SLKSerialPort.cpp:");
}
