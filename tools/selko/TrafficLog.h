// Time stamps, and the traffic log that selko term writes through a tap channel.
#ifndef SELKO_TOOL_TRAFFIC_LOG_H
#define SELKO_TOOL_TRAFFIC_LOG_H

#include <SelkoCommunication.h>

#include <string>

namespace selko::tool {

// The local wall-clock time, "14:03:07.123", or "2026-12-06 14:03:07.123" with `withDate`.
std::string clockText(bool withDate);

// A tap that appends one line per non-empty block to the file at `path`:
//   2026-12-06 14:03:07.123 write "*IDN?\n"
//   2026-12-06 14:03:07.131 read  "Selko Instruments,SIM-100,0001,1.18\n"
// CommandFailure when the file cannot be opened for writing.
std::function<void(SLKDirection, const SLKBytes&)> trafficLogTap(const std::string& path);

} // namespace selko::tool

#endif
