#include "SLKNetworkURL.h"

#include <cstring>

namespace selko::detail {

namespace {

bool takeScheme(const std::string& text, NetworkScheme& scheme, std::size_t& rest) {
    static const struct {
        const char* prefix;
        NetworkScheme scheme;
    } known[] = {{"tcp://", NetworkScheme::TCP}, {"rfc2217://", NetworkScheme::RFC2217}};
    for (const auto& entry : known) {
        const std::size_t length = std::strlen(entry.prefix);
        if (text.compare(0, length, entry.prefix) == 0) {
            scheme = entry.scheme;
            rest = length;
            return true;
        }
    }
    return false;
}

bool validPort(const std::string& port) {
    if (port.empty() || port.size() > 5)
        return false;
    long value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool validHostName(const std::string& host) {
    if (host.empty())
        return false;
    for (const char c : host) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '-' || c == '.' || c == '_';
        if (!allowed)
            return false;
    }
    return true;
}

} // namespace

bool parseNetworkURL(const char* url, NetworkAddress& address) {
    if (url == nullptr)
        return false;
    std::string text(url);
    NetworkAddress parsed;
    std::size_t position = 0;
    if (!takeScheme(text, parsed.scheme, position))
        return false;
    if (!text.empty() && text.back() == '/')
        text.pop_back();

    std::size_t portColon;
    if (position < text.size() && text[position] == '[') {
        const std::size_t close = text.find(']', position);
        if (close == std::string::npos)
            return false;
        parsed.host = text.substr(position + 1, close - position - 1);
        if (parsed.host.empty() || parsed.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            return false;
        portColon = close + 1;
        if (portColon >= text.size() || text[portColon] != ':')
            return false;
    } else {
        portColon = text.find(':', position);
        if (portColon == std::string::npos)
            return false;
        parsed.host = text.substr(position, portColon - position);
        if (!validHostName(parsed.host))
            return false;
    }
    parsed.port = text.substr(portColon + 1);
    if (!validPort(parsed.port))
        return false;
    address = std::move(parsed);
    return true;
}

} // namespace selko::detail
