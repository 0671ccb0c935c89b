// Round trip on one port among many: the host writes PING, the device answers OK at once, the
// host waits for the whole reply. One loop-served channel alone on its loop, and one sharing its
// loop with 999 other ports, first while those are silent, then while they stream, then while 999
// more stream under threaded channels beside them; beside a threaded active channel (one of those
// 999 in the last phase) and raw POSIX on a port of their own. Within a phase the variants take
// turns in blocks, so a change of machine load hits them alike, and every thread of the program
// runs on one CPU: otherwise a variant's median says more about whether the scheduler happened to
// put its reading thread and its device on the same CPU than about its code.
#include "Bench.h"
#include "ManyPorts.h"
#include "Ports.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>

using namespace selko::bench;

namespace {

constexpr int kBlock = 200;
constexpr int kOthers = 999;

struct Variant {
    std::string name;
    std::function<void()> roundTrip;
    std::vector<double> micros;
    void reset() { micros.clear(); }
};

std::unique_ptr<SimulatedInstrument> makeResponder() {
    auto device = std::make_unique<SimulatedInstrument>();
    device->startResponder(false, [](const std::string& line) { return line == "PING" ? "OK\n" : ""; });
    return device;
}

Variant rawVariant(int fd) {
    return {"raw POSIX", [fd] {
                writeAll(fd, "PING\n", 5);
                awaitReply("raw POSIX", [fd] {
                    char chunk[64];
                    const ssize_t got = pollReadable(fd, kReplyBound) ? ::read(fd, chunk, sizeof chunk) : 0;
                    return std::string(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
                });
            }, {}};
}

Variant channelVariant(const std::string& name, const SLKDataChannelRef& channel) {
    const SLKData request = SLKDataWithString("PING\n");
    return {name, [channel, request, name] { exchange(name, channel, request); }, {}};
}

void runInTurns(std::vector<Variant*> variants, int roundTrips) {
    for (Variant* variant : variants) {
        variant->reset();
        for (int i = 0; i < 200; ++i) // warm-up
            variant->roundTrip();
    }
    for (int done = 0; done < roundTrips; done += kBlock)
        for (Variant* variant : variants)
            for (int i = 0; i < kBlock; ++i) {
                const double start = wallSeconds();
                variant->roundTrip();
                variant->micros.push_back((wallSeconds() - start) * 1e6);
            }
}

// Sends a 32-byte line to every port `linesPerSecond` times a second, spread evenly over 10 ms
// ticks so that no tick is a burst, until destroyed.
class Streamer {
public:
    Streamer(std::vector<int> masters, double linesPerSecond) : _masters(std::move(masters)) {
        _thread = std::thread([this, linesPerSecond] {
            const double tick = 0.01;
            const double perTick = static_cast<double>(_masters.size()) * linesPerSecond * tick;
            double owed = 0;
            std::size_t next = 0;
            static const char line[] = "$STREAM,0123456789,ABCDEFGHIJ*00\n";
            for (double due = wallSeconds(); !_stop.load(); due += tick) {
                for (owed += perTick; owed >= 1; owed -= 1, next = (next + 1) % _masters.size())
                    writeAll(_masters[next], line, sizeof line - 1);
                sleepSeconds(std::max(0.0, due + tick - wallSeconds()));
            }
        });
    }
    ~Streamer() {
        _stop = true;
        _thread.join();
    }

private:
    std::vector<int> _masters;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

// Keeps this thread, and every thread started from now on, on the last CPU it may use.
void runOnOneCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        fail("sched_getaffinity failed");
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            last = cpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    if (::sched_setaffinity(0, sizeof one, &one) != 0)
        fail("sched_setaffinity failed");
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    runOnOneCpu();
    const int roundTrips = static_cast<int>(args.pick(10000, 2000));
    const double linesPerSecond = 5;
    raiseDescriptorLimit(descriptorsFor(2 * kOthers + 4));
    armWatchdog(2 * 5 * roundTrips * 2e-3 + 120); // 2 ms per exchange would be 20 times slow
    const int threadsBefore = settledThreadCount();
    Report report("ports among many", args);
    {
        // The measured ports answer; the others are silent until the streaming phase.
        auto rawDevice = makeResponder(), threadedDevice = makeResponder(), aloneDevice = makeResponder(),
             amongDevice = makeResponder();
        const Instruments loopOthers = makeInstruments(kOthers), threadedOthers = makeInstruments(kOthers);
        CommErrorRef error;
        const std::shared_ptr<SLKEventLoop> aloneLoop = createEventLoop(&error), sharedLoop = createEventLoop(&error);
        if (!aloneLoop || !sharedLoop)
            fail("createEventLoop: %s", error ? error->message().c_str() : "no error record");

        const int rawFd = openRawPort(rawDevice->path());
        const SLKDataChannelRef threaded = openThreaded(threadedDevice->url()),
                                alone = openOnLoop(aloneDevice->url(), aloneLoop),
                                among = openOnLoop(amongDevice->url(), sharedLoop);
        std::vector<SLKDataChannelRef> others;
        for (const auto& device : loopOthers)
            others.push_back(openOnLoop(device->url(), sharedLoop));

        Variant raw = rawVariant(rawFd), threadedAlone = channelVariant("threaded active channel", threaded),
                loopAlone = channelVariant("loop-served, alone on its loop", alone),
                loopAmong = channelVariant("loop-served, among 999", among);

        // Silent others: the threaded channels would poll, so they join only while streaming.
        runInTurns({&raw, &threadedAlone, &loopAlone, &loopAmong}, roundTrips);
        const auto addPair = [&report](const std::string& name, const Variant& value, const Variant& baseline, Target target) {
            report.add(name, "median us", median(value.micros), median(baseline.micros), target);
            report.add(name, "p99 us", percentile(value.micros, 0.99), percentile(baseline.micros, 0.99));
        };
        addPair("silent: threaded active channel vs raw", threadedAlone, raw, {});
        addPair("silent: loop-served alone vs threaded", loopAlone, threadedAlone, {Target::AtMost, 1.0});
        addPair("silent: loop among 999 vs alone", loopAmong, loopAlone, {Target::AtMost, 1.1});

        // The loop's 999 others stream: what sharing a busy loop costs the one port.
        const auto mastersOf = [](const Instruments& group) {
            std::vector<int> masters;
            for (const auto& device : group)
                masters.push_back(device->masterFd());
            return masters;
        };
        {
            Streamer streamer(mastersOf(loopOthers), linesPerSecond);
            sleepSeconds(0.5);
            runInTurns({&raw, &loopAlone, &loopAmong}, roundTrips);
        }
        addPair("loop's others stream: loop among 999 vs alone", loopAmong, loopAlone, {});
        addPair("loop's others stream: loop alone vs raw", loopAlone, raw, {});

        // Then 999 more stream under threaded channels beside them: both ways under one load (the
        // threaded readers' own polling is part of it).
        for (const auto& device : threadedOthers)
            others.push_back(openThreaded(device->url()));
        std::vector<int> masters = mastersOf(loopOthers), threadedMasters = mastersOf(threadedOthers);
        masters.insert(masters.end(), threadedMasters.begin(), threadedMasters.end());
        {
            Streamer streamer(masters, linesPerSecond);
            sleepSeconds(0.5);
            runInTurns({&raw, &threadedAlone, &loopAmong}, roundTrips);
        }
        addPair("all stream: loop among 999 vs threaded among 999", loopAmong, threadedAlone, {Target::AtMost, 1.0});
        addPair("all stream: threaded among 999 vs raw", threadedAlone, raw, {});
        report.print(format("Round trip among %d ports: PING -> OK, %d exchanges per variant and phase, on one CPU; "
                            "a streaming port gets %.0f lines/s",
                            kOthers + 1, roundTrips, linesPerSecond));

        for (const SLKDataChannelRef& channel : others)
            closeChannel(channel);
        for (const SLKDataChannelRef& channel : {threaded, alone, among})
            closeChannel(channel);
        ::close(rawFd);
    }
    awaitThreadCount(threadsBefore);
    return 0;
}
