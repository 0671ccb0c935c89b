// Internal: the "tcp" and "rfc2217" URLs of network ports: scheme, host and port.
#ifndef SELKO_NETWORK_URL_H
#define SELKO_NETWORK_URL_H

#include <string>

namespace selko::detail {

enum class NetworkScheme { TCP, RFC2217 };

struct NetworkAddress {
    NetworkScheme scheme = NetworkScheme::TCP;
    std::string host;   // a name, an IPv4 literal, or an IPv6 literal without its brackets
    std::string port;   // decimal digits of 1..65535, as written
};

// Parses "tcp://host:port" or "rfc2217://host:port" (an optional trailing '/' is allowed). The
// host is a name, an IPv4 literal or a bracketed IPv6 literal ("[::1]"). False for a null URL,
// another scheme, an empty host, a missing or empty port, a port with anything but digits or
// outside 1..65535, and anything after the port other than one '/'.
bool parseNetworkURL(const char* url, NetworkAddress& address);

} // namespace selko::detail

#endif
