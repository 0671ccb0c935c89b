// Internal: the line settings of a remote serial port, read from the UART option keys.
#ifndef SELKO_LINE_SETTINGS_H
#define SELKO_LINE_SETTINGS_H

#include "SelkoCommunication.h"

#include <cstdint>

namespace selko::detail {

struct LineSettings {
    std::uint32_t baud = 115200;
    int dataSize = 8;      // 5..8
    char parity = 'N';     // 'N', 'O' or 'E'
    int stopBits = 1;      // 1 or 2
    enum class Flow { None, RTSCTS, XONXOFF } flow = Flow::None;
};

// The settings of `options` over the defaults (115200, "8N1", "none"). Code 3 with the UART
// channel's messages for a baud that is not an integer in 1..4294967295 and for a bad mode string
// (not a string, or a bad size, parity or stop-bit character); "Invalid flow control (Use none,
// rts/cts or xon/xoff)" for any other flow value.
bool lineSettingsFromOptions(const SLKOptions& options, LineSettings& settings, CommErrorRef* error);

} // namespace selko::detail

#endif
