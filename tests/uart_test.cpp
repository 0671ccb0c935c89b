// The serial port: the mode characters on termios records, the open sequence on a
// pseudo-terminal (read back through the device's own slave descriptor), and the UART channel on
// top of it: options, state errors, the exchange, and descriptor ownership under concurrent use.
#include <SelkoCommunication.h>

#include "LineSpeedProbe.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

using namespace selko::test;
using namespace std::chrono_literals;

namespace {

const std::string kSizeMessage = "Invalid Character Size (Use 5, 6, 7, or 8)";
const std::string kParityMessage = "Invalid parity (Use N, O, or E)";
const std::string kStopMessage = "Invalid stop but (Use 1, or 2)";
const std::string kBaudMessage = "Invalid baud rate (Use a positive integer)";
const std::string kLockMessage = "Invalid exclusive lock (Use true or false)";
const SLKOptions kShared{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}};

bool sameRecord(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

termios portSettings(const VirtualDevice& device) {
    termios record{};
    EXPECT_EQ(::tcgetattr(device.slaveFd(), &record), 0);
    return record;
}

speed_t lineSpeed(const VirtualDevice& device) {
    const termios line = portSettings(device);
    return ::cfgetospeed(&line);
}

int exclusiveFlag(const VirtualDevice& device) {
    int flag = -1;
    EXPECT_EQ(::ioctl(device.slaveFd(), TIOCGEXCL, &flag), 0);
    return flag;
}

// The defaults with `extra` laid over them, as the channel hands them to the port.
SLKOptions options(const SLKOptions& extra = {}) {
    SLKOptions merged = SLPUARTChannel::defaultConfig();
    for (const auto& [key, value] : extra)
        merged.insert_or_assign(key, value);
    return merged;
}

// One call of the port opener; the descriptor it leaves behind is closed with the attempt.
struct OpenAttempt {
    int descriptor = -2;
    CommErrorRef error;
    const bool result;
    OpenAttempt(const std::string& url, const SLKOptions& opts)
        : result(openPortWithError__no_cleanup(&descriptor, url.c_str(), opts, &error)) {}
    ~OpenAttempt() {
        if (descriptor >= 0)
            ::close(descriptor);
    }
};

std::shared_ptr<SLPUARTChannel> makeChannel(const std::string& url, const SLKOptions* options = nullptr) {
    auto channel = std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(url.c_str(), options));
    EXPECT_NE(channel, nullptr);
    return channel;
}

// The descriptors of this process open on the device's path (the device's own slave excluded).
std::vector<int> descriptorsOn(const VirtualDevice& device) {
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone; // a descriptor closed meanwhile reads as no link
        const int fd = std::stoi(entry.path().filename().string());
        if (fd != device.slaveFd() && std::filesystem::read_symlink(entry.path(), gone) == device.path())
            found.push_back(fd);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Occupies every free descriptor number below FD_SETSIZE (raising the soft limit if needed), so
// the next open gets a number select cannot take. Empty when that cannot be done.
std::vector<int> takeLowNumbers() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(FD_SETSIZE + 64, limit.rlim_max));
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> taken;
    for (int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0; fd = fd < FD_SETSIZE - 1 ? ::dup(fd) : -1)
        taken.push_back(fd);
    if (taken.empty() || taken.back() < FD_SETSIZE - 1) {
        for (const int fd : taken)
            ::close(fd);
        taken.clear();
    }
    return taken;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Port configuration
// ---------------------------------------------------------------------------------------------

TEST(ModeCharacters, SetTheControlFlagsOrRefuseLeavingTheRestAlone) {
    // The three characters applied in order up to the first refusal. Every other field must come
    // out as it went in (input parity checking, for one, is not touched).
    const tcflag_t messy = CS6 | PARENB | PARODD | CSTOPB | CREAD;
    struct Case {
        tcflag_t before;
        const char* mode;
        tcflag_t after;
        std::string refusal;
    };
    const Case cases[] = {
        {messy, "8N1", CS8 | PARODD | CREAD, ""}, // 'N' clears PARENB only
        {messy, "7E2", CS7 | PARENB | CSTOPB | CREAD, ""},
        {CS6 | CREAD, "5O1", CS5 | PARENB | PARODD | CREAD, ""},
        {CREAD, "6N2", CS6 | CSTOPB | CREAD, ""},
        {messy, "9N1", PARENB | PARODD | CSTOPB | CREAD, kSizeMessage}, // CSIZE stays cleared
        {messy, "8n1", CS8 | PARENB | PARODD | CSTOPB | CREAD, kParityMessage},
        {messy, "8N3", CS8 | PARODD | CSTOPB | CREAD, kStopMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        termios record{};
        record.c_cflag = c.before;
        record.c_iflag = IGNBRK;
        record.c_cc[VMIN] = 42;
        termios expected = record;
        expected.c_cflag = c.after;
        CommErrorRef error;
        const bool accepted = setCharacterSizeSpecifier(&record, c.mode[0], &error) &&
                              setParityMaskSpecifier(&record, c.mode[1], &error) &&
                              setStopBitSpecifier(&record, c.mode[2], &error);
        EXPECT_EQ(accepted, c.refusal.empty());
        EXPECT_TRUE(sameRecord(record, expected)) << std::hex << record.c_cflag << " " << c.after;
        if (accepted)
            EXPECT_EQ(error, nullptr);
        else
            expectError(error, SLKErrorInvalidArgument, c.refusal, kUARTSource);
    }
    termios record{};
    EXPECT_FALSE(setParityMaskSpecifier(&record, 'e', nullptr));
    const CommErrorRef kept = foreignError();
    CommErrorRef error = kept;
    EXPECT_TRUE(setStopBitSpecifier(&record, '2', &error));
    EXPECT_EQ(error, kept);
}

TEST(OpenPort, ConfiguresTheLineRawWithTheDefaults) {
    VirtualDevice device;
    // Control flags the open must clear, and CLOCAL, which it keeps.
    termios start = portSettings(device);
    start.c_cflag |= HUPCL | CRTSCTS | CLOCAL;
    ASSERT_EQ(::tcsetattr(device.slaveFd(), TCSANOW, &start), 0);

    OpenAttempt open(device.url(), options());
    ASSERT_TRUE(open.result) << (open.error ? open.error->message() : "");
    ASSERT_GE(open.descriptor, 0);
    EXPECT_EQ(open.error, nullptr);
    EXPECT_FALSE(::fcntl(open.descriptor, F_GETFL) & O_NONBLOCK);
    const termios line = portSettings(device);
    EXPECT_EQ(line.c_iflag, 0u);
    EXPECT_EQ(line.c_oflag, 0u);
    EXPECT_EQ(line.c_lflag, 0u);
    EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL | HUPCL | CRTSCTS), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_EQ(line.c_cc[VTIME], 1);
    // The speed bits survive the reduction of the control flags.
    EXPECT_EQ(::cfgetospeed(&line), speed_t(B115200));
    EXPECT_EQ(::cfgetispeed(&line), speed_t(B115200));
    // The device's own slave descriptor keeps the tty alive, so the flag outlives our close.
    EXPECT_EQ(exclusiveFlag(device), 1);

    // "localhost" and authority-less URLs name the same device; trailing mode characters are
    // ignored; the path is percent-decoded (the undecoded name does not exist).
    char directory[] = "/tmp/selko-uart-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/My Device";
    ASSERT_EQ(::symlink(device.path().c_str(), link.c_str()), 0);
    for (const std::string& url : {"uart://localhost" + device.path(), "uart:" + device.path(),
                                   std::string("uart://") + directory + "/My%20Device"}) {
        OpenAttempt again(url, options({{SELKO_COMMUNICATION_UART_MODE, std::string("8N1x")}}));
        EXPECT_TRUE(again.result) << url << ": " << (again.error ? again.error->message() : "");
    }
    ::unlink(link.c_str());
    ::rmdir(directory);
}

TEST(OpenPort, ExclusiveUseOnlyWhenAskedAndLineSpeeds) {
    VirtualDevice device;
    {
        OpenAttempt open(device.url(), options({{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false},
                                                {SELKO_COMMUNICATION_UART_BAUD, 9600LL}}));
        ASSERT_TRUE(open.result);
        EXPECT_EQ(exclusiveFlag(device), 0);
        EXPECT_EQ(lineSpeed(device), speed_t(B9600));
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
    // 250000 has no name here: it goes to cfsetspeed like any other rate, never to the
    // arbitrary-speed request. A C library that refuses it leaves the port's speed as it was.
    termios probe{};
    const bool libraryTakesIt = ::cfsetspeed(&probe, 250000) == 0;
    ASSERT_TRUE(OpenAttempt(device.url(), options({{SELKO_COMMUNICATION_UART_BAUD, 38400LL}})).result);
    ASSERT_TRUE(OpenAttempt(device.url(), options({{SELKO_COMMUNICATION_UART_BAUD, 250000LL}})).result);
    LineSpeed speed;
    ASSERT_TRUE(readLineSpeed(device.slaveFd(), speed));
    EXPECT_EQ(speed.outputSpeed, libraryTakesIt ? 250000u : 38400u);
    EXPECT_TRUE(libraryTakesIt || !speed.arbitrary);
}

TEST(OpenPort, SystemFailuresAndUnusableURLsCarryTheirMessages) {
    struct Case {
        std::string url;
        SLKOptions extra;
        bool opened; // whether a descriptor is left to the caller
        std::string message;
    };
    const Case cases[] = {
        {"uart:///nonexistent/tty", {}, false, "Error opening serial port /nonexistent/tty - " + errnoText(ENOENT) + "."},
        // The path is opened before the mode is looked at.
        {"uart:///nonexistent/tty", {{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}}, false,
         "Error opening serial port /nonexistent/tty - " + errnoText(ENOENT) + "."},
        // Not a terminal: refused at the first terminal request.
        {"uart:///dev/null", {}, true, "Error setting TIOCEXCL on /dev/null - " + errnoText(ENOTTY) + ".\n"},
        {"uart:///dev/null", {{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}}, true,
         "Error getting tty attributes /dev/null - " + errnoText(ENOTTY) + ".\n"},
    };
    for (const Case& c : cases) {
        OpenAttempt open(c.url, options(c.extra));
        EXPECT_FALSE(open.result) << c.message;
        EXPECT_EQ(open.descriptor >= 0, c.opened) << c.message;
        EXPECT_TRUE(c.opened || open.descriptor == -1) << open.descriptor;
        expectError(open.error, SLKErrorPortSystem, c.message, kUARTSource);
    }

    // URLs the factory accepts but no device path comes from: refused at open, nothing opened.
    VirtualDevice device;
    const std::string path = device.path();
    for (const std::string& url :
         {"uart://otherhost" + path, "uart://user@localhost" + path, "uart://" + path + "?speed=1",
          "uart://" + path + "#frag", "uart://" + path + "%2", "uart://" + path + "%zz", "uart://" + path + "%00"}) {
        const int before = openDescriptorCount();
        OpenAttempt open(url, options());
        EXPECT_FALSE(open.result) << url;
        EXPECT_EQ(open.descriptor, -1) << url;
        expectError(open.error, SLKErrorPortSystem, "Error opening serial port " + url + " - " + errnoText(EINVAL) + ".",
                    kUARTSource);
        EXPECT_EQ(openDescriptorCount(), before) << url;
    }
    CommErrorRef error;
    EXPECT_FALSE(openPortWithError__no_cleanup(nullptr, device.url().c_str(), options(), &error));
    expectError(error, SLKErrorPortSystem, "Error opening serial port " + device.url() + " - " + errnoText(EINVAL) + ".",
                kUARTSource);
}

TEST(OpenPort, BadModesAndOptionValuesFailBeforeTheLineChanges) {
    VirtualDevice device;
    const termios before = portSettings(device);
    const std::pair<SLKOptions, std::string> cases[] = {
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}}, kSizeMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8n1")}}, kParityMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8N3")}}, kStopMessage},
        // Short modes: the missing characters are invalid; a mode that is not a string is empty.
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("")}}, kSizeMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8")}}, kParityMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, std::string("8N")}}, kStopMessage},
        {{{SELKO_COMMUNICATION_UART_MODE, 8LL}}, kSizeMessage},
        {{{SELKO_COMMUNICATION_UART_BAUD, std::string("9600")}}, kBaudMessage},
        {{{SELKO_COMMUNICATION_UART_BAUD, 0LL}}, kBaudMessage},
        {{{SELKO_COMMUNICATION_UART_BAUD, -9600LL}}, kBaudMessage},
        {{{SELKO_COMMUNICATION_UART_BAUD, 1LL << 32}}, kBaudMessage},
        {{{SELKO_COMMUNICATION_UART_BAUD, true}}, kBaudMessage},
        {{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, std::string("yes")}}, kLockMessage},
        {{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, 1LL}}, kLockMessage},
    };
    for (const auto& [extra, message] : cases) {
        OpenAttempt open(device.url(), options(extra));
        EXPECT_FALSE(open.result) << message;
        EXPECT_GE(open.descriptor, 0) << message; // opened; closing it is the caller's job
        expectError(open.error, SLKErrorInvalidArgument, message, kUARTSource);
        EXPECT_TRUE(sameRecord(portSettings(device), before)) << message;
    }
    // A refused exclusive-lock value is refused before the request is made.
    VirtualDevice fresh;
    OpenAttempt open(fresh.url(), options({{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, std::string("yes")}}));
    EXPECT_FALSE(open.result);
    EXPECT_EQ(exclusiveFlag(fresh), 0);
}

// ---------------------------------------------------------------------------------------------
// The UART channel
// ---------------------------------------------------------------------------------------------

TEST(UARTChannel, OptionsAndDefaultsReachThePort) {
    EXPECT_EQ(SLPUARTChannel::defaultConfig(), (SLKOptions{{SELKO_COMMUNICATION_UART_MODE, std::string("8N1")},
                                                           {SELKO_COMMUNICATION_UART_BAUD, 115200LL},
                                                           {SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, true}}));
    VirtualDevice device;
    auto channel = makeChannel(device.url());
    EXPECT_FALSE(channel->isOpened()); // the factory opens nothing
    EXPECT_EQ(channel->url(), device.url());
    EXPECT_EQ(channel->options(), SLPUARTChannel::defaultConfig());

    // The caller's entries replace the defaults of their keys only, the map is copied, and the
    // port sees the result (the defaults themselves reach the port in the tests above).
    VirtualDevice other;
    SLKOptions mine{{SELKO_COMMUNICATION_UART_BAUD, 9600LL}, {"org.example.other", std::string("kept")}};
    channel = makeChannel(other.url(), &mine);
    mine[SELKO_COMMUNICATION_UART_BAUD] = 4800LL;
    SLKOptions expected = options({{SELKO_COMMUNICATION_UART_BAUD, 9600LL}});
    expected["org.example.other"] = std::string("kept");
    EXPECT_EQ(channel->options(), expected);
    ASSERT_TRUE(channel->openWithTimeout(0.0));
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(lineSpeed(other), speed_t(B9600));
    EXPECT_EQ(exclusiveFlag(other), 1);
}

TEST(UARTChannel, StateErrorsAndFailedOpensLeaveNothingOpen) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    CommErrorRef error;
    EXPECT_FALSE(channel->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed", kUARTSource);

    ASSERT_TRUE(channel->openWithTimeout(1.0));
    const std::vector<int> held = descriptorsOn(device);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorAlreadyOpened, "Device Already Opened", kUARTSource);
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(descriptorsOn(device), held); // the same descriptor, nothing more opened
    ASSERT_TRUE(channel->write(SLKDataWithString("still")));
    EXPECT_EQ(device.receive(5, 2000ms), "still");

    error = nullptr;
    EXPECT_TRUE(channel->close(&error));
    EXPECT_EQ(error, nullptr);
    EXPECT_FALSE(channel->isOpened());
    EXPECT_TRUE(descriptorsOn(device).empty());
    EXPECT_FALSE(channel->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed", kUARTSource);
    // Reads check the state first, even with an invalid timeout; writes too, even of nothing.
    EXPECT_EQ(channel->readWithTimeout(-0.5, &error), nullptr);
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices", kUARTSource);
    for (const char* data : {"x", ""}) {
        error = nullptr;
        EXPECT_FALSE(channel->write(SLKDataWithString(data), &error));
        expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices", kUARTSource);
    }
    EXPECT_TRUE(channel->openWithTimeout(1.0)); // reopened with the same settings
    EXPECT_TRUE(channel->isOpened());

    // Refusals after the node was opened: the channel closes what it opened.
    VirtualDevice other;
    const int before = openDescriptorCount();
    for (const SLKOptions& bad : {SLKOptions{{SELKO_COMMUNICATION_UART_MODE, std::string("9N1")}},
                                  SLKOptions{{SELKO_COMMUNICATION_UART_BAUD, std::string("fast")}},
                                  SLKOptions{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, 1LL}}}) {
        auto refused = makeChannel(other.url(), &bad);
        EXPECT_FALSE(refused->openWithTimeout(1.0, &error));
        EXPECT_EQ(error->code(), SLKErrorInvalidArgument);
        EXPECT_FALSE(refused->isOpened());
        EXPECT_TRUE(descriptorsOn(other).empty());
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(UARTChannel, TimeoutsExchangeAndAHangUp) {
    VirtualDevice device;
    device.startResponder(false, [](const std::string& line) { return line == "PING" ? std::string("OK\n") : ""; });
    auto channel = makeChannel(device.url(), &kShared);
    ASSERT_TRUE(channel->openWithTimeout(1.0));

    CommErrorRef error;
    for (const double invalid : {-0.5, -2.0, std::nan("")}) {
        EXPECT_EQ(channel->readWithTimeout(invalid, &error), nullptr) << invalid;
        expectError(error, SLKErrorInvalidArgument, "time out has an invalid value", kUARTSource);
        EXPECT_TRUE(channel->isOpened());
    }
    error = nullptr;
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error)), "");
    ASSERT_TRUE(channel->write(SLKDataWithString("PING\n"), &error));
    EXPECT_EQ(text(channel->readWithTimeout(1.0, &error)), "OK\n");
    EXPECT_EQ(device.received(), "PING\n");
    // Empty data is nothing to write, a success; null is no data and refused without a record.
    EXPECT_TRUE(channel->write(SLKDataWithString(""), &error));
    EXPECT_FALSE(channel->write(nullptr, &error));
    EXPECT_EQ(error, nullptr);
    device.stopResponder();

    // FOREVER waits until bytes come.
    auto forever = std::async(std::launch::async, [&] { return channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER); });
    EXPECT_EQ(forever.wait_for(200ms), std::future_status::timeout);
    device.send("late");
    ASSERT_EQ(forever.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(text(forever.get()), "late");

    // The far end goes away: a write fails with code 4 and leaves the channel open; a read
    // reports the disconnect with code 5 and closes the channel.
    device.hangUp();
    EXPECT_FALSE(channel->write(SLKDataWithString("lost"), &error));
    expectError(error, SLKErrorPortSystem, std::string("Failed to write message with error = ") + std::strerror(EIO),
                kUARTSource);
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &error), nullptr);
    expectError(error, SLKErrorRead, "Device disconnected", kUARTSource);
    EXPECT_FALSE(channel->isOpened());
}

TEST(UARTChannel, WorksWithADescriptorNumberAboveFD_SETSIZE) {
    VirtualDevice device;
    device.startResponder(true);
    auto channel = makeChannel(device.url(), &kShared);
    const std::vector<int> taken = takeLowNumbers();
    if (taken.empty())
        GTEST_SKIP() << "cannot occupy the descriptor numbers below FD_SETSIZE";
    const bool opened = channel->openWithTimeout(1.0);
    const std::vector<int> held = descriptorsOn(device);
    ASSERT_TRUE(opened);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_GE(held[0], FD_SETSIZE);
    EXPECT_TRUE(channel->write(SLKDataWithString("high")));
    EXPECT_EQ(text(channel->readWithTimeout(1.0)), "high");
    EXPECT_TRUE(channel->close());
    for (const int fd : taken)
        ::close(fd);
}

// ---------------------------------------------------------------------------------------------
// Descriptor ownership
// ---------------------------------------------------------------------------------------------

TEST(UARTDescriptor, NoLeaksOverManyCyclesOrOnDestruction) {
    VirtualDevice device;
    const int before = openDescriptorCount();
    auto channel = makeChannel(device.url());
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(channel->openWithTimeout(1.0)) << cycle;
        ASSERT_TRUE(channel->close()) << cycle;
    }
    EXPECT_EQ(openDescriptorCount(), before);
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    EXPECT_EQ(descriptorsOn(device).size(), 1u);
    channel.reset();
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(exclusiveFlag(device), 0) << "a destroyed channel gives up exclusive use";
}

TEST(UARTDescriptor, ConcurrentOpensInstallOneDescriptor) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    const int before = openDescriptorCount();
    for (int round = 0; round < 100; ++round) {
        std::atomic<bool> go{false};
        auto attempt = [&] {
            while (!go.load()) {
            }
            CommErrorRef error;
            return channel->openWithTimeout(1.0, &error) ? 0 : error->code();
        };
        auto first = std::async(std::launch::async, attempt);
        auto second = std::async(std::launch::async, attempt);
        go = true;
        const int a = first.get();
        const int b = second.get();
        EXPECT_EQ(std::min(a, b), 0) << a << " " << b;
        EXPECT_EQ(std::max(a, b), SLKErrorAlreadyOpened) << a << " " << b;
        EXPECT_EQ(descriptorsOn(device).size(), 1u);
        ASSERT_TRUE(channel->close());
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

// A close from another thread wakes a read waiting without limit: the read takes nothing and
// fails with code 2, and by the time close returns the port is closed and free for anyone.
TEST(UARTDescriptor, CloseWakesAWaitingReaderAndReleasesThePortAtOnce) {
    VirtualDevice device;
    auto channel = makeChannel(device.url());
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(channel->openWithTimeout(1.0));
        std::atomic<long> reader{0};
        auto waiting = std::async(std::launch::async, [&] {
            reader = currentThreadId();
            CommErrorRef error;
            SLKData data = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &error);
            return std::make_pair(data, error);
        });
        ASSERT_TRUE(eventually([&] { return reader != 0 && blockedInSelect(reader); }));
        ASSERT_TRUE(channel->close());
        EXPECT_TRUE(descriptorsOn(device).empty());
        EXPECT_EQ(exclusiveFlag(device), 0);
        device.send("after");   // arrives after close: nobody may take it
        ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
        const auto [data, error] = waiting.get();
        EXPECT_EQ(data, nullptr);
        expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices", kUARTSource);
        ASSERT_TRUE(channel->openWithTimeout(1.0));
        EXPECT_EQ(text(channel->readWithTimeout(1.0)), "after");
        ASSERT_TRUE(channel->close());
    }
}

TEST(UARTDescriptor, ReaderNeverSeesAnotherPortsBytesWhileClosedAndReopened) {
    VirtualDevice deviceA;
    VirtualDevice deviceB;
    for (const VirtualDevice* device : {&deviceA, &deviceB})
        ::fcntl(device->masterFd(), F_SETFL, ::fcntl(device->masterFd(), F_GETFL) | O_NONBLOCK);
    auto channelA = makeChannel(deviceA.url(), &kShared);
    auto channelB = makeChannel(deviceB.url(), &kShared);
    ASSERT_TRUE(channelA->openWithTimeout(1.0));

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        while (!stop) {
            (void)!::write(deviceA.masterFd(), "AAAA", 4);
            (void)!::write(deviceB.masterFd(), "BBBB", 4);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::atomic<long> bytesFromA{0}, foreign{0}, unexpectedErrors{0};
    std::thread reader([&] {
        while (!stop) {
            CommErrorRef error;
            const SLKData data = channelA->readWithTimeout(0.01, &error);
            if (!data && (!error || error->code() != SLKErrorNotOpened))
                ++unexpectedErrors;
            for (const std::uint8_t byte : data ? *data : SLKBytes())
                ++(byte == 'A' ? bytesFromA : foreign);
        }
    });

    // Close A and open B, which may take A's old number; B stays open for a moment with bytes
    // waiting, then closes, and A reopens.
    int cycles = 0;
    const auto end = std::chrono::steady_clock::now() + 2s;
    bool ok = true;
    while (ok && std::chrono::steady_clock::now() < end) {
        ok = channelA->close() && channelB->openWithTimeout(1.0);
        std::this_thread::sleep_for(2ms);
        ok = ok && channelB->close() && channelA->openWithTimeout(1.0);
        std::this_thread::sleep_for(1ms);
        ++cycles;
    }
    stop = true;
    feeder.join();
    reader.join();

    EXPECT_TRUE(ok) << "an open or close failed in cycle " << cycles;
    EXPECT_EQ(foreign.load(), 0);
    EXPECT_EQ(unexpectedErrors.load(), 0);
    EXPECT_GT(bytesFromA.load(), 0);
}
