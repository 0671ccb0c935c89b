// Round trip: the host writes PING, the device answers OK at once, the host waits for the whole
// reply. Measured through raw POSIX (the baseline), the UART channel, UART + active channel, the
// whole road of one exchange, and Boost.Asio's serial_port when the build has it. The variants
// take turns in blocks, so a change of machine load during the run hits them all alike.
//
// Besides the latency, the host's CPU time per round trip is reported: this process's CPU time
// less that of the device's responder thread (every other thread is the host's: the caller and,
// for active channels, the background read loop).
#include "AsioPort.h"
#include "BenchArgs.h"
#include "BenchClock.h"
#include "BenchReport.h"
#include "BenchStats.h"
#include "ChannelStacks.h"
#include "RawPort.h"
#include "ThreadCpu.h"
#include "VirtualDevice.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace selko::bench;
using selko::test::VirtualDevice;

// One exchange that takes longer than this voids the run.
constexpr double kReplyBound = 2.0;
// Round trips a variant makes before its turn passes to the next one.
constexpr int kBlock = 250;
constexpr int kWarmUp = 200;

// Gathers reply bytes until a line ends, then insists that the line is exactly "OK\n".
class ReplyCollector {
public:
    // True once the reply is complete.
    bool add(const void* bytes, std::size_t length) {
        if (_size + length > sizeof _bytes)
            fail("reply longer than %zu bytes", sizeof _bytes);
        std::memcpy(_bytes + _size, bytes, length);
        _size += length;
        return _bytes[_size - 1] == '\n';
    }
    void check(const std::string& variant) const {
        if (_size != 3 || std::memcmp(_bytes, "OK\n", 3) != 0)
            fail("%s: unexpected reply \"%.*s\"", variant.c_str(), static_cast<int>(_size), _bytes);
    }

private:
    char _bytes[64];
    std::size_t _size = 0;
};

class Exchange {
public:
    virtual ~Exchange() = default;
    // Writes the request and returns once the complete, checked reply is in.
    virtual void roundTrip() = 0;
    // Read calls made so far (every call of the read operation, empty results included): more
    // than one per exchange means the reply came in pieces, or an echo came on its own.
    std::uint64_t reads() const { return _reads; }

protected:
    std::uint64_t _reads = 0;
};

// What a program without the library does: write, then select + read until the line is in.
class RawExchange final : public Exchange {
public:
    explicit RawExchange(const std::string& path) : _fd(openRawPort(path)) {}
    ~RawExchange() override { ::close(_fd); }

    void roundTrip() override {
        writeAll(_fd, "PING\n", 5);
        ReplyCollector reply;
        char chunk[64];
        ssize_t got = 0;
        do {
            if (!waitReadable(_fd, kReplyBound))
                fail("raw POSIX: no reply within %.0f s", kReplyBound);
            got = ::read(_fd, chunk, sizeof chunk);
            ++_reads;
            if (got <= 0)
                fail("raw POSIX: read returned %zd (%s)", got, std::strerror(errno));
        } while (!reply.add(chunk, static_cast<std::size_t>(got)));
        reply.check("raw POSIX");
    }

private:
    const int _fd;
};

// A library channel: write, then readWithTimeout until the line is in. Empty reads (a slice
// without bytes, or only an echo) are allowed until the bound.
class ChannelExchange final : public Exchange {
public:
    ChannelExchange(std::string name, SLKDataChannelRef channel, const char* request)
        : _name(std::move(name)), _channel(std::move(channel)), _request(SLKDataWithString(request)) {}
    ~ChannelExchange() override { closeChannel(_channel); }

    void roundTrip() override {
        CommErrorRef error;
        if (!_channel->write(_request, &error))
            fail("%s: write: %s", _name.c_str(), describe(error).c_str());
        ReplyCollector reply;
        double deadline = 0;
        for (;;) {
            const SLKData data = _channel->readWithTimeout(kReplyBound, &error);
            ++_reads;
            if (!data)
                fail("%s: read: %s", _name.c_str(), describe(error).c_str());
            if (data->empty()) {
                const double now = wallSeconds();
                if (deadline == 0)
                    deadline = now + kReplyBound;
                else if (now > deadline)
                    fail("%s: no reply within %.0f s", _name.c_str(), kReplyBound);
                continue;
            }
            if (reply.add(data->data(), data->size()))
                break;
        }
        reply.check(_name);
    }

private:
    const std::string _name;
    const SLKDataChannelRef _channel;
    const SLKData _request;
};

// The peer: Boost.Asio's synchronous serial_port (write, then read_some until the line is in).
// read_some has no timeout; the watchdog bounds it.
class AsioExchange final : public Exchange {
public:
    explicit AsioExchange(const std::string& path) : _port(path) {}

    void roundTrip() override {
        _port.write("PING\n", 5);
        ReplyCollector reply;
        char chunk[64];
        std::size_t got = 0;
        do {
            got = _port.readSome(chunk, sizeof chunk);
            ++_reads;
        } while (!reply.add(chunk, got));
        reply.check("Boost.Asio");
    }

private:
    AsioPort _port;
};

struct Variant {
    std::string name;
    Target target;
    std::unique_ptr<VirtualDevice> device;   // declared before the exchange: it outlives it
    std::set<int> deviceThreads;
    std::unique_ptr<Exchange> exchange;
    std::vector<double> micros;
    double hostCpuSeconds = 0;
};

// A device that answers OK to every PING line; `threads` receives its responder thread's id.
std::unique_ptr<VirtualDevice> startDevice(bool echo, std::set<int>& threads) {
    auto device = std::make_unique<VirtualDevice>();
    const std::set<int> before = threadIds();
    device->startResponder(echo, [](const std::string& line) { return line == "PING" ? std::string("OK\n") : std::string(); });
    threads = newThreadIds(before, threadIds());
    if (threads.empty())
        fail("cannot find the device's responder thread");
    return device;
}

std::vector<Variant> makeVariants(const Args& args) {
    std::vector<Variant> variants;
    const auto add = [&](std::string name, Target target, bool echo, auto makeExchange) {
        if (!variants.empty() && !args.selected(name))
            return;
        Variant variant;
        variant.name = std::move(name);
        variant.target = target;
        variant.device = startDevice(echo, variant.deviceThreads);
        variant.exchange = makeExchange(*variant.device);
        variants.push_back(std::move(variant));
    };
    add("raw POSIX", Target{}, false, [](VirtualDevice& device) { return std::make_unique<RawExchange>(device.path()); });
    add("UART channel", Target{Target::AtMost, 1.1}, false, [](VirtualDevice& device) {
        return std::make_unique<ChannelExchange>("UART channel", openUART(device.url()), "PING\n");
    });
    add("UART + active", Target{}, false, [](VirtualDevice& device) {
        return std::make_unique<ChannelExchange>("UART + active", openUARTActive(device.url()), "PING\n");
    });
    // The device echoes here, and the stack appends the LF itself.
    add("full road (echoing device)", Target{Target::AtMost, 1.5}, true, [](VirtualDevice& device) {
        return std::make_unique<ChannelExchange>("full road", openFullRoad(device.url()), "PING");
    });
    if (AsioPort::available())
        add("Boost.Asio serial_port", Target{}, false,
            [](VirtualDevice& device) { return std::make_unique<AsioExchange>(device.path()); });
    return variants;
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv, {"round-trips", "seconds"},
                                "[--quick] [--round-trips N] [--seconds S per variant] [--only VARIANT] [--summary FILE]");
    const int roundTrips = static_cast<int>(args.number("round-trips", 20000, 3000));
    const double secondsPerVariant = args.number("seconds", 20, 5);
    const int threadsBefore = settledThreadCount();

    std::vector<Variant> variants = makeVariants(args);
    armWatchdog(secondsPerVariant * static_cast<double>(variants.size()) + 60);

    std::vector<std::uint64_t> warmUpReads;
    for (Variant& variant : variants) {
        for (int i = 0; i < kWarmUp; ++i)
            variant.exchange->roundTrip();
        warmUpReads.push_back(variant.exchange->reads());
    }

    // Turns of kBlock round trips each, until every variant has its count or the time is up.
    const double stop = wallSeconds() + secondsPerVariant * static_cast<double>(variants.size());
    for (bool more = true; more && wallSeconds() < stop;) {
        more = false;
        for (Variant& variant : variants) {
            const int left = roundTrips - static_cast<int>(variant.micros.size());
            if (left <= 0)
                continue;
            const double cpuBefore = processCpuSeconds();
            const double deviceBefore = threadsCpuSeconds(variant.deviceThreads);
            for (int i = 0; i < std::min(left, kBlock); ++i) {
                const double start = wallSeconds();
                variant.exchange->roundTrip();
                variant.micros.push_back((wallSeconds() - start) * 1e6);
            }
            const double deviceCpu = threadsCpuSeconds(variant.deviceThreads) - deviceBefore;
            variant.hostCpuSeconds += processCpuSeconds() - cpuBefore - deviceCpu;
            more = more || left > kBlock;
        }
    }

    const auto cpuPerRoundTrip = [](const Variant& variant) {
        return variant.hostCpuSeconds * 1e6 / static_cast<double>(variant.micros.size());
    };
    const double rawMedian = median(variants.front().micros);
    const double rawP99 = percentile(variants.front().micros, 99);
    const double rawCpu = cpuPerRoundTrip(variants.front());
    Summary summary(args.summaryPath);
    Table table({"variant", "round trips", "reads/trip", "median us", "p99 us", "host CPU us", "median/raw", "p99/raw",
                 "CPU/raw", "target", "verdict"});
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const Variant& variant = variants[v];
        const double readsPerTrip = static_cast<double>(variant.exchange->reads() - warmUpReads[v]) /
                                    static_cast<double>(variant.micros.size());
        const double med = median(variant.micros);
        const double p99 = percentile(variant.micros, 99);
        const double cpu = cpuPerRoundTrip(variant);
        const double ratio = med / rawMedian;
        table.add({variant.name, format("%zu", variant.micros.size()), format("%.2f", readsPerTrip), format("%.1f", med),
                   format("%.1f", p99), format("%.1f", cpu), format("%.2f", ratio), format("%.2f", p99 / rawP99),
                   format("%.2f", cpu / rawCpu), variant.target.text(), variant.target.verdict(ratio)});
        summary.add("round trip", variant.name, "median us", format("%.1f", med), format("%.1f", rawMedian), ratio,
                    variant.target);
        summary.add("round trip", variant.name, "p99 us", format("%.1f", p99), format("%.1f", rawP99), p99 / rawP99,
                    Target{});
        summary.add("round trip", variant.name, "host CPU us", format("%.1f", cpu), format("%.1f", rawCpu), cpu / rawCpu,
                    Target{});
    }
    table.print("Round trip: PING -> OK on a pseudo-terminal (microseconds per exchange; host CPU excludes the "
                "device's thread)");

    variants.clear();
    awaitThreadCount(threadsBefore, 2.0);
    return 0;
}
