// Idle cost: 1, 16 and 64 open active channels over silent devices, beside a raw POSIX loop that
// does the same waits (one thread per silent port, select with a 1/30 s timeout, over and over).
// Both sets run side by side over the same window and each is charged the CPU time of its own
// threads; the main thread only sleeps.
#include "Bench.h"
#include "Ports.h"
#include "Devices.h"
#include "SimulatedInstrument.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace selko::bench;

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    const double seconds = args.pick(10, 2);
    const int threadsBefore = settledThreadCount();
    armWatchdog(3 * (seconds + 15) + 60);
    Report report("idle", args);
    for (const int count : {1, 16, 64}) {
        double rawCpu = 0, activeCpu = 0;
        {
            std::vector<std::unique_ptr<SimulatedInstrument>> devices;
            for (int i = 0; i < 2 * count; ++i)
                devices.push_back(std::make_unique<SimulatedInstrument>());
            std::atomic<bool> stop{false};
            std::vector<std::thread> rawLoops;
            std::vector<SLKDataChannelRef> channels;
            const std::set<int> before = threadIds();
            for (int i = 0; i < count; ++i) {
                rawLoops.emplace_back([&stop, fd = openRawPort(devices[i]->path())] {
                    for (char discard[256]; !stop.load(std::memory_order_relaxed);)
                        if (waitReadable(fd, 1.0 / 30))
                            (void)!::read(fd, discard, sizeof discard);
                    ::close(fd);
                });
            }
            const std::set<int> rawThreads = newThreadIds(before), withRaw = threadIds();
            for (int i = 0; i < count; ++i)
                channels.push_back(openStack("active", devices[count + i]->url()));
            const std::set<int> loopThreads = newThreadIds(withRaw);
            if (rawThreads.size() != static_cast<std::size_t>(count) || loopThreads.size() != static_cast<std::size_t>(count))
                fail("expected %d raw and %d loop threads, found %zu and %zu", count, count, rawThreads.size(), loopThreads.size());
            sleepSeconds(0.5); // the threads reach their steady loop
            const double rawBefore = threadsCpuSeconds(rawThreads), loopBefore = threadsCpuSeconds(loopThreads);
            sleepSeconds(seconds);
            rawCpu = threadsCpuSeconds(rawThreads) - rawBefore;
            activeCpu = threadsCpuSeconds(loopThreads) - loopBefore;
            stop = true;
            for (std::thread& loop : rawLoops)
                loop.join();
            for (const SLKDataChannelRef& channel : channels)
                closeChannel(channel);
        }
        awaitThreadCount(threadsBefore);
        report.add(format("%d active channel%s", count, count == 1 ? "" : "s"), "CPU %/channel",
                   activeCpu / seconds / count * 100, rawCpu / seconds / count * 100, {Target::AtMost, 1.2});
    }
    report.print(format("Idle: open channels over silent devices beside the raw loop, %.0f s windows", seconds));
    return 0;
}
