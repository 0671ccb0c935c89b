// The UART channel on pseudo-terminals: factory and options, open/close/read/write edge cases,
// descriptor ownership (no leaks, no reuse under a running read) and concurrent use.
#include <SelkoCommunication.h>

#include "LineSpeedProbe.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using selko::test::eventually;
using selko::test::openDescriptorCount;
using selko::test::VirtualDevice;

namespace {

std::shared_ptr<SLPUARTChannel> makeChannel(const std::string& url, const SLKOptions* options = nullptr) {
    CommErrorRef error;
    auto channel = std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(url.c_str(), options, &error));
    EXPECT_NE(channel, nullptr) << (error ? error->message() : "");
    return channel;
}

const SLKOptions kShared{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}};

std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

void expectError(const CommErrorRef& error, int code, const std::string& message,
                 const std::string& file = "Data Channel/SLPUARTChannel.cpp:") {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(error->message(), message);
    EXPECT_EQ(error->location().rfind(file, 0), 0u) << error->location();
}

// The descriptors of this process open on the device's path (the device's own slave excluded).
std::vector<int> descriptorsOn(const VirtualDevice& device) {
    std::vector<int> found;
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr)
        return found;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == device.slaveFd() || fd == ::dirfd(directory))
            continue;
        char link[PATH_MAX];
        const ssize_t length = ::readlinkat(::dirfd(directory), entry->d_name, link, sizeof link - 1);
        if (length > 0 && std::string(link, static_cast<std::size_t>(length)) == device.path())
            found.push_back(fd);
    }
    ::closedir(directory);
    std::sort(found.begin(), found.end());
    return found;
}

int exclusiveFlag(const VirtualDevice& device) {
    int flag = -1;
    EXPECT_EQ(::ioctl(device.slaveFd(), TIOCGEXCL, &flag), 0);
    return flag;
}

speed_t lineSpeed(const VirtualDevice& device) {
    termios line{};
    EXPECT_EQ(::tcgetattr(device.slaveFd(), &line), 0);
    return ::cfgetospeed(&line);
}

bool blockedInSelect(pid_t tid) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    syscall >> number;
    return number == SYS_select || number == SYS_pselect6;
}

pid_t currentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

} // namespace

TEST(UARTFactory, SchemeCheckAndOptions) {
    VirtualDevice device;
    for (const char* url : {static_cast<const char*>(nullptr), "UART:///dev/ttyS0", "file:///dev/ttyS0",
                            "uarts:///dev/ttyS0", "/dev/ttyS0"}) {
        CommErrorRef error;
        EXPECT_EQ(createUARTChannel(url, nullptr, &error), nullptr);
        expectError(error, SLKErrorInvalidArgument,
                    std::string("Provided url ") + (url ? url : "(null)") + " not valid",
                    "Data Channel/SLKDataChannel.cpp:");
    }
    EXPECT_EQ(SLPUARTChannel::initForURL(nullptr, nullptr), nullptr);

    // Defaults, closed, and the slot left alone on success.
    const CommErrorRef earlier = std::make_shared<const CommError>("earlier", 9, CommError::InfoMap{});
    CommErrorRef error = earlier;
    auto channel = std::dynamic_pointer_cast<SLPUARTChannel>(createUARTChannel(device.url().c_str(), nullptr, &error));
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(error, earlier);
    EXPECT_FALSE(channel->isOpened());
    EXPECT_EQ(channel->url(), device.url());
    EXPECT_EQ(channel->options(), SLPUARTChannel::defaultConfig());
    EXPECT_EQ(std::get<std::string>(channel->options().at(SELKO_COMMUNICATION_UART_MODE)), "8N1");
    EXPECT_EQ(std::get<long long>(channel->options().at(SELKO_COMMUNICATION_UART_BAUD)), 115200);
    EXPECT_TRUE(std::get<bool>(channel->options().at(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK)));

    // The caller's entries replace the defaults of their keys only; the map is copied.
    SLKOptions mine{{SELKO_COMMUNICATION_UART_BAUD, 9600LL}, {"org.example.other", std::string("kept")}};
    channel = makeChannel(device.url(), &mine);
    mine[SELKO_COMMUNICATION_UART_BAUD] = 4800LL;
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(std::get<long long>(channel->options().at(SELKO_COMMUNICATION_UART_BAUD)), 9600);
    EXPECT_EQ(std::get<std::string>(channel->options().at(SELKO_COMMUNICATION_UART_MODE)), "8N1");
    EXPECT_TRUE(std::get<bool>(channel->options().at(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK)));
    EXPECT_EQ(std::get<std::string>(channel->options().at("org.example.other")), "kept");

    // ... and the port sees them.
    ASSERT_TRUE(channel->openWithTimeout(1.0, &error));
    EXPECT_EQ(lineSpeed(device), speed_t(B9600));
    EXPECT_EQ(exclusiveFlag(device), 1);
}

TEST(UARTOpen, DefaultsReachThePort) {
    VirtualDevice device;
    auto channel = makeChannel(device.url());
    ASSERT_TRUE(channel->openWithTimeout(0.0));
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(lineSpeed(device), speed_t(B115200));
    EXPECT_EQ(exclusiveFlag(device), 1);
}

TEST(UARTOpen, OpenTwiceAndFailedOpens) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    const std::vector<int> held = descriptorsOn(device);
    ASSERT_EQ(held.size(), 1u);

    CommErrorRef error;
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorAlreadyOpened, "Device Already Opened");
    EXPECT_TRUE(channel->isOpened());
    EXPECT_EQ(descriptorsOn(device), held);  // still the same descriptor, nothing more opened
    ASSERT_TRUE(channel->write(SLKDataWithString("still")));
    EXPECT_EQ(device.receive(5, 2000ms), "still");

    // A missing device node: code 4, closed.
    auto missing = makeChannel("uart:///nonexistent/ttyX");
    EXPECT_FALSE(missing->openWithTimeout(1.0, &error));
    EXPECT_EQ(error->code(), SLKErrorPortSystem);
    EXPECT_FALSE(missing->isOpened());

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

    // A host in the URL is accepted by the factory and refused at open time.
    const std::string hosted = "uart://elsewhere" + other.path();
    auto remote = makeChannel(hosted);
    EXPECT_FALSE(remote->openWithTimeout(1.0, &error));
    expectError(error, SLKErrorPortSystem,
                "Error opening serial port " + hosted + " - " + std::strerror(EINVAL) + "(" + std::to_string(EINVAL) + ").");
}

TEST(UARTOpen, PercentEncodedPath) {
    VirtualDevice device;
    char directory[] = "/tmp/selko-uart-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/My Device";
    ASSERT_EQ(::symlink(device.path().c_str(), link.c_str()), 0);
    {
        auto channel = makeChannel(std::string("uart://") + directory + "/My%20Device");
        CommErrorRef error;
        EXPECT_TRUE(channel->openWithTimeout(1.0, &error)) << (error ? error->message() : "");
        EXPECT_TRUE(channel->write(SLKDataWithString("hi")));
        EXPECT_EQ(device.receive(2, 2000ms), "hi");
    }
    ::unlink(link.c_str());
    ::rmdir(directory);
}

TEST(UARTClose, CloseTwiceAndClosedChannelRefusesIO) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    CommErrorRef error;
    EXPECT_FALSE(channel->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed");

    ASSERT_TRUE(channel->openWithTimeout(1.0));
    error = nullptr;
    EXPECT_TRUE(channel->close(&error));
    EXPECT_EQ(error, nullptr);
    EXPECT_FALSE(channel->isOpened());
    EXPECT_TRUE(descriptorsOn(device).empty());
    EXPECT_FALSE(channel->close(&error));
    expectError(error, SLKErrorNotOpened, "Device Already Closed");

    // Reads check the state first, even with an invalid timeout.
    EXPECT_EQ(channel->readWithTimeout(-0.5, &error), nullptr);
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
    EXPECT_FALSE(channel->write(SLKDataWithString("x"), &error));
    expectError(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
    EXPECT_FALSE(channel->write(SLKDataWithString(""), &error));
    EXPECT_EQ(error->code(), SLKErrorNotOpened);

    // Reopened with the same settings.
    EXPECT_TRUE(channel->openWithTimeout(1.0));
    EXPECT_TRUE(channel->isOpened());
}

TEST(UARTReadWrite, TimeoutsAndExchange) {
    VirtualDevice device;
    device.startResponder(false, [](const std::string& line) { return line == "PING" ? std::string("OK\n") : ""; });
    auto channel = makeChannel(device.url(), &kShared);
    ASSERT_TRUE(channel->openWithTimeout(1.0));

    CommErrorRef error;
    for (const double invalid : {-0.5, -2.0, std::nan("")}) {
        EXPECT_EQ(channel->readWithTimeout(invalid, &error), nullptr) << invalid;
        expectError(error, SLKErrorInvalidArgument, "time out has an invalid value");
        EXPECT_TRUE(channel->isOpened());
    }

    error = nullptr;
    const SLKData nothing = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
    ASSERT_NE(nothing, nullptr);
    EXPECT_TRUE(nothing->empty());
    EXPECT_TRUE(channel->isOpened());

    ASSERT_TRUE(channel->write(SLKDataWithString("PING\n"), &error));
    EXPECT_EQ(text(channel->readWithTimeout(1.0, &error)), "OK\n");
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(device.received(), "PING\n");

    // Empty (and null) data: nothing to write, and that is a success.
    EXPECT_TRUE(channel->write(SLKDataWithString(""), &error));
    EXPECT_TRUE(channel->write(nullptr, &error));
    EXPECT_EQ(error, nullptr);
    device.stopResponder();

    // FOREVER waits until bytes come.
    std::atomic<bool> returned{false};
    auto forever = std::async(std::launch::async, [&] {
        SLKData data = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER);
        returned = true;
        return data;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned.load());
    device.send("late");
    ASSERT_EQ(forever.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(text(forever.get()), "late");
}

TEST(UARTReadWrite, WriteTheDeviceCannotTakeFailsAndStaysOpen) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    device.hangUp();
    CommErrorRef error;
    EXPECT_FALSE(channel->write(SLKDataWithString("lost"), &error));
    expectError(error, SLKErrorPortSystem, std::string("Failed to write message with error = ") + std::strerror(EIO));
    EXPECT_TRUE(channel->isOpened());
    // The hung-up line reads as "nothing", not as a failure.
    const SLKData data = channel->readWithTimeout(1.0, &error);
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->empty());
}

// Occupies every descriptor number below FD_SETSIZE (raising the soft limit if needed), so the
// next open gets a number select cannot take; gives everything back when it goes.
class LowNumbersTaken {
public:
    LowNumbersTaken() {
        if (::getrlimit(RLIMIT_NOFILE, &_original) != 0)
            return;
        rlimit raised = _original;
        if (raised.rlim_cur < FD_SETSIZE + 64) {
            if (raised.rlim_max < FD_SETSIZE + 64)
                return;
            raised.rlim_cur = FD_SETSIZE + 64;
            if (::setrlimit(RLIMIT_NOFILE, &raised) != 0)
                return;
            _restore = true;
        }
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0)
            return;
        _fillers.push_back(null);
        for (int fd = null; fd >= 0 && fd < FD_SETSIZE - 1;) {
            fd = ::dup(null);
            if (fd >= 0)
                _fillers.push_back(fd);
        }
    }
    ~LowNumbersTaken() {
        for (const int fd : _fillers)
            ::close(fd);
        if (_restore)
            ::setrlimit(RLIMIT_NOFILE, &_original);
    }
    bool ready() const { return !_fillers.empty() && _fillers.back() >= FD_SETSIZE - 1; }

private:
    rlimit _original{};
    bool _restore = false;
    std::vector<int> _fillers;
};

TEST(UARTReadWrite, FailingWaitClosesTheChannel) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    {
        LowNumbersTaken taken;
        if (!taken.ready())
            GTEST_SKIP() << "cannot occupy the descriptor numbers below FD_SETSIZE";
        ASSERT_TRUE(channel->openWithTimeout(1.0));
    }
    const std::vector<int> held = descriptorsOn(device);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_GE(held[0], FD_SETSIZE);

    device.send("unreachable");
    CommErrorRef error;
    EXPECT_EQ(channel->readWithTimeout(1.0, &error), nullptr);
    expectError(error, SLKErrorRead,
                std::string("Select failed with error ") + std::strerror(EINVAL) + " (" + std::to_string(EINVAL) + ")",
                "Data Channel/DescriptorOperation.cpp:");
    EXPECT_FALSE(channel->isOpened());
    EXPECT_TRUE(descriptorsOn(device).empty());
}

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
    EXPECT_EQ(openDescriptorCount(), before + 1);
    channel.reset();
    EXPECT_EQ(openDescriptorCount(), before);
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
            const bool opened = channel->openWithTimeout(1.0, &error);
            return opened ? 0 : error->code();
        };
        auto first = std::async(std::launch::async, attempt);
        auto second = std::async(std::launch::async, attempt);
        go = true;
        const int a = first.get();
        const int b = second.get();
        EXPECT_TRUE((a == 0 && b == SLKErrorAlreadyOpened) || (a == SLKErrorAlreadyOpened && b == 0)) << a << " " << b;
        EXPECT_EQ(descriptorsOn(device).size(), 1u);
        ASSERT_TRUE(channel->close());
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(UARTDescriptor, CloseDuringAReadNeitherClosesUnderItNorLetsItStealBytes) {
    VirtualDevice device;
    auto channel = makeChannel(device.url(), &kShared);
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    std::atomic<pid_t> reader{0};
    auto waiting = std::async(std::launch::async, [&] {
        reader = currentThreadId();
        CommErrorRef error;
        SLKData data = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &error);
        return std::make_pair(data, error);
    });
    ASSERT_TRUE(eventually([&] { return reader != 0 && blockedInSelect(reader); }));
    const int held = openDescriptorCount();

    // Closed while the read waits: the descriptor stays open until the read lets go.
    ASSERT_TRUE(channel->close());
    EXPECT_EQ(openDescriptorCount(), held);
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    EXPECT_EQ(openDescriptorCount(), held + 1);

    // Bytes for the reopened channel wake the old read, which leaves them alone.
    device.send("fresh");
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    const auto [stale, staleError] = waiting.get();
    ASSERT_NE(stale, nullptr);
    EXPECT_TRUE(stale->empty());
    EXPECT_EQ(staleError, nullptr);
    EXPECT_EQ(text(channel->readWithTimeout(1.0)), "fresh");
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == held; }));
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
    std::atomic<long> bytesFromA{0};
    std::atomic<long> foreign{0};
    std::atomic<long> unexpectedErrors{0};
    std::thread reader([&] {
        while (!stop) {
            CommErrorRef error;
            const SLKData data = channelA->readWithTimeout(0.01, &error);
            if (!data) {
                if (!error || error->code() != SLKErrorNotOpened)
                    ++unexpectedErrors;
                continue;
            }
            for (const std::uint8_t byte : *data) {
                if (byte == 'A')
                    ++bytesFromA;
                else
                    ++foreign;
            }
        }
    });

    // Close A and open B, which takes the lowest free number: A's, unless a read still holds it.
    // B stays open for a moment with bytes waiting, then closes, and A reopens.
    int reused = 0;
    int cycles = 0;
    const auto end = std::chrono::steady_clock::now() + 2s;
    bool ok = true;
    while (ok && std::chrono::steady_clock::now() < end) {
        const std::vector<int> numberOfA = descriptorsOn(deviceA);
        ok = channelA->close() && channelB->openWithTimeout(1.0);
        const std::vector<int> numberOfB = descriptorsOn(deviceB);
        if (numberOfA.size() == 1 && numberOfB == numberOfA)
            ++reused;
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
    EXPECT_GT(reused, 0) << "over " << cycles << " cycles";
    RecordProperty("cycles", cycles);
    RecordProperty("reused", reused);
}
