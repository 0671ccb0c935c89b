// The library stacks the benchmarks measure, opened on a device's port.
#ifndef SELKO_BENCH_CHANNEL_STACKS_H
#define SELKO_BENCH_CHANNEL_STACKS_H

#include <SelkoCommunication.h>

#include <string>

namespace selko::bench {

// "code N: message (location)", or "no error record" for a null record.
std::string describe(const CommErrorRef& error);

// The UART channel alone, open; ends the program on failure.
SLKDataChannelRef openUART(const std::string& url);
// An active channel over a UART channel, open.
SLKDataChannelRef openUARTActive(const std::string& url);
// The whole road of one exchange: UART, active, echo removal (LF), and a transforming channel
// with an aggregating transformer (LF, kept) on reads and an appending transformer (LF) on writes.
SLKDataChannelRef openFullRoad(const std::string& url);

// Closes `channel`; ends the program on failure.
void closeChannel(const SLKDataChannelRef& channel);

// The number of threads this process settles at with no channel open. Starts and joins one
// thread first: some runtimes (ThreadSanitizer) add a helper thread of their own at the first
// thread start, which must not be mistaken for a read loop that failed to end.
int settledThreadCount();

// Waits up to `seconds` for the process to be back to at most `threads` threads (background
// read loops end within about 1/30 s of their port's close); ends the program otherwise.
void awaitThreadCount(int threads, double seconds);

} // namespace selko::bench

#endif
