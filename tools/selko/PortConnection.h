// The line options that send and term share (--baud, --mode, --flow, --eol, --dtr, --rts,
// --rs485), the port named on the command line (a URL or a device path), and its opening.
#ifndef SELKO_TOOL_PORT_CONNECTION_H
#define SELKO_TOOL_PORT_CONNECTION_H

#include "Arguments.h"

#include <SelkoCommunication.h>

#include <string>
#include <vector>

namespace selko::tool {

// The option specs of the line options, to append to a command's own.
std::vector<OptionSpec> lineOptionSpecs();
// The library options map for the line options given (UsageError for a bad --baud, --flow,
// --dtr or --rts; the library judges --mode and --rs485).
SLKOptions portOptions(const Arguments& arguments);
// The URL of the port named on the command line: a path ("/dev/ttyUSB0",
// "/dev/serial/by-id/usb-...") becomes its uart:// URL, anything else is taken as a URL.
std::string portURL(const std::string& port);
// The channel for `url`, opened; CommandFailure with the library's message when it cannot be.
SLKDataChannelRef openPort(const std::string& url, const SLKOptions& options);
// The message of a library error, or `fallback` when the library gave none.
std::string messageOf(const CommErrorRef& error, const std::string& fallback);

} // namespace selko::tool

#endif
