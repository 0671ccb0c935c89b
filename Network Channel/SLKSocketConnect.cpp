#include "SLKSocketConnect.h"

#include "CommErrorRaise.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace selko::detail {

namespace {

// How soon a vanished server is noticed on an idle connection: first probe after 10 s of
// silence, then every 5 s, given up after 3 unanswered probes.
constexpr int kKeepAliveIdle = 10, kKeepAliveInterval = 5, kKeepAliveProbes = 3;

void tuneSocket(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdle, sizeof kKeepAliveIdle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveInterval, sizeof kKeepAliveInterval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

// One connection attempt; the socket, or -1 with errno set.
int connectOne(const addrinfo& candidate, const Deadline& deadline) {
    const int fd = ::socket(candidate.ai_family, candidate.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            candidate.ai_protocol);
    if (fd < 0)
        return -1;
    if (::connect(fd, candidate.ai_addr, candidate.ai_addrlen) == 0)
        return fd;
    int failure = errno;
    while (failure == EINPROGRESS || failure == EINTR) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, deadline.pollMilliseconds());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            failure = errno;
            break;
        }
        if (ready == 0 && !deadline.passed())
            continue;   // a wait longer than one poll allows
        if (ready == 0) {
            failure = ETIMEDOUT;
            break;
        }
        socklen_t length = sizeof failure;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
            failure = errno;
        if (failure == 0)
            return fd;
    }
    ::close(fd);
    errno = failure;
    return -1;
}

} // namespace

int connectSocket(const NetworkAddress& address, const char* url, const Deadline& deadline, CommErrorRef* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (lookup != 0) {
        const int number = lookup == EAI_SYSTEM ? errno : lookup;
        const char* text = lookup == EAI_SYSTEM ? std::strerror(number) : ::gai_strerror(lookup);
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", url, text, number);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    int failure = EHOSTUNREACH;
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const int fd = connectOne(*candidate, deadline);
        if (fd >= 0) {
            tuneSocket(fd);
            return fd;
        }
        failure = errno;
        if (failure == ETIMEDOUT && deadline.passed())
            break;
    }
    SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", url, std::strerror(failure),
              failure);
    return -1;
}

} // namespace selko::detail
