#include "PortConnection.h"

#include <cstdlib>

namespace selko::tool {

std::vector<OptionSpec> lineOptionSpecs() { return {{"eol", true}, {"baud", true}, {"mode", true}, {"flow", true}}; }

SLKOptions portOptions(const Arguments& arguments) {
    SLKOptions options;
    if (arguments.has("baud")) {
        const std::string text = arguments.value("baud", "");
        char* end = nullptr;
        const long long baud = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || baud <= 0)
            throw UsageError("--baud needs a positive whole number, not '" + text + "'");
        options[SELKO_COMMUNICATION_UART_BAUD] = baud;
    }
    if (arguments.has("mode"))
        options[SELKO_COMMUNICATION_UART_MODE] = arguments.value("mode", "");
    if (arguments.has("flow")) {
        const std::string flow = arguments.value("flow", "");
        if (flow != "none" && flow != "rts/cts" && flow != "xon/xoff")
            throw UsageError("--flow must be none, rts/cts or xon/xoff, not '" + flow + "'");
        options[SELKO_COMMUNICATION_UART_FLOW_CONTROL] = flow;
    }
    return options;
}

std::string messageOf(const CommErrorRef& error, const std::string& fallback) {
    if (!error || error->message().empty())
        return fallback;
    std::string message = error->message();
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

SLKDataChannelRef openPort(const std::string& url, const SLKOptions& options) {
    CommErrorRef error;
    SLKDataChannelRef channel = createChannelForURL(url.c_str(), &options, &error);
    if (!channel || !channel->openWithTimeout(2.0, &error))
        throw CommandFailure(messageOf(error, "cannot open " + url));
    return channel;
}

} // namespace selko::tool
