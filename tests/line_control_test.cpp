// Line control of the UART channel on pseudo-terminals: every line speed read back, flow control,
// option checks before the open, the serial-port calls, and finding the port under decorators.
// Where a pseudo-terminal cannot play a UART (every speed is taken as asked, no output queue is
// reported), DriverHook answers those two requests as a UART would.
#include <SelkoCommunication.h>

#include "CountingChannel.h"
#include "DriverHook.h"
#include "LineSpeedProbe.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <cmath>
#include <future>

using namespace selko::test;
using namespace std::chrono_literals;

namespace {

const std::string kSerialPortSource = "Data Channel/SLPUARTSerialPort.cpp:";
const std::string kClosed = "Cannot communicate with closed devices";

std::shared_ptr<SLPUARTChannel> uartOn(const VirtualDevice& device, SLKOptions options = {}) {
    options.emplace(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false);
    return std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(device.url().c_str(), &options));
}

std::string refusal(const VirtualDevice& device, const std::string& doing, int number) {
    return "Error " + doing + " on " + device.path() + " - " + errnoText(number) + ".";
}

using PortCall = std::function<bool(SLKSerialPort&, CommErrorRef*)>;

} // namespace

TEST(LineSpeed, EveryRateIsAppliedAndReadsBackExactly) {
    VirtualDevice device;
    // Named rates follow unnamed ones, so a stale input speed would show.
    for (const long long rate : {250000LL, 3000000LL, 31250LL, 1250000LL, 9600LL, 1LL, 4294967295LL}) {
        CommErrorRef error;
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_BAUD, rate}});
        ASSERT_TRUE(uart->openWithTimeout(0, &error)) << rate << ": " << error->message();
        LineSpeed speed;
        ASSERT_TRUE(readLineSpeed(device.slaveFd(), speed));
        EXPECT_EQ(speed.outputSpeed, rate);
        EXPECT_EQ(speed.inputSpeed, rate);
    }
}

TEST(LineSpeed, APortOffTheRateByMoreThanTwoPercentFailsTheOpen) {
    VirtualDevice device;
    const struct {
        long long requested;
        unsigned reported;
        bool opens;
    } rows[] = {{250000, 255000, true}, {250000, 230400, false}, {9600, 9408, true}, {9600, 9793, false}};
    for (const auto& row : rows) {
        CommErrorRef error;
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_BAUD, row.requested}});
        reportLineSpeed(row.reported);
        EXPECT_EQ(uart->openWithTimeout(0, &error), row.opens) << row.reported;
        reportLineSpeed(0);
        EXPECT_EQ(uart->isOpened(), row.opens);
        if (!row.opens)
            expectError(error, SLKErrorPortSystem,
                        "Error setting baud rate " + std::to_string(row.requested) + " on " + device.path() +
                            " - the port runs at " + std::to_string(row.reported) + ".",
                        kUARTSource);
    }
}

TEST(LineOptions, FlowControlReadsBackAndLowLatencyIsLeftWhereTheDriverHasNone) {
    VirtualDevice device;
    const struct {
        const char* flow;
        tcflag_t cflag, iflag;
        cc_t start, stop;
    } rows[] = {{"none", 0, 0, 0, 0}, {"rts/cts", CRTSCTS, 0, 0, 0}, {"xon/xoff", 0, IXON | IXOFF, 0x11, 0x13}};
    for (const auto& row : rows) {
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_FLOW_CONTROL, std::string(row.flow)},
                                          {SELKO_COMMUNICATION_UART_LOW_LATENCY, true}});
        ASSERT_TRUE(uart->openWithTimeout(0)) << row.flow;
        termios line{};
        ASSERT_EQ(::tcgetattr(device.slaveFd(), &line), 0);
        EXPECT_EQ(line.c_cflag & CRTSCTS, row.cflag) << row.flow;
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), row.iflag) << row.flow;
        EXPECT_EQ(line.c_cc[VSTART], row.start) << row.flow;
        EXPECT_EQ(line.c_cc[VSTOP], row.stop) << row.flow;
    }
}

TEST(LineOptions, BadValuesFailBeforeTheDeviceIsOpened) {
    const std::string flow = "Invalid flow control (Use none, rts/cts, or xon/xoff)";
    const std::string latency = "Invalid low latency (Use true or false)";
    const std::pair<SLKOptions, std::string> rows[] = {
        {{{SELKO_COMMUNICATION_UART_FLOW_CONTROL, std::string("RTS/CTS")}}, flow},
        {{{SELKO_COMMUNICATION_UART_FLOW_CONTROL, true}}, flow},
        {{{SELKO_COMMUNICATION_UART_LOW_LATENCY, std::string("yes")}}, latency},
        {{{SELKO_COMMUNICATION_UART_LOW_LATENCY, 1LL}}, latency},
    };
    for (const auto& [options, message] : rows) {
        // The device does not exist: opening it would fail with code 4 instead.
        int descriptor = -2;
        CommErrorRef error;
        EXPECT_FALSE(openPortWithError__no_cleanup(&descriptor, "uart:///nonexistent/tty", options, &error));
        EXPECT_EQ(descriptor, -1);
        expectError(error, SLKErrorInvalidArgument, message, kUARTSource);
    }
}

class SerialPort : public NothingLeftBehind {
protected:
    void SetUp() override {
        NothingLeftBehind::SetUp();
        ASSERT_TRUE(uart->openWithTimeout(0));
    }
    void TearDown() override {
        reportOutputQueueOf(-1);
        if (uart->isOpened())
            uart->close();
        NothingLeftBehind::TearDown();
    }
    // Waits until the far end holds `count` unread bytes.
    bool farEndHolds(int count) {
        return eventually([&] {
            int held = -1;
            return ::ioctl(device.masterFd(), FIONREAD, &held) == 0 && held == count;
        });
    }

    VirtualDevice device;
    std::shared_ptr<SLPUARTChannel> uart = uartOn(device);
    CommErrorRef error;
    long long bytes = -1;
};

TEST_F(SerialPort, QueuedAndDiscardedInput) {
    device.send("hello");
    EXPECT_TRUE(eventually([&] { return uart->queued(SLKQueue::Input, &bytes) && bytes == 5; }));
    ASSERT_TRUE(uart->queued(SLKQueue::Both, &bytes));
    EXPECT_EQ(bytes, 5);
    ASSERT_TRUE(uart->discard(SLKQueue::Input, &error));
    ASSERT_TRUE(uart->queued(SLKQueue::Input, &bytes));
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(text(uart->readWithTimeout(0.05)), "");
}

TEST_F(SerialPort, DiscardedOutputNeverReachesTheFarEnd) {
    // More than the far end's line buffer takes while it does not read: the rest waits in the port.
    const std::string block(8000, 'x');
    ASSERT_TRUE(uart->write(SLKDataWithString(block.c_str())));
    ASSERT_TRUE(uart->discard(SLKQueue::Output, &error));
    EXPECT_LT(device.receive(block.size(), 500ms).size(), block.size());
}

TEST_F(SerialPort, DrainWaitsUntilTheFarEndHasReadEverything) {
    reportOutputQueueOf(device.masterFd());
    ASSERT_TRUE(uart->write(SLKDataWithString("0123456789")));
    ASSERT_TRUE(farEndHolds(10));
    EXPECT_FALSE(uart->drain(0.05, &error));
    expectError(error, SLKErrorPortSystem, refusal(device, "draining output", ETIMEDOUT), kSerialPortSource);
    ASSERT_TRUE(uart->queued(SLKQueue::Output, &bytes));
    EXPECT_EQ(bytes, 10);

    auto drained = std::async(std::launch::async, [&] { return uart->drain(SELKO_COMMUNICATION_TIME_FOREVER); });
    EXPECT_EQ(drained.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(device.receive(10, 5s), "0123456789");
    EXPECT_TRUE(drained.get());

    // A close ends a drain that would wait forever.
    ASSERT_TRUE(uart->write(SLKDataWithString("more")));
    ASSERT_TRUE(farEndHolds(4));
    CommErrorRef drainError;
    auto closed = std::async(std::launch::async, [&] { return uart->drain(SELKO_COMMUNICATION_TIME_FOREVER, &drainError); });
    ASSERT_TRUE(uart->close());
    if (closed.wait_for(5s) != std::future_status::ready)
        device.receive(4, 1s); // let the drain end rather than hang the test
    EXPECT_FALSE(closed.get());
    expectError(drainError, SLKErrorNotOpened, kClosed, kSerialPortSource);
}

TEST_F(SerialPort, BreaksAreSentAndModemLinesRefusedByAPseudoTerminal) {
    EXPECT_TRUE(uart->sendBreak(0, &error));
    EXPECT_TRUE(uart->sendBreak(0.02, &error));
    const std::pair<PortCall, std::string> rows[] = {
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.setDTR(true, e); }, "setting DTR"},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.setRTS(false, e); }, "setting RTS"},
        {[](SLKSerialPort& p, CommErrorRef* e) { SLKModemLines l; return p.modemLines(&l, e); }, "reading modem lines"},
    };
    for (const auto& [call, doing] : rows) {
        EXPECT_FALSE(call(*uart, &error)) << doing;
        expectError(error, SLKErrorPortSystem, refusal(device, doing, ENOTTY), kSerialPortSource);
    }
}

TEST_F(SerialPort, BadArgumentsAndAClosedPortAreRefused) {
    const std::string timeout = "time out has an invalid value";
    const std::string breakLength = "Invalid break length (Use 0 or a positive number of seconds)";
    const std::pair<PortCall, std::string> rows[] = {
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.sendBreak(-0.1, e); }, breakLength},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.sendBreak(NAN, e); }, breakLength},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.drain(-0.5, e); }, timeout},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.drain(NAN, e); }, timeout},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.modemLines(nullptr, e); }, "lines cannot be nil"},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.queued(SLKQueue::Input, nullptr, e); }, "bytes cannot be nil"},
        {[](SLKSerialPort& p, CommErrorRef* e) { return p.discard(SLKQueue(7), e); },
         "Invalid queue (Use Input, Output, or Both)"},
    };
    for (const auto& [call, message] : rows) {
        EXPECT_FALSE(call(*uart, &error)) << message;
        expectError(error, SLKErrorInvalidArgument, message, kSerialPortSource);
    }
    ASSERT_TRUE(uart->close());
    for (const PortCall& call : std::vector<PortCall>{
             [](SLKSerialPort& p, CommErrorRef* e) { return p.setDTR(true, e); },
             [](SLKSerialPort& p, CommErrorRef* e) { return p.setRTS(true, e); },
             [](SLKSerialPort& p, CommErrorRef* e) { SLKModemLines l; return p.modemLines(&l, e); },
             [](SLKSerialPort& p, CommErrorRef* e) { return p.sendBreak(0, e); },
             [](SLKSerialPort& p, CommErrorRef* e) { return p.discard(SLKQueue::Both, e); },
             [](SLKSerialPort& p, CommErrorRef* e) { return p.drain(0, e); },
             [](SLKSerialPort& p, CommErrorRef* e) { long long n; return p.queued(SLKQueue::Both, &n, e); }}) {
        error = nullptr;
        EXPECT_FALSE(call(*uart, &error));
        expectError(error, SLKErrorNotOpened, kClosed, kSerialPortSource);
    }
}

TEST(SerialPortOf, FindsThePortUnderEveryDecoratorOrSaysWhichChannelHasNone) {
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
