// The raw POSIX side of every comparison: what a program without the library does with a port.
#ifndef SELKO_BENCH_RAW_PORT_H
#define SELKO_BENCH_RAW_PORT_H

#include <cstddef>
#include <string>

namespace selko::bench {

// Opens a terminal device read-write, blocking, in raw mode (cfmakeraw); ends the program on failure.
int openRawPort(const std::string& path);

// Waits with select() until `fd` is readable or `seconds` pass; true when readable.
bool waitReadable(int fd, double seconds);

// Writes every byte, retrying short writes; ends the program on failure.
void writeAll(int fd, const void* bytes, std::size_t length);

} // namespace selko::bench

#endif
