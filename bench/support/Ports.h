// The two sides of every channel comparison: a port as a program without the library drives it
// (raw POSIX), and the library's stacks, opened or failing loudly.
#ifndef SELKO_BENCH_PORTS_H
#define SELKO_BENCH_PORTS_H

#include <SelkoCommunication.h>

#include <cstddef>
#include <string>

namespace selko::bench {

// Opens a terminal device read-write, blocking, in raw mode (cfmakeraw).
int openRawPort(const std::string& path);
// Waits with select() until `fd` is readable or `seconds` pass; true when readable.
bool waitReadable(int fd, double seconds);
void writeAll(int fd, const void* bytes, std::size_t length);

// A stack over the port at `url` ("uart", "active" or "road": see Ports.cpp), opened.
SLKDataChannelRef openStack(const std::string& stack, const std::string& url);
void closeChannel(const SLKDataChannelRef& channel);
// Writes `request` to `channel` and reads until the "OK\n" reply is complete (see awaitReply);
// any failure ends the program.
void exchange(const std::string& name, const SLKDataChannelRef& channel, const SLKData& request);

// The thread count with no channel open (after the runtime's own first-thread helpers), and a
// bounded wait for the process to be back to it once channels are closed.
int settledThreadCount();
void awaitThreadCount(int threads);

} // namespace selko::bench

#endif
