#include "Ports.h"

#include "Bench.h"
#include "Devices.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace selko::bench {

int openRawPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios attributes{};
    if (fd < 0 || ::tcgetattr(fd, &attributes) != 0)
        fail("open %s: %s", path.c_str(), std::strerror(errno));
    ::cfmakeraw(&attributes);
    if (::tcsetattr(fd, TCSANOW, &attributes) != 0)
        fail("tcsetattr %s: %s", path.c_str(), std::strerror(errno));
    return fd;
}

bool waitReadable(int fd, double seconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval limit{static_cast<time_t>(seconds), static_cast<suseconds_t>(std::fmod(seconds, 1.0) * 1e6)};
    const int ready = ::select(fd + 1, &readable, nullptr, nullptr, &limit);
    if (ready < 0 && errno != EINTR)
        fail("select: %s", std::strerror(errno));
    return ready > 0;
}

void writeAll(int fd, const void* bytes, std::size_t length) {
    for (const char* next = static_cast<const char*>(bytes); length > 0;) {
        const ssize_t written = ::write(fd, next, length);
        if (written < 0 && errno != EINTR)
            fail("write: %s", std::strerror(errno));
        next += written > 0 ? written : 0;
        length -= written > 0 ? static_cast<std::size_t>(written) : 0;
    }
}

namespace {

// The stacks, bottom first; null (with the error) when a layer cannot be made. "road" is the road
// of one exchange: UART, background reader, echo removal (LF), and a transforming channel that
// appends LF to every write and releases one LF-ended message per read.
SLKDataChannelRef makeStack(const std::string& stack, const std::string& url, CommErrorRef* error) {
    SLKDataChannelRef channel = createUARTChannel(url.c_str(), nullptr, error);
    if (stack == "uart" || !channel)
        return channel;
    channel = createActiveChannel(channel, error);
    if (stack == "active" || !channel)
        return channel;
    const SLKData lineFeed = SLKDataWithString("\n");
    channel = createEchoRemovalChannel(channel, lineFeed, error);
    const std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(lineFeed, false, error)},
        writes{createAppendingTransformer(lineFeed, error)};
    return channel ? createChannelTransformer(channel, &reads, &writes, error) : nullptr;
}

} // namespace

SLKDataChannelRef openStack(const std::string& stack, const std::string& url) {
    CommErrorRef error;
    const SLKDataChannelRef channel = makeStack(stack, url, &error);
    if (!channel || !channel->openWithTimeout(1.0, &error))
        fail("%s stack: %s", stack.c_str(), error ? error->message().c_str() : "no error record");
    return channel;
}

void closeChannel(const SLKDataChannelRef& channel) {
    CommErrorRef error;
    if (!channel->close(&error))
        fail("close: %s", error ? error->message().c_str() : "no error record");
}

int settledThreadCount() {
    std::thread([] {}).join(); // ThreadSanitizer starts a helper thread along with the first thread
    return selko::test::threadCount();
}

void awaitThreadCount(int threads) {
    // Background readers end within about 1/30 s of their port's close.
    if (!selko::test::eventually([threads] { return selko::test::threadCount() <= threads; }, std::chrono::seconds(2)))
        fail("background threads still running (%d, expected at most %d)", selko::test::threadCount(), threads);
}

void exchange(const std::string& name, const SLKDataChannelRef& channel, const SLKData& request) {
    CommErrorRef error;
    if (!channel->write(request, &error))
        fail("%s: write failed", name.c_str());
    awaitReply(name, [&] {
        const SLKData data = channel->readWithTimeout(kReplyBound, &error);
        if (!data)
            fail("%s: read failed", name.c_str());
        return std::string(data->begin(), data->end());
    });
}

} // namespace selko::bench
