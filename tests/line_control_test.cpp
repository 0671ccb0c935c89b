// Line control of the UART channel on pseudo-terminals: every line speed read back, flow control,
// the serial-port calls, and finding the port under decorators.
#include "TestSupport.h"

// termios2 (TCGETS2) rather than <termios.h>, which it clashes with.
#include <asm/termbits.h>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstdarg>

using namespace selko::test;

namespace {

// A pseudo-terminal takes every speed as asked and reports no output queue (TIOCOUTQ is always 0
// on its slave). To play a UART, which rounds to its clock and holds bytes until they have left
// the wire, the library's requests pass through ioctl() below, which answers TCGETS2 with
// `reportedRate` (0: the real answer) and TIOCOUTQ with what `farEnd` has not read yet (-1: real).
// A pseudo-terminal has no modem lines either: TIOCMGET answers `modemBits` (-1: refused, as real).
// TCSETS2, the arbitrary-speed request, fails with `refuseArbitrarySpeed` when it is not 0.
// `outputQueueAsked` counts the TIOCOUTQ requests, to know that a drain has looked at the queue.
// read() below fails with `refuseReads` when it is not 0, as a failing driver would.
// Requests that set modem lines or RS-485 (TIOCMBIS, TIOCMBIC, TIOCMSET, TIOCGRS485, TIOCSRS485)
// are written to `lineRequests` as text. With `hasLineControl` the stand-in plays a UART that has
// them, whose RS-485 settings are `driverRS485`; otherwise they reach the pseudo-terminal, which
// refuses them. Only the test's own thread opens ports while these are looked at.
std::atomic<unsigned> reportedRate{0};
std::atomic<int> farEnd{-1}, modemBits{-1}, refuseArbitrarySpeed{0}, outputQueueAsked{0}, refuseReads{0};
std::atomic<bool> hasLineControl{false};
std::vector<std::string> lineRequests;
serial_rs485 driverRS485{};

std::string rs485Text(const serial_rs485& settings) {
    return "TIOCSRS485 " + std::to_string(settings.flags) + " " + std::to_string(settings.delay_rts_before_send) +
           " " + std::to_string(settings.delay_rts_after_send);
}

const std::string kPortSource = "Data Channel/SLPUARTSerialPort.cpp:";

std::shared_ptr<SLPUARTChannel> uartOn(const SimulatedInstrument& device, SLKOptions options = {}) {
    options.emplace(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false);
    return std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(device.url().c_str(), &options));
}

} // namespace

// Requests made without a third argument, or with an int by value, are passed on as they came;
// reading a pointer that was never passed would be undefined. Every other request carries a
// pointer, which the C library's own ioctl reads as void* too.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    static const auto next = reinterpret_cast<int (*)(int, unsigned long, ...)>(::dlsym(RTLD_NEXT, "ioctl"));
    switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
    case TIOCSBRK:
    case TIOCCBRK:
    case TIOCNOTTY: return next(fd, request);
    case TCFLSH:
    case TCSBRK:
    case TCSBRKP:
    case TCXONC:
    case TIOCSCTTY: {
        va_list arguments;
        va_start(arguments, request);
        const int value = va_arg(arguments, int);
        va_end(arguments);
        return next(fd, request, value);
    }
    default: break;
    }
    va_list arguments;
    va_start(arguments, request);
    void* const argument = va_arg(arguments, void*);
    va_end(arguments);
    outputQueueAsked += request == TIOCOUTQ;
    const std::pair<unsigned long, const char*> lineRequestNames[] = {
        {TIOCMBIS, "TIOCMBIS"}, {TIOCMBIC, "TIOCMBIC"}, {TIOCMSET, "TIOCMSET"}, {TIOCGRS485, "TIOCGRS485"}};
    for (const auto& [known, name] : lineRequestNames) {
        if (request == known)
            lineRequests.push_back(name + (known == TIOCGRS485 ? "" : " " + std::to_string(*static_cast<int*>(argument))));
    }
    if (request == TIOCSRS485)
        lineRequests.push_back(rs485Text(*static_cast<serial_rs485*>(argument)));
    if (hasLineControl && request == TIOCGRS485)
        *static_cast<serial_rs485*>(argument) = driverRS485;
    if (hasLineControl && request == TIOCSRS485)
        driverRS485 = *static_cast<serial_rs485*>(argument);
    if (hasLineControl && (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET ||
                           request == TIOCGRS485 || request == TIOCSRS485))
        return 0;
    if (request == TIOCOUTQ && farEnd >= 0)
        return next(farEnd, FIONREAD, argument);
    if (request == TIOCMGET && modemBits >= 0) {
        *static_cast<int*>(argument) = modemBits;
        return 0;
    }
    if (request == TCSETS2 && refuseArbitrarySpeed != 0) {
        errno = refuseArbitrarySpeed;
        return -1;
    }
    const int result = next(fd, request, argument);
    if (request == TCGETS2 && result == 0 && reportedRate != 0)
        static_cast<termios2*>(argument)->c_ospeed = static_cast<termios2*>(argument)->c_ispeed = reportedRate;
    return result;
}

extern "C" ssize_t read(int fd, void* buffer, size_t length) {
    static const auto next = reinterpret_cast<ssize_t (*)(int, void*, size_t)>(::dlsym(RTLD_NEXT, "read"));
    if (refuseReads != 0) {
        errno = refuseReads;
        return -1;
    }
    return next(fd, buffer, length);
}

TEST(LineSpeed, EveryRateReadsBackAndAPortMoreThanTwoPercentOffFailsTheOpen) {
    SimulatedInstrument device;
    // {rate, what the driver reports (0: the pseudo-terminal's own answer), the error number the
    // driver refuses the arbitrary-speed request with (0: none), opens}. Named rates follow
    // unnamed ones, so that a stale input speed would show. A failed open leaves no descriptor.
    const std::tuple<long long, unsigned, int, bool> rows[] = {
        {250000, 0, 0, true},      {3000000, 0, 0, true},      {31250, 0, 0, true},     {1250000, 0, 0, true},
        {9600, 0, 0, true},        {1, 0, 0, true},            {4294967295, 0, 0, true}, {250000, 255000, 0, true},
        {9600, 9408, 0, true},     {250000, 230400, 0, false}, {9600, 9793, 0, false},  {250000, 0, EINVAL, false},
        {4294967295, 0, EIO, false}};
    for (const auto& [rate, reported, refused, opens] : rows) {
        CommErrorRef error;
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_BAUD, rate}});
        reportedRate = reported;
        refuseArbitrarySpeed = refused;
        EXPECT_EQ(uart->openWithTimeout(0, &error), opens) << rate << " " << reported;
        reportedRate = 0;
        refuseArbitrarySpeed = 0;
        termios2 line{};
        EXPECT_EQ(::ioctl(device.slaveFd(), TCGETS2, &line), 0);
        const unsigned want = opens && reported == 0 ? unsigned(rate) : line.c_ospeed;
        EXPECT_EQ(std::make_tuple(line.c_ospeed, line.c_ispeed, line.c_cc[VMIN]), std::tuple(want, want, 1)) << rate;
        if (opens)
            continue;
        EXPECT_FALSE(uart->isOpened());
        EXPECT_EQ(portDescriptors(device).size(), 0u) << rate;
        if (refused != 0)
            expectError(error, SLKErrorPortSystem,
                        "Error " + std::to_string(refused) + " calling ioctl( ..., IOSSIOSPEED, ... )", kUARTSource);
        else
            expectError(error, SLKErrorPortSystem, "Error setting baud rate " + std::to_string(rate) + " on " +
                            device.path() + " - the port runs at " + std::to_string(reported) + ".", kUARTSource);
    }
    // Low latency on a driver without it (a pseudo-terminal) leaves the port as it is.
    const std::tuple<std::string, unsigned, unsigned, unsigned, unsigned> flows[] = {
        {"none", 0, 0, 0, 0}, {"rts/cts", CRTSCTS, 0, 0, 0}, {"xon/xoff", 0, IXON | IXOFF, 0x11, 0x13}};
    for (const auto& [flow, cflag, iflag, start, stop] : flows) {
        const auto uart = uartOn(device, {{SELKO_COMMUNICATION_UART_FLOW_CONTROL, flow},
                                          {SELKO_COMMUNICATION_UART_LOW_LATENCY, true}});
        ASSERT_TRUE(uart->openWithTimeout(0)) << flow;
        termios2 line{};
        EXPECT_EQ(::ioctl(device.slaveFd(), TCGETS2, &line), 0);
        EXPECT_EQ(std::make_tuple(line.c_cflag & CRTSCTS, line.c_iflag & (IXON | IXOFF), unsigned(line.c_cc[VSTART]),
                                  unsigned(line.c_cc[VSTOP])), std::make_tuple(cflag, iflag, start, stop)) << flow;
    }
}

// Each call that fails on a pseudo-terminal, with its code and message, then queued input and
// output, discarding either, draining (a timeout, the far end reading, and a close while a drain
// waits), every call failing with code 2 once closed, and the port found under decorators.
TEST(SerialPort, RefusalsQueuesDrainsAndAClosedPort) {
    SimulatedInstrument device;
    const auto port = uartOn(device);
    ASSERT_TRUE(port->openWithTimeout(0));
    CommErrorRef error;
    EXPECT_TRUE(port->sendBreak(0, &error) && port->sendBreak(0.02, &error));
    SLKModemLines lines;
    const auto refusal = [&](const std::string& doing, int number = ENOTTY) {
        return "Error " + doing + " on " + device.path() + " - " + errnoText(number) + ".";
    };
    const std::string breakLength = "Invalid break length (Use 0 or a positive number of seconds)",
                      timeout = "time out has an invalid value";
    const std::tuple<std::function<bool(CommErrorRef*)>, int, std::string> rows[] = {
        {[&](CommErrorRef* e) { return port->setDTR(true, e); }, 4, refusal("setting DTR")},
        {[&](CommErrorRef* e) { return port->setRTS(false, e); }, 4, refusal("setting RTS")},
        {[&](CommErrorRef* e) { return port->modemLines(&lines, e); }, 4, refusal("reading modem lines")},
        {[&](CommErrorRef* e) { return port->modemLines(nullptr, e); }, 3, "lines cannot be nil"},
        {[&](CommErrorRef* e) { return port->sendBreak(-0.1, e); }, 3, breakLength},
        {[&](CommErrorRef* e) { return port->sendBreak(NAN, e); }, 3, breakLength},
        {[&](CommErrorRef* e) { return port->drain(-0.5, e); }, 3, timeout},
        {[&](CommErrorRef* e) { return port->drain(NAN, e); }, 3, timeout},
        {[&](CommErrorRef* e) { return port->queued(SLKQueue::Input, nullptr, e); }, 3, "bytes cannot be nil"},
        {[&](CommErrorRef* e) { return port->discard(SLKQueue(7), e); }, 3,
         "Invalid queue (Use Input, Output, or Both)"}};
    for (const auto& [call, code, message] : rows) {
        EXPECT_FALSE(call(&error)) << message;
        expectError(error, code, message, kPortSource);
    }
    // A driver that has modem lines: each is read from its own bit.
    for (const auto& [bits, letters] : {std::pair{TIOCM_CTS | TIOCM_CAR, "CH"}, {TIOCM_DSR | TIOCM_RNG, "DR"}}) {
        modemBits = bits;
        EXPECT_EQ(modemLineLetters(*port), letters);
    }
    modemBits = -1;

    farEnd = device.masterFd();
    const auto queuedComesTo = [&](SLKQueue queue, long long count) {
        return eventually([&, bytes = -1LL]() mutable { return port->queued(queue, &bytes) && bytes == count; });
    };
    device.send("hello");
    EXPECT_TRUE(queuedComesTo(SLKQueue::Both, 5));
    EXPECT_TRUE(port->discard(SLKQueue::Input) && queuedComesTo(SLKQueue::Input, 0));
    ASSERT_TRUE(port->write(SLKDataWithString("0123456789")) && queuedComesTo(SLKQueue::Output, 10));
    EXPECT_FALSE(port->drain(0.05, &error));
    expectError(error, SLKErrorPortSystem, refusal("draining output", ETIMEDOUT), kPortSource);
    auto drained = std::async(std::launch::async, [&] { return port->drain(SELKO_COMMUNICATION_TIME_FOREVER); });
    EXPECT_EQ(device.receive(10, 5s), "0123456789");
    EXPECT_TRUE(drained.get());
    // More than the far end's line buffer (4095 bytes) takes while it does not read: the rest
    // waits in the port, and is dropped there.
    ASSERT_TRUE(port->write(SLKDataWithString(std::string(8000, 'x').c_str())) && port->discard(SLKQueue::Output));
    EXPECT_LT(device.receive(8000, 500ms).size(), 8000u);
    ASSERT_TRUE(port->write(SLKDataWithString("more")) && queuedComesTo(SLKQueue::Output, 4));
    // The close comes once the drain has found bytes unsent, so that it ends a waiting drain.
    const int asked = outputQueueAsked;
    auto closed = std::async(std::launch::async, [&] { return port->drain(SELKO_COMMUNICATION_TIME_FOREVER, &error); });
    EXPECT_TRUE(eventually([&] { return outputQueueAsked > asked; }));
    EXPECT_TRUE(port->close());
    EXPECT_FALSE(closed.get());
    expectError(error, SLKErrorNotOpened, kClosed, kPortSource);
    // So does a break that a close cuts short.
    ASSERT_TRUE(port->openWithTimeout(0));
    error.reset();
    auto breaking = blockedCall([&] { return port->sendBreak(10.0, &error); }, blockedInSelect);
    EXPECT_TRUE(port->close());
    EXPECT_FALSE(breaking.get());
    expectError(error, SLKErrorNotOpened, kClosed, kPortSource);
    farEnd = -1;
    for (const auto& [call, code, message] : rows) {
        EXPECT_FALSE(call(&error)) << message;
        expectError(error, SLKErrorNotOpened, kClosed, kPortSource);
    }
    // A driver whose read fails: the read reports it and the channel closes.
    ASSERT_TRUE(port->openWithTimeout(0));
    device.send("x");
    refuseReads = EIO;
    EXPECT_EQ(port->readWithTimeout(1.0, &error), nullptr);
    refuseReads = 0;
    expectError(error, SLKErrorRead, "Select failed with error " + errnoText(EIO, " "), kDescriptorSource);
    EXPECT_FALSE(port->isOpened());

    const SLKDataChannelRef below = createActiveChannel(createPassiveChannel(port));
    const SLKDataChannelRef echo = createEchoRemovalChannel(below, SLKDataWithString("\n"));
    EXPECT_EQ(SLKSerialPortOf(createChannelTransformer(echo, nullptr, nullptr)), port);
    EXPECT_EQ(SLKSerialPortOf(createPassiveChannel(std::make_shared<ScriptedChannel>()), &error), nullptr);
    expectError(error, SLKErrorUnsupported, "selko::test::ScriptedChannel has no line control",
                "Data Channel/SLKSerialPort.cpp:");
}

// DTR, RTS and RS-485 at open: what reaches a driver that has them, in order; on a
// pseudo-terminal, which has none, the refusal, with the port left closed; bad values refused
// before the device is opened. "off" reads the driver's settings first and only turns RS-485 off
// where it is on (the rows share the driver, so the first "off" finds the mode set just before).
TEST(LineAtOpen, ReachesTheDriverOrFailsTheOpenLeavingThePortClosed) {
    SimulatedInstrument device;
    const auto level = [](const char* request, int bits) { return request + (" " + std::to_string(bits)); };
    const auto rs485 = [](int flags, unsigned before, unsigned after) {
        serial_rs485 settings{};
        settings.flags = static_cast<__u32>(flags);
        settings.delay_rts_before_send = before;
        settings.delay_rts_after_send = after;
        return rs485Text(settings);
    };
    const auto text = [](const char* value) { return SLKOptionValue(std::string(value)); };
    const char *dtr = SELKO_COMMUNICATION_UART_DTR, *rts = SELKO_COMMUNICATION_UART_RTS,
               *mode = SELKO_COMMUNICATION_UART_RS485, *before = SELKO_COMMUNICATION_UART_RS485_DELAY_BEFORE,
               *after = SELKO_COMMUNICATION_UART_RS485_DELAY_AFTER;
    const struct {
        SLKOptions options;
        std::vector<std::string> requests;
        std::string refused;   // what a pseudo-terminal refuses ("": it opens)
    } rows[] = {
        {{{dtr, false}}, {level("TIOCMBIC", TIOCM_DTR)}, "DTR"},
        {{{rts, true}, {dtr, true}}, {level("TIOCMBIS", TIOCM_DTR), level("TIOCMBIS", TIOCM_RTS)}, "DTR"},
        {{{rts, false}, {mode, text("rts-on-send")}, {before, 5LL}, {after, 4294967295LL}},
         {level("TIOCMBIC", TIOCM_RTS), rs485(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 5, 4294967295u)}, "RTS"},
        {{{mode, text("rts-after-send")}, {before, 0LL}, {after, 7LL}}, {rs485(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, 0, 7)},
         "RS-485"},
        {{{mode, text("off")}}, {"TIOCGRS485", rs485(SER_RS485_RTS_AFTER_SEND, 0, 7)}, ""},
        {{{mode, text("off")}, {before, 3LL}}, {"TIOCGRS485"}, ""},
        {{}, {}, ""}};
    for (const auto& row : rows) {
        for (const bool driverHasThem : {true, false}) {
            lineRequests.clear();
            hasLineControl = driverHasThem;
            CommErrorRef error;
            const auto uart = uartOn(device, row.options);
            const bool opened = uart->openWithTimeout(0, &error);
            hasLineControl = false;
            EXPECT_EQ(opened, driverHasThem || row.refused.empty()) << row.refused;
            EXPECT_EQ(uart->isOpened(), opened);
            if (driverHasThem)
                EXPECT_EQ(lineRequests, row.requests);
            else if (!opened)
                expectError(error, SLKErrorPortSystem,
                            "Error setting " + row.refused + " on " + device.path() + " - " + errnoText(ENOTTY) + ".",
                            kUARTSource);
            EXPECT_EQ(portDescriptors(device).size(), opened ? 1u : 0u);
            uart->close();
        }
    }
    const std::string rs485Modes = "Invalid RS-485 mode (Use off, rts-on-send, or rts-after-send)",
                      delays = " (Use 0 or a positive integer of milliseconds)";
    const std::pair<SLKOptions, std::string> refusals[] = {
        {{{dtr, 1LL}}, "Invalid DTR (Use true or false)"}, {{{rts, text("on")}}, "Invalid RTS (Use true or false)"},
        {{{mode, text("RTS-ON-SEND")}}, rs485Modes}, {{{mode, true}}, rs485Modes},
        {{{before, -1LL}}, "Invalid RS-485 delay before send" + delays},
        {{{after, text("5")}}, "Invalid RS-485 delay after send" + delays},
        {{{after, 4294967296LL}}, "Invalid RS-485 delay after send" + delays}};
    for (const auto& [options, message] : refusals) {
        int descriptor = 0;
        CommErrorRef error;
        EXPECT_FALSE(openPortWithError__no_cleanup(&descriptor, device.url().c_str(), options, &error));
        EXPECT_EQ(descriptor, -1) << message;
        expectError(error, SLKErrorInvalidArgument, message, "Data Channel/SLKLineSettings.cpp:");
    }
}
