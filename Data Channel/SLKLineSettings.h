// Internal: the one reader of the line options (the UART option keys), for the UART channel and for
// the line settings a remote serial port is asked for.
#ifndef SELKO_LINE_SETTINGS_H
#define SELKO_LINE_SETTINGS_H

#include "SelkoCommunication.h"

#include <cstdint>
#include <optional>
#include <string>

namespace selko::detail {

enum class FlowControl { None, RTSCTS, XONXOFF };

struct LineSettings {
    using Flow = FlowControl;
    std::uint32_t baud = 115200;
    int dataSize = 8;      // 5..8
    char parity = 'N';     // 'N', 'O' or 'E'
    int stopBits = 1;      // 1 or 2
    FlowControl flow = FlowControl::None;
};

// The driver's RS-485 mode asked for: Unchanged (the key absent) leaves the driver's settings alone.
enum class RS485Mode { Unchanged, Off, RTSOnSend, RTSAfterSend };

// What is set on the line right after its configuration.
struct LineAtOpen {
    std::optional<bool> dtr, rts;   // empty: the level the driver left
    RS485Mode rs485 = RS485Mode::Unchanged;
    std::uint32_t delayBeforeSend = 0, delayAfterSend = 0;   // milliseconds
};

// Each reader leaves the default when the key is absent and fails with code 3 for a value of the
// wrong type or out of range.
// SELKO_COMMUNICATION_UART_BAUD: an integer in 1..4294967295; default 115200.
bool readBaud(const SLKOptions& options, std::uint32_t& baud, CommErrorRef* error);
// SELKO_COMMUNICATION_UART_FLOW_CONTROL: "none", "rts/cts" or "xon/xoff"; default "none".
bool readFlowControl(const SLKOptions& options, FlowControl& flow, CommErrorRef* error);
// A flag such as SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK; `name` names it in the message
// "Invalid <name> (Use true or false)".
bool readFlag(const SLKOptions& options, const char* key, const char* name, bool& value, CommErrorRef* error);
// SELKO_COMMUNICATION_UART_MODE, at least three characters (a short one padded with NULs, a value
// that is not a string an empty one), so that its characters can be judged one by one; default
// "8N1". Never fails: the mode characters are judged where they are applied.
std::string readMode(const SLKOptions& options);
// SELKO_COMMUNICATION_UART_DTR and _RTS (flags), SELKO_COMMUNICATION_UART_RS485 ("off",
// "rts-on-send" or "rts-after-send") and its two delays (integers in 0..4294967295).
bool readLineAtOpen(const SLKOptions& options, LineAtOpen& line, CommErrorRef* error);

// The settings of `options` over the defaults (115200, "8N1", "none"): baud, then the mode (with
// the UART channel's messages for a bad size, parity or stop-bit character), then flow control.
bool lineSettingsFromOptions(const SLKOptions& options, LineSettings& settings, CommErrorRef* error);

} // namespace selko::detail

#endif
