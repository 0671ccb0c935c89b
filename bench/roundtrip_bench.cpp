// Round trip: the host writes PING, the device answers OK at once, the host waits for the whole
// reply; through raw POSIX (the baseline), the UART channel, UART + active channel, and the road
// of one exchange on an echoing device. The variants take turns in blocks, so a change of machine
// load hits them alike. Host CPU is this process's CPU time less the device's responder thread.
#include "Bench.h"
#include "Ports.h"
#include "Devices.h"
#include "SimulatedInstrument.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>

using namespace selko::bench;

namespace {

constexpr int kBlock = 250;

struct Variant {
    std::string name;
    Target target;
    std::unique_ptr<SimulatedInstrument> device;
    std::set<int> deviceThreads;
    int fd = -1;                // raw POSIX
    SLKDataChannelRef channel;  // the library
    std::function<void()> roundTrip;
    std::vector<double> micros;
    double hostCpu = 0;
};

Variant makeVariant(const std::string& name, const std::string& stack, Target target) {
    Variant variant;
    variant.name = name;
    variant.target = target;
    variant.device = std::make_unique<SimulatedInstrument>();
    const std::set<int> before = threadIds();
    // The road's device echoes, and the road appends the LF itself.
    variant.device->startResponder(stack == "road" || stack == "raw echo",
                                   [](const std::string& line) { return line == "PING" ? "OK\n" : ""; });
    variant.deviceThreads = newThreadIds(before);
    if (stack == "raw" || stack == "raw echo") {
        // The echoing device's baseline drops the echo "PING\n" as the road does, by hand.
        const std::size_t echo = stack == "raw" ? 0 : 5;
        const int fd = variant.fd = openRawPort(variant.device->path());
        variant.roundTrip = [fd, name, echo] {
            writeAll(fd, "PING\n", 5);
            std::size_t unechoed = echo;
            awaitReply(name, [fd, &unechoed] {
                char chunk[64];
                const ssize_t got = waitReadable(fd, kReplyBound) ? ::read(fd, chunk, sizeof chunk) : 0;
                std::string piece(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
                const std::size_t dropped = std::min(unechoed, piece.size());
                unechoed -= dropped;
                return piece.substr(dropped);
            });
        };
        return variant;
    }
    const SLKDataChannelRef channel = variant.channel = openStack(stack, variant.device->url());
    const SLKData request = SLKDataWithString(stack == "road" ? "PING" : "PING\n");
    variant.roundTrip = [channel, request, name] { exchange(name, channel, request); };
    return variant;
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    const int roundTrips = static_cast<int>(args.pick(20000, 3000));
    const int threadsBefore = settledThreadCount();
    armWatchdog(roundTrips * 4 * 1e-3 + 60); // 1 ms per exchange would be 20 times slow
    {
        std::vector<Variant> variants;
        variants.push_back(makeVariant("raw POSIX", "raw", {}));
        variants.push_back(makeVariant("UART channel", "uart", {Target::AtMost, 1.05}));
        variants.push_back(makeVariant("UART + active", "active", {Target::AtMost, 1.25}));
        // The full stack talks to an echoing device: its baseline is raw POSIX on one.
        variants.push_back(makeVariant("raw POSIX (echoing device)", "raw echo", {}));
        variants.push_back(makeVariant("road of one exchange (echoing device)", "road", {Target::AtMost, 1.3}));
        for (Variant& variant : variants)
            for (int i = 0; i < 200; ++i) // warm-up
                variant.roundTrip();
        for (int done = 0; done < roundTrips; done += kBlock) {
            for (Variant& variant : variants) {
                const double cpuBefore = processCpuSeconds() - threadsCpuSeconds(variant.deviceThreads);
                for (int i = 0; i < kBlock; ++i) {
                    const double start = wallSeconds();
                    variant.roundTrip();
                    variant.micros.push_back((wallSeconds() - start) * 1e6);
                }
                variant.hostCpu += processCpuSeconds() - threadsCpuSeconds(variant.deviceThreads) - cpuBefore;
            }
        }
        Report report("round trip", args);
        for (const Variant& variant : variants) {
            const Variant& raw = variant.name.find("echoing") == std::string::npos ? variants[0] : variants[3];
            report.add(variant.name, "median us", median(variant.micros), median(raw.micros), variant.target);
            report.add(variant.name, "host CPU us", variant.hostCpu * 1e6 / static_cast<double>(variant.micros.size()),
                       raw.hostCpu * 1e6 / static_cast<double>(raw.micros.size()));
        }
        report.print(format("Round trip: PING -> OK on a pseudo-terminal, %d exchanges per variant", roundTrips));
        for (Variant& variant : variants) { // the device (and its responder) outlives the port
            variant.channel ? closeChannel(variant.channel) : (void)::close(variant.fd);
            variant.roundTrip = nullptr;
            variant.channel.reset();
            variant.device.reset();
        }
    }
    awaitThreadCount(threadsBefore);
    return 0;
}
