// Opening and configuring a port: the mode characters on termios records, and the whole open
// sequence on a pseudo-terminal (read back through the device's own slave descriptor).
#include <SelkoCommunication.h>

#include "LineSpeedProbe.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using selko::test::LineSpeed;
using selko::test::readLineSpeed;
using selko::test::VirtualDevice;

namespace {

const char* const kSizeMessage = "Invalid Character Size (Use 5, 6, 7, or 8)";
const char* const kParityMessage = "Invalid parity (Use N, O, or E)";
const char* const kStopMessage = "Invalid stop but (Use 1, or 2)";

// A record with every mode bit in the "wrong" state, so each setter has something to change.
termios messyRecord() {
    termios record{};
    record.c_cflag = CS6 | PARENB | PARODD | CSTOPB | CREAD;
    record.c_iflag = IGNBRK;
    record.c_cc[VMIN] = 42;
    return record;
}

// The three mode characters applied in order, stopping at the first refusal.
bool applyMode(termios& record, const char* mode, CommErrorRef* error) {
    return setCharacterSizeSpecifier(&record, mode[0], error) && setParityMaskSpecifier(&record, mode[1], error) &&
           setStopBitSpecifier(&record, mode[2], error);
}

bool sameRecord(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expectError(const CommErrorRef& error, int code, const std::string& message) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(error->message(), message);
    EXPECT_EQ(error->location().rfind("Data Channel/SLPUARTChannel.cpp:", 0), 0u) << error->location();
}

std::string systemError(int number) { return std::string(std::strerror(number)) + "(" + std::to_string(number) + ")"; }

termios portSettings(const VirtualDevice& device) {
    termios record{};
    EXPECT_EQ(::tcgetattr(device.slaveFd(), &record), 0);
    return record;
}

int exclusiveFlag(const VirtualDevice& device) {
    int flag = -1;
    EXPECT_EQ(::ioctl(device.slaveFd(), TIOCGEXCL, &flag), 0);
    return flag;
}

SLKOptions options(SLKOptions extra) {
    SLKOptions merged = SLPUARTChannel::defaultConfig();
    for (auto& [key, value] : extra)
        merged.insert_or_assign(key, value);
    return merged;
}

// Opens `url` with `opts`; the descriptor is closed again by the caller's guard.
struct OpenAttempt {
    int descriptor = -2;
    bool result = false;
    CommErrorRef error;
    OpenAttempt(const std::string& url, const SLKOptions& opts) {
        result = openPortWithError__no_cleanup(&descriptor, url.c_str(), opts, &error);
    }
    ~OpenAttempt() {
        if (descriptor >= 0)
            ::close(descriptor);
    }
};

} // namespace

TEST(ModeCharacters, AcceptedModesSetTheControlFlags) {
    termios record = messyRecord();
    ASSERT_TRUE(applyMode(record, "8N1", nullptr));
    EXPECT_EQ(record.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(record.c_cflag & PARENB);
    EXPECT_TRUE(record.c_cflag & PARODD);  // 'N' only clears PARENB
    EXPECT_FALSE(record.c_cflag & CSTOPB);
    EXPECT_TRUE(record.c_cflag & CREAD);
    EXPECT_EQ(record.c_iflag, tcflag_t(IGNBRK));  // input parity checking is not touched

    record = messyRecord();
    ASSERT_TRUE(applyMode(record, "7E2", nullptr));
    EXPECT_EQ(record.c_cflag & CSIZE, tcflag_t(CS7));
    EXPECT_TRUE(record.c_cflag & PARENB);
    EXPECT_FALSE(record.c_cflag & PARODD);
    EXPECT_TRUE(record.c_cflag & CSTOPB);

    record = messyRecord();
    record.c_cflag &= ~tcflag_t(PARENB | PARODD);
    ASSERT_TRUE(applyMode(record, "5O1", nullptr));
    EXPECT_EQ(record.c_cflag & CSIZE, tcflag_t(CS5));
    EXPECT_TRUE(record.c_cflag & PARENB);
    EXPECT_TRUE(record.c_cflag & PARODD);
    EXPECT_FALSE(record.c_cflag & CSTOPB);

    record = messyRecord();
    ASSERT_TRUE(setCharacterSizeSpecifier(&record, '6', nullptr));
    EXPECT_EQ(record.c_cflag & CSIZE, tcflag_t(CS6));
}

TEST(ModeCharacters, RefusalsReportAndLeaveTheRecordAlone) {
    // A bad size character: code 3, CSIZE left cleared, nothing else changed.
    termios record = messyRecord();
    CommErrorRef error;
    EXPECT_FALSE(applyMode(record, "9N1", &error));
    expectError(error, SLKErrorInvalidArgument, kSizeMessage);
    termios expected = messyRecord();
    expected.c_cflag &= ~tcflag_t(CSIZE);
    EXPECT_TRUE(sameRecord(record, expected));

    // Lower-case parity: refused, the stop-bit character never looked at.
    record = messyRecord();
    const termios sized = [] {
        termios r = messyRecord();
        r.c_cflag = (r.c_cflag & ~tcflag_t(CSIZE)) | CS8;
        return r;
    }();
    EXPECT_FALSE(applyMode(record, "8n1", &error));
    expectError(error, SLKErrorInvalidArgument, kParityMessage);
    EXPECT_TRUE(sameRecord(record, sized));

    record = sized;
    EXPECT_FALSE(setStopBitSpecifier(&record, '3', &error));
    expectError(error, SLKErrorInvalidArgument, kStopMessage);
    EXPECT_TRUE(sameRecord(record, sized));

    // Without a slot the refusal still comes back; with a slot a success leaves it alone.
    EXPECT_FALSE(setParityMaskSpecifier(&record, 'e', nullptr));
    const CommErrorRef kept = error;
    EXPECT_TRUE(setStopBitSpecifier(&record, '2', &error));
    EXPECT_EQ(error, kept);
}

TEST(OpenPort, ConfiguresTheLineWithTheDefaults) {
    VirtualDevice device;
    // Control flags the open must clear, and CLOCAL, which it keeps.
    termios start = portSettings(device);
    start.c_cflag |= HUPCL | CRTSCTS | CLOCAL;
    ASSERT_EQ(::tcsetattr(device.slaveFd(), TCSANOW, &start), 0);

    OpenAttempt open(device.url(), options({}));
    ASSERT_TRUE(open.result) << (open.error ? open.error->message() : "");
    ASSERT_GE(open.descriptor, 0);
    EXPECT_EQ(open.error, nullptr);

    EXPECT_FALSE(::fcntl(open.descriptor, F_GETFL) & O_NONBLOCK);
    const termios line = portSettings(device);
    EXPECT_EQ(line.c_iflag, 0u);
    EXPECT_EQ(line.c_oflag, 0u);
    EXPECT_EQ(line.c_lflag, 0u);
    EXPECT_TRUE(line.c_cflag & CREAD);
    EXPECT_TRUE(line.c_cflag & CLOCAL);
    EXPECT_FALSE(line.c_cflag & HUPCL);
    EXPECT_FALSE(line.c_cflag & CRTSCTS);
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_EQ(line.c_cc[VTIME], 1);
    for (const int entry : {VEOF, VEOL, VEOL2, VERASE, VWERASE, VKILL, VREPRINT, VINTR, VQUIT, VSUSP, VSTART, VSTOP,
                            VLNEXT, VDISCARD})
        EXPECT_EQ(line.c_cc[entry], 0) << entry;
    EXPECT_EQ(::cfgetospeed(&line), speed_t(B115200));
    EXPECT_EQ(::cfgetispeed(&line), speed_t(B115200));
    // The device's own slave descriptor keeps the tty alive, so the flag outlives our close.
    EXPECT_EQ(exclusiveFlag(device), 1);

    // Any trailing characters of the mode are ignored; "localhost" and authority-less URLs name
    // the same device.
    for (const std::string& url : {"uart://localhost" + device.path(), "uart:" + device.path()}) {
        OpenAttempt again(url, options({{SELKO_COMMUNICATION_UART_MODE, std::string("8N1x")}}));
        EXPECT_TRUE(again.result) << url;
    }
}

TEST(OpenPort, ExclusiveUseOnlyWhenAsked) {
    VirtualDevice device;
    OpenAttempt open(device.url(), options({{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}}));
    ASSERT_TRUE(open.result);
    EXPECT_EQ(exclusiveFlag(device), 0);
}

TEST(OpenPort, LineSpeeds) {
    VirtualDevice device;
    {
        OpenAttempt open(device.url(), options({{SELKO_COMMUNICATION_UART_BAUD, 9600LL}}));
        ASSERT_TRUE(open.result);
        const termios line = portSettings(device);
        EXPECT_EQ(::cfgetospeed(&line), speed_t(B9600));
    }
    {
        // 1250000 goes through the arbitrary-speed request after the rest is applied.
        OpenAttempt open(device.url(), options({{SELKO_COMMUNICATION_UART_BAUD, 1250000LL}}));
        ASSERT_TRUE(open.result) << (open.error ? open.error->message() : "");
        LineSpeed speed;
        ASSERT_TRUE(readLineSpeed(device.slaveFd(), speed));
        EXPECT_TRUE(speed.arbitrary);
        EXPECT_EQ(speed.outputSpeed, 1250000u);
        EXPECT_EQ(speed.inputSpeed, 1250000u);
        EXPECT_EQ(portSettings(device).c_cc[VMIN], 1);
    }
    {
        // 250000 has no name here: it goes to cfsetspeed like any other rate, never to the
        // arbitrary-speed request. A C library that refuses it leaves the port's speed as it was.
        OpenAttempt reset(device.url(), options({{SELKO_COMMUNICATION_UART_BAUD, 38400LL}}));
        ASSERT_TRUE(reset.result);
        termios probe{};
        const bool libraryTakesIt = ::cfsetspeed(&probe, 250000) == 0;
        OpenAttempt open(device.url(), options({{SELKO_COMMUNICATION_UART_BAUD, 250000LL}}));
        ASSERT_TRUE(open.result);
        LineSpeed speed;
        ASSERT_TRUE(readLineSpeed(device.slaveFd(), speed));
        if (libraryTakesIt) {
            EXPECT_EQ(speed.outputSpeed, 250000u);
        } else {
            EXPECT_FALSE(speed.arbitrary);
            EXPECT_EQ(speed.outputSpeed, 38400u);
        }
    }
}

TEST(OpenPort, SystemFailuresCarryTheirMessages) {
    {
        OpenAttempt open("uart:///nonexistent/tty", options({}));
        EXPECT_FALSE(open.result);
        EXPECT_EQ(open.descriptor, -1);
        expectError(open.error, SLKErrorPortSystem,
                    "Error opening serial port /nonexistent/tty - " + systemError(ENOENT) + ".");
    }
    {
        // Not a terminal: TIOCEXCL is refused; the opened descriptor is left to the caller.
        OpenAttempt open("uart:///dev/null", options({}));
        EXPECT_FALSE(open.result);
        EXPECT_GE(open.descriptor, 0);
        expectError(open.error, SLKErrorPortSystem, "Error setting TIOCEXCL on /dev/null - " + systemError(ENOTTY) + ".\n");
    }
    {
        OpenAttempt open("uart:///dev/null", options({{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}}));
        EXPECT_FALSE(open.result);
        EXPECT_GE(open.descriptor, 0);
        expectError(open.error, SLKErrorPortSystem,
                    "Error getting tty attributes /dev/null - " + systemError(ENOTTY) + ".\n");
    }
    {
        // A bad mode with a bad path reports the path.
        OpenAttempt open("uart:///nonexistent/tty", options({{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}}));
        EXPECT_EQ(open.error->code(), SLKErrorPortSystem);
    }
}

TEST(OpenPort, UnusableURLsOpenNothing) {
    VirtualDevice device;
    const std::string path = device.path();
    for (const std::string& url :
         {"uart://otherhost" + path, "uart://user@localhost" + path, "uart://" + path + "?speed=1",
          "uart://" + path + "#frag", "uart://" + path + "%2", "uart://" + path + "%zz", "uart://" + path + "%00"}) {
        const int before = selko::test::openDescriptorCount();
        OpenAttempt open(url, options({}));
        EXPECT_FALSE(open.result) << url;
        EXPECT_EQ(open.descriptor, -1) << url;
        expectError(open.error, SLKErrorPortSystem, "Error opening serial port " + url + " - " + systemError(EINVAL) + ".");
        EXPECT_EQ(selko::test::openDescriptorCount(), before) << url;
    }
    CommErrorRef error;
    EXPECT_FALSE(openPortWithError__no_cleanup(nullptr, device.url().c_str(), options({}), &error));
    expectError(error, SLKErrorPortSystem, "Error opening serial port " + device.url() + " - " + systemError(EINVAL) + ".");
}

TEST(OpenPort, BadModesAndOptionValuesFailBeforeTheLineChanges) {
    VirtualDevice device;
    const termios before = portSettings(device);
    struct Case {
        SLKOptions extra;
        const char* message;
    };
    const Case cases[] = {
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}}, kSizeMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8n1")}}, kParityMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8N3")}}, kStopMessage},
        // Short modes: the missing characters are invalid.
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("")}}, kSizeMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8")}}, kParityMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8N")}}, kStopMessage},
        // A mode that is not a string counts as empty.
        {{{SELKO_COMMUNICATION_UART_MODE, 8LL}}, kSizeMessage},
        {{{SELKO_COMMUNICATION_UART_BAUD, std::string("9600")}}, "Invalid baud rate (Use a positive integer)"},
        {{{SELKO_COMMUNICATION_UART_BAUD, 0LL}}, "Invalid baud rate (Use a positive integer)"},
        {{{SELKO_COMMUNICATION_UART_BAUD, -9600LL}}, "Invalid baud rate (Use a positive integer)"},
        {{{SELKO_COMMUNICATION_UART_BAUD, 1LL << 32}}, "Invalid baud rate (Use a positive integer)"},
        {{{SELKO_COMMUNICATION_UART_BAUD, true}}, "Invalid baud rate (Use a positive integer)"},
        {{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, std::string("yes")}}, "Invalid exclusive lock (Use true or false)"},
        {{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, 1LL}}, "Invalid exclusive lock (Use true or false)"},
    };
    for (const Case& c : cases) {
        OpenAttempt open(device.url(), options(c.extra));
        EXPECT_FALSE(open.result) << c.message;
        EXPECT_GE(open.descriptor, 0) << c.message;  // opened; closing it is the caller's job
        expectError(open.error, SLKErrorInvalidArgument, c.message);
        EXPECT_TRUE(sameRecord(portSettings(device), before)) << c.message;
    }

    // A refused exclusive-lock value is refused before the request is made.
    VirtualDevice fresh;
    OpenAttempt open(fresh.url(), options({{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, std::string("yes")}}));
    EXPECT_FALSE(open.result);
    EXPECT_EQ(exclusiveFlag(fresh), 0);
}
