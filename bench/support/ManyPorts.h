// Many ports at once: hundreds of silent simulated instruments, the two ways the library serves
// them (one event loop, or a background thread per channel), the plain epoll program that is the
// limit of both, and the process figures they are judged by.
#ifndef SELKO_BENCH_MANY_PORTS_H
#define SELKO_BENCH_MANY_PORTS_H

#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace selko::bench {

// Every port costs descriptors: the instrument's master, its own slave and its stop pipe, then the
// host's port and whatever its channel adds. Raises the soft limit to `wanted` (failing when the
// hard limit is lower).
void raiseDescriptorLimit(std::size_t wanted);
// Enough descriptors for `ports` instruments each with a channel over it.
constexpr std::size_t descriptorsFor(std::size_t ports) { return 8 * ports + 256; }

using Instruments = std::vector<std::unique_ptr<SimulatedInstrument>>;
Instruments makeInstruments(std::size_t count);

// A UART channel under a loop-served active channel, or under a threaded one; opened.
SLKDataChannelRef openOnLoop(const std::string& url, const std::shared_ptr<SLKEventLoop>& loop);
SLKDataChannelRef openThreaded(const std::string& url);

// What a program without the library does with many ports: one thread in epoll_wait over their
// raw descriptors, reading and dropping whatever arrives, waking for nothing else.
class PlainEpollServer {
public:
    explicit PlainEpollServer(const Instruments& instruments);
    ~PlainEpollServer();
    PlainEpollServer(const PlainEpollServer&) = delete;
    PlainEpollServer& operator=(const PlainEpollServer&) = delete;

private:
    int _epoll = -1, _stop = -1;
    std::vector<int> _ports;
    std::thread _thread;
};

// The process's CPU time (user + system) and context switches so far, from getrusage.
struct Usage {
    double cpuSeconds = 0;
    double switches = 0;
};
Usage processUsage();
// Resident memory (/proc/self/statm) and bytes handed out by malloc (every arena), right now.
double residentBytes();
double heapBytes();

// Runs `measure` in a child process (this process must have no other thread) and returns the
// figures it produced; a child that fails, crashes or answers short ends the benchmark. A child
// starts with exactly the parent's memory and no other variant's leftovers, so its own resident
// and CPU figures are those of one variant alone.
std::vector<double> inChildProcess(const std::function<std::vector<double>()>& measure);

// waitReadable with poll(): the descriptors of a process with a thousand ports are past select()'s
// FD_SETSIZE.
bool pollReadable(int fd, double seconds);

double percentile(std::vector<double> samples, double fraction);

} // namespace selko::bench

#endif
