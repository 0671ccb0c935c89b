// Many silent ports: 1, 100 and 1000 silent devices served by one event loop, by a threaded
// active channel each, and by a plain epoll program over the same pseudo-terminals (the limit:
// one thread that wakes for nothing). Each variant runs in a process of its own, forked from one
// that holds the devices and nothing else, so getrusage over a fixed window is that variant's CPU
// alone, and its resident and heap growth are what its channels cost.
#include "Bench.h"
#include "Devices.h"
#include "ManyPorts.h"
#include "Ports.h"

#include <memory>

using namespace selko::bench;

namespace {

enum class Server { PlainEpoll, Threaded, Loop };

struct Figures {
    double cpuPercent = 0, wakeupsPerSecond = 0;
    double heapPerPort = 0, residentPerPort = 0, descriptorsPerPort = 0, threads = 0;
};

// Serves every instrument the way `server` says, idles a settling time and then `seconds`, and
// measures; runs in the child process.
Figures measure(Server server, const Instruments& instruments, double seconds) {
    armWatchdog(seconds + 60);
    const double ports = static_cast<double>(instruments.size());
    const double heapBefore = heapBytes(), residentBefore = residentBytes();
    const int descriptorsBefore = selko::test::openDescriptorCount(), threadsBefore = selko::test::threadCount();

    std::unique_ptr<PlainEpollServer> plain;
    std::shared_ptr<SLKEventLoop> loop;
    std::vector<SLKDataChannelRef> channels;
    if (server == Server::PlainEpoll) {
        plain = std::make_unique<PlainEpollServer>(instruments);
    } else {
        CommErrorRef error;
        if (server == Server::Loop && !(loop = createEventLoop(&error)))
            fail("createEventLoop: %s", error ? error->message().c_str() : "no error record");
        for (const auto& instrument : instruments)
            channels.push_back(server == Server::Loop ? openOnLoop(instrument->url(), loop) : openThreaded(instrument->url()));
    }
    Figures figures;
    figures.heapPerPort = (heapBytes() - heapBefore) / ports;
    figures.residentPerPort = (residentBytes() - residentBefore) / ports;
    figures.descriptorsPerPort = (selko::test::openDescriptorCount() - descriptorsBefore) / ports;
    figures.threads = selko::test::threadCount() - threadsBefore;

    sleepSeconds(0.5); // past the opens' own work
    const Usage before = processUsage();
    const double start = wallSeconds();
    sleepSeconds(seconds);
    const Usage after = processUsage();
    const double elapsed = wallSeconds() - start;
    figures.cpuPercent = (after.cpuSeconds - before.cpuSeconds) / elapsed * 100;
    figures.wakeupsPerSecond = (after.switches - before.switches) / elapsed;

    for (const SLKDataChannelRef& channel : channels)
        closeChannel(channel);
    channels.clear();
    loop.reset();
    plain.reset();
    return figures;
}

Figures measureInChild(Server server, const Instruments& instruments, double seconds) {
    const std::vector<double> answer = inChildProcess([&] {
        const Figures f = measure(server, instruments, seconds);
        return std::vector<double>{f.cpuPercent, f.wakeupsPerSecond, f.heapPerPort, f.residentPerPort, f.descriptorsPerPort, f.threads};
    });
    if (answer.size() != 6)
        fail("the measuring process answered %zu figures", answer.size());
    return {answer[0], answer[1], answer[2], answer[3], answer[4], answer[5]};
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    const double seconds = args.pick(5, 1.5);
    const std::vector<int> counts{1, 100, 1000};
    raiseDescriptorLimit(descriptorsFor(1000));
    armWatchdog(counts.size() * 3 * (seconds + 20) + 60);
    Report report("many silent ports", args);
    Figures loopAtMost, threadedAtMost;
    for (const int count : counts) {
        const Instruments instruments = makeInstruments(static_cast<std::size_t>(count));
        const Figures plain = measureInChild(Server::PlainEpoll, instruments, seconds);
        const Figures threaded = measureInChild(Server::Threaded, instruments, seconds);
        const Figures loop = measureInChild(Server::Loop, instruments, seconds);
        const std::string ports = format("%d port%s", count, count == 1 ? "" : "s");
        report.add(ports + ", one event loop", "CPU % of a core", loop.cpuPercent, plain.cpuPercent);
        report.add(ports + ", threaded channels", "CPU % of a core", threaded.cpuPercent, plain.cpuPercent);
        report.add(ports + ", one event loop", "wake-ups/s", loop.wakeupsPerSecond, plain.wakeupsPerSecond);
        report.add(ports + ", threaded channels", "wake-ups/s", threaded.wakeupsPerSecond, plain.wakeupsPerSecond);
        loopAtMost = loop;
        threadedAtMost = threaded;
    }
    // The budget of a loop over the most ports, as a ratio to the budget itself.
    report.add(format("%d ports, one event loop (budget)", counts.back()), "CPU % of a core", loopAtMost.cpuPercent,
               0.01, {Target::AtMost, 1.0});
    const std::string perPort = format("per port of %d, one event loop", counts.back());
    report.add(perPort, "heap bytes", loopAtMost.heapPerPort, threadedAtMost.heapPerPort);
    report.add(perPort, "resident bytes", loopAtMost.residentPerPort, threadedAtMost.residentPerPort);
    report.add(perPort, "descriptors", loopAtMost.descriptorsPerPort, threadedAtMost.descriptorsPerPort);
    report.add(format("%d ports, one event loop", counts.back()), "threads", loopAtMost.threads, threadedAtMost.threads);
    report.print(format("Many silent ports: CPU over %.1f s windows (baseline: plain epoll over the same ports); "
                        "memory per port (baseline: threaded active channels)", seconds));
    return 0;
}
