#include "SLKLineSettings.h"

#include "CommErrorRaise.h"

namespace selko::detail {

bool lineSettingsFromOptions(const SLKOptions& options, LineSettings& settings, CommErrorRef* error) {
    LineSettings parsed;
    if (const auto found = options.find(SELKO_COMMUNICATION_UART_BAUD); found != options.end()) {
        const long long* number = std::get_if<long long>(&found->second);
        if (number == nullptr || *number < 1 || *number > 4294967295LL) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid baud rate (Use a positive integer)");
            return false;
        }
        parsed.baud = static_cast<std::uint32_t>(*number);
    }
    std::string mode = "8N1";
    if (const auto found = options.find(SELKO_COMMUNICATION_UART_MODE); found != options.end()) {
        const std::string* text = std::get_if<std::string>(&found->second);
        mode = text ? *text : std::string();
    }
    mode.resize(std::max<std::size_t>(mode.size(), 3), '\0');
    if (mode[0] < '5' || mode[0] > '8') {
        SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid Character Size (Use 5, 6, 7, or 8)");
        return false;
    }
    parsed.dataSize = mode[0] - '0';
    if (mode[1] != 'N' && mode[1] != 'O' && mode[1] != 'E') {
        SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid parity (Use N, O, or E)");
        return false;
    }
    parsed.parity = mode[1];
    if (mode[2] != '1' && mode[2] != '2') {
        SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid stop but (Use 1, or 2)");
        return false;
    }
    parsed.stopBits = mode[2] - '0';
    if (const auto found = options.find(SELKO_COMMUNICATION_UART_FLOW_CONTROL); found != options.end()) {
        const std::string* text = std::get_if<std::string>(&found->second);
        if (text != nullptr && *text == "none")
            parsed.flow = LineSettings::Flow::None;
        else if (text != nullptr && *text == "rts/cts")
            parsed.flow = LineSettings::Flow::RTSCTS;
        else if (text != nullptr && *text == "xon/xoff")
            parsed.flow = LineSettings::Flow::XONXOFF;
        else {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid flow control (Use none, rts/cts or xon/xoff)");
            return false;
        }
    }
    settings = parsed;
    return true;
}

} // namespace selko::detail
