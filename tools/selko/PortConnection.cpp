#include "PortConnection.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace selko::tool {

namespace {

// "on" or "off" for --dtr and --rts.
bool lineLevel(const Arguments& arguments, const std::string& name) {
    const std::string level = arguments.value(name, "");
    if (level != "on" && level != "off")
        throw UsageError("--" + name + " must be on or off, not '" + level + "'");
    return level == "on";
}

} // namespace

std::vector<OptionSpec> lineOptionSpecs() {
    return {{"eol", true},  {"baud", true, 'b'}, {"mode", true, 'm'}, {"flow", true, 'f'},
            {"dtr", true}, {"rts", true},       {"rs485", true}};
}

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
    if (arguments.has("dtr"))
        options[SELKO_COMMUNICATION_UART_DTR] = lineLevel(arguments, "dtr");
    if (arguments.has("rts"))
        options[SELKO_COMMUNICATION_UART_RTS] = lineLevel(arguments, "rts");
    if (arguments.has("rs485"))
        options[SELKO_COMMUNICATION_UART_RS485] = arguments.value("rs485", "");
    return options;
}

std::string portURL(const std::string& port) {
    if (port.empty() || port[0] != '/')
        return port;
    // Everything a URL path may hold stays as it is; the rest ('%', '?', '#', blanks, bytes
    // outside ASCII) is percent-escaped, and the library decodes it back to the same path.
    static const char* const kPlain = "-._~/:@!$&'()*+,;=";
    std::string url = "uart://";
    char escape[4];
    for (const char c : port) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x80 && std::isalnum(byte)) || (byte != 0 && std::strchr(kPlain, c) != nullptr)) {
            url += c;
        } else {
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            url += escape;
        }
    }
    return url;
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
