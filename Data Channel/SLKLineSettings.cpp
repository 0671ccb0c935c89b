#include "SLKLineSettings.h"

#include "CommErrorRaise.h"

#include <termios.h>

#include <algorithm>

namespace selko::detail {

namespace {

const SLKOptionValue* findOption(const SLKOptions& options, const char* key) {
    const auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
}

} // namespace

bool readBaud(const SLKOptions& options, std::uint32_t& baud, CommErrorRef* error) {
    if (const SLKOptionValue* value = findOption(options, SELKO_COMMUNICATION_UART_BAUD)) {
        const long long* number = std::get_if<long long>(value);
        if (number == nullptr || *number < 1 || *number > 4294967295LL) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid baud rate (Use a positive integer)");
            return false;
        }
        baud = static_cast<std::uint32_t>(*number);
    }
    return true;
}

bool readFlowControl(const SLKOptions& options, FlowControl& flow, CommErrorRef* error) {
    if (const SLKOptionValue* value = findOption(options, SELKO_COMMUNICATION_UART_FLOW_CONTROL)) {
        const std::string* name = std::get_if<std::string>(value);
        if (name != nullptr && *name == "none") {
            flow = FlowControl::None;
        } else if (name != nullptr && *name == "rts/cts") {
            flow = FlowControl::RTSCTS;
        } else if (name != nullptr && *name == "xon/xoff") {
            flow = FlowControl::XONXOFF;
        } else {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid flow control (Use none, rts/cts, or xon/xoff)");
            return false;
        }
    }
    return true;
}

bool readFlag(const SLKOptions& options, const char* key, const char* name, bool& value, CommErrorRef* error) {
    if (const SLKOptionValue* option = findOption(options, key)) {
        const bool* flag = std::get_if<bool>(option);
        if (flag == nullptr) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid %s (Use true or false)", name);
            return false;
        }
        value = *flag;
    }
    return true;
}

std::string readMode(const SLKOptions& options) {
    std::string mode = "8N1";
    if (const SLKOptionValue* value = findOption(options, SELKO_COMMUNICATION_UART_MODE)) {
        const std::string* text = std::get_if<std::string>(value);
        mode = text ? *text : std::string();
    }
    mode.resize(std::max<std::size_t>(mode.size(), 3), '\0');
    return mode;
}

namespace {

bool readLevel(const SLKOptions& options, const char* key, const char* name, std::optional<bool>& level,
               CommErrorRef* error) {
    if (findOption(options, key) == nullptr)
        return true;
    bool value = false;
    if (!readFlag(options, key, name, value, error))
        return false;
    level = value;
    return true;
}

bool readDelay(const SLKOptions& options, const char* key, const char* name, std::uint32_t& milliseconds,
               CommErrorRef* error) {
    if (const SLKOptionValue* value = findOption(options, key)) {
        const long long* number = std::get_if<long long>(value);
        if (number == nullptr || *number < 0 || *number > 4294967295LL) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid %s (Use 0 or a positive integer of milliseconds)",
                      name);
            return false;
        }
        milliseconds = static_cast<std::uint32_t>(*number);
    }
    return true;
}

} // namespace

bool readLineAtOpen(const SLKOptions& options, LineAtOpen& line, CommErrorRef* error) {
    LineAtOpen parsed;
    if (!readLevel(options, SELKO_COMMUNICATION_UART_DTR, "DTR", parsed.dtr, error) ||
        !readLevel(options, SELKO_COMMUNICATION_UART_RTS, "RTS", parsed.rts, error))
        return false;
    if (const SLKOptionValue* value = findOption(options, SELKO_COMMUNICATION_UART_RS485)) {
        const std::string* name = std::get_if<std::string>(value);
        if (name != nullptr && *name == "off") {
            parsed.rs485 = RS485Mode::Off;
        } else if (name != nullptr && *name == "rts-on-send") {
            parsed.rs485 = RS485Mode::RTSOnSend;
        } else if (name != nullptr && *name == "rts-after-send") {
            parsed.rs485 = RS485Mode::RTSAfterSend;
        } else {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid RS-485 mode (Use off, rts-on-send, or rts-after-send)");
            return false;
        }
    }
    if (!readDelay(options, SELKO_COMMUNICATION_UART_RS485_DELAY_BEFORE, "RS-485 delay before send",
                   parsed.delayBeforeSend, error) ||
        !readDelay(options, SELKO_COMMUNICATION_UART_RS485_DELAY_AFTER, "RS-485 delay after send",
                   parsed.delayAfterSend, error))
        return false;
    line = parsed;
    return true;
}

bool lineSettingsFromOptions(const SLKOptions& options, LineSettings& settings, CommErrorRef* error) {
    LineSettings parsed;
    if (!readBaud(options, parsed.baud, error))
        return false;
    // The mode characters are judged by the same functions that apply them to a local port.
    const std::string mode = readMode(options);
    termios judged{};
    if (!setCharacterSizeSpecifier(&judged, mode[0], error) || !setParityMaskSpecifier(&judged, mode[1], error) ||
        !setStopBitSpecifier(&judged, mode[2], error))
        return false;
    parsed.dataSize = mode[0] - '0';
    parsed.parity = mode[1];
    parsed.stopBits = mode[2] - '0';
    if (!readFlowControl(options, parsed.flow, error))
        return false;
    settings = parsed;
    return true;
}

} // namespace selko::detail
