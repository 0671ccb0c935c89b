#include "ChannelStacks.h"

#include "BenchReport.h"
#include "VirtualDevice.h"

#include <chrono>
#include <thread>
#include <vector>

namespace selko::bench {

namespace {

SLKDataChannelRef made(SLKDataChannelRef channel, const CommErrorRef& error, const char* what) {
    if (!channel)
        fail("%s: %s", what, describe(error).c_str());
    return channel;
}

SLKDataChannelRef opened(SLKDataChannelRef channel) {
    CommErrorRef error;
    if (!channel->openWithTimeout(1.0, &error))
        fail("open: %s", describe(error).c_str());
    return channel;
}

} // namespace

std::string describe(const CommErrorRef& error) {
    if (!error)
        return "no error record";
    return format("code %d: %s (%s)", error->code(), error->message().c_str(), error->location().c_str());
}

SLKDataChannelRef openUART(const std::string& url) {
    CommErrorRef error;
    return opened(made(createUARTChannel(url.c_str(), nullptr, &error), error, "createUARTChannel"));
}

SLKDataChannelRef openUARTActive(const std::string& url) {
    CommErrorRef error;
    SLKDataChannelRef uart = made(createUARTChannel(url.c_str(), nullptr, &error), error, "createUARTChannel");
    return opened(made(createActiveChannel(uart, &error), error, "createActiveChannel"));
}

SLKDataChannelRef openFullRoad(const std::string& url) {
    CommErrorRef error;
    const SLKData lineFeed = SLKDataWithString("\n");
    SLKDataChannelRef uart = made(createUARTChannel(url.c_str(), nullptr, &error), error, "createUARTChannel");
    SLKDataChannelRef active = made(createActiveChannel(uart, &error), error, "createActiveChannel");
    SLKDataChannelRef echo = made(createEchoRemovalChannel(active, lineFeed, &error), error, "createEchoRemovalChannel");
    const SLKDataTransformerRef aggregate = createAggregatingTransformer(lineFeed, false, &error);
    if (!aggregate)
        fail("createAggregatingTransformer: %s", describe(error).c_str());
    const SLKDataTransformerRef append = createAppendingTransformer(lineFeed, &error);
    if (!append)
        fail("createAppendingTransformer: %s", describe(error).c_str());
    const std::vector<SLKDataTransformerRef> reads{aggregate};
    const std::vector<SLKDataTransformerRef> writes{append};
    return opened(made(createChannelTransformer(echo, &reads, &writes, &error), error, "createChannelTransformer"));
}

void closeChannel(const SLKDataChannelRef& channel) {
    CommErrorRef error;
    if (!channel->close(&error))
        fail("close: %s", describe(error).c_str());
}

int settledThreadCount() {
    std::thread([] {}).join();
    return selko::test::threadCount();
}

void awaitThreadCount(int threads, double seconds) {
    const auto limit = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    if (!selko::test::eventually([threads] { return selko::test::threadCount() <= threads; }, limit))
        fail("background threads still running after %.1f s (%d, expected at most %d)", seconds,
             selko::test::threadCount(), threads);
}

} // namespace selko::bench
