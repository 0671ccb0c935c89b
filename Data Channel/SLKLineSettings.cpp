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
