// Idle cost: 1, 16 and 64 open active channels over silent devices, beside a raw POSIX loop that
// does the same waits (one thread per silent port, select with a 1/30 s timeout, over and over).
//
// For each count both sets run side by side over the same window, so a change of machine load
// hits them alike, and each set is charged the CPU time and context switches of its own threads
// (the active channels' background read loops; the raw loop's threads), read from the kernel's
// per-thread accounting. Nothing else of the host runs meanwhile: the main thread sleeps.
#include "BenchArgs.h"
#include "BenchClock.h"
#include "BenchReport.h"
#include "ChannelStacks.h"
#include "RawPort.h"
#include "ThreadCpu.h"
#include "VirtualDevice.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace selko::bench;
using selko::test::VirtualDevice;

// The active channel's read slice.
constexpr double kSlice = 1.0 / 30.0;
// Time for freshly started threads to reach their steady loop before measuring.
constexpr double kSettle = 0.5;

std::vector<std::unique_ptr<VirtualDevice>> silentDevices(int count) {
    std::vector<std::unique_ptr<VirtualDevice>> devices;
    for (int i = 0; i < count; ++i)
        devices.push_back(std::make_unique<VirtualDevice>());
    return devices;
}

class ActiveIdleSet {
public:
    explicit ActiveIdleSet(int count) : _devices(silentDevices(count)) {
        for (const auto& device : _devices)
            _channels.push_back(openUARTActive(device->url()));
    }
    ~ActiveIdleSet() {
        for (const SLKDataChannelRef& channel : _channels)
            closeChannel(channel);
    }

private:
    std::vector<std::unique_ptr<VirtualDevice>> _devices;
    std::vector<SLKDataChannelRef> _channels;
};

class RawIdleSet {
public:
    explicit RawIdleSet(int count) : _devices(silentDevices(count)) {
        for (const auto& device : _devices)
            _fds.push_back(openRawPort(device->path()));
        for (const int fd : _fds)
            _threads.emplace_back([this, fd] { waitLoop(fd); });
    }
    ~RawIdleSet() {
        _stop.store(true);
        for (std::thread& thread : _threads)
            thread.join();
        for (const int fd : _fds)
            ::close(fd);
    }

private:
    void waitLoop(int fd) {
        char discard[256];
        while (!_stop.load(std::memory_order_relaxed)) {
            if (waitReadable(fd, kSlice))
                (void)!::read(fd, discard, sizeof discard);
        }
    }

    std::vector<std::unique_ptr<VirtualDevice>> _devices;
    std::vector<int> _fds;
    std::vector<std::thread> _threads;
    std::atomic<bool> _stop{false};
};

// What a set of threads used over the window, per thread and second.
struct IdleCost {
    double cpuPercent = 0;      // percent of one core
    double wakeUpsPerSecond = 0;
};

struct Sample {
    double cpu;
    long long switches;
};

Sample sample(const std::set<int>& tids) { return {threadsCpuSeconds(tids), threadsContextSwitches(tids)}; }

IdleCost cost(const Sample& before, const Sample& after, double seconds, std::size_t threads) {
    IdleCost result;
    result.cpuPercent = (after.cpu - before.cpu) / seconds / static_cast<double>(threads) * 100.0;
    result.wakeUpsPerSecond = static_cast<double>(after.switches - before.switches) / seconds / static_cast<double>(threads);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv, {"seconds"}, "[--quick] [--seconds S per measurement] [--summary FILE]");
    const double seconds = args.number("seconds", 10, 2);
    const int threadsBefore = settledThreadCount();
    const std::vector<int> counts{1, 16, 64};
    armWatchdog(static_cast<double>(counts.size()) * (seconds + kSettle + 10) + 60);

    const Target target{Target::AtMost, 1.2};
    Summary summary(args.summaryPath);
    Table table({"ports", "raw CPU %/port", "active CPU %/channel", "raw wake-ups/s/port", "active wake-ups/s/channel",
                 "active/raw CPU", "target", "verdict"});
    for (const int count : counts) {
        IdleCost raw;
        IdleCost active;
        {
            const std::set<int> before = threadIds();
            RawIdleSet rawSet(count);
            const std::set<int> withRaw = threadIds();
            ActiveIdleSet activeSet(count);
            const std::set<int> rawThreads = newThreadIds(before, withRaw);
            const std::set<int> loopThreads = newThreadIds(withRaw, threadIds());
            if (rawThreads.size() != static_cast<std::size_t>(count) || loopThreads.size() != static_cast<std::size_t>(count))
                fail("expected %d raw and %d loop threads, found %zu and %zu", count, count, rawThreads.size(),
                     loopThreads.size());

            sleepSeconds(kSettle);
            const Sample rawBefore = sample(rawThreads);
            const Sample loopBefore = sample(loopThreads);
            const double wallBefore = wallSeconds();
            sleepSeconds(seconds);
            const Sample rawAfter = sample(rawThreads);
            const Sample loopAfter = sample(loopThreads);
            const double window = wallSeconds() - wallBefore;
            raw = cost(rawBefore, rawAfter, window, rawThreads.size());
            active = cost(loopBefore, loopAfter, window, loopThreads.size());
        }
        awaitThreadCount(threadsBefore, 2.0);

        const double ratio = active.cpuPercent / raw.cpuPercent;
        table.add({format("%d", count), format("%.4f", raw.cpuPercent), format("%.4f", active.cpuPercent),
                   format("%.1f", raw.wakeUpsPerSecond), format("%.1f", active.wakeUpsPerSecond), format("%.2f", ratio),
                   target.text(), target.verdict(ratio)});
        summary.add("idle", format("%d active channel%s", count, count == 1 ? "" : "s"), "CPU %/channel",
                    format("%.4f", active.cpuPercent), format("%.4f", raw.cpuPercent), ratio, target);
    }
    table.print(format("Idle: open channels over silent devices, side by side with the raw loop, %.0f s "
                       "(CPU %% of one core per port)", seconds));
    return 0;
}
