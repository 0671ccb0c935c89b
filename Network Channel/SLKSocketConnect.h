// Internal: opening a TCP connection within a timeout.
#ifndef SELKO_SOCKET_CONNECT_H
#define SELKO_SOCKET_CONNECT_H

#include "SLKDeadline.h"
#include "SLKNetworkURL.h"

namespace selko::detail {

// A connected, non-blocking TCP socket (close-on-exec, TCP_NODELAY, keepalive on) to `address`,
// trying each address the resolver gives in turn until `deadline`; a FOREVER deadline leaves the
// limit to the system. The name lookup counts against the deadline too (a resolver still busy
// when it passes fails the open with ETIMEDOUT); an address literal needs no lookup. -1 on failure
// with code 4 "Error opening network port <url> - <text>(<number>)." (the resolver's text for
// lookup failures).
int connectSocket(const NetworkAddress& address, const char* url, const Deadline& deadline, CommErrorRef* error);

} // namespace selko::detail

#endif
