#include "SLKSocketConnect.h"

#include "CommErrorRaise.h"
#include "SLKDetachedThread.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

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

using AddressList = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// A name lookup on a thread of its own, shared by that thread and the open waiting for it: an open
// whose deadline passes first leaves, and whichever of the two lets go last frees the list.
struct PendingLookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int status = 0;   // getaddrinfo's result
    int number = 0;   // errno after it, which EAI_SYSTEM refers to
    addrinfo* list = nullptr;

    ~PendingLookup() {
        if (list != nullptr)
            ::freeaddrinfo(list);
    }
};

// getaddrinfo on the calling thread: its result, with `number` set to errno for EAI_SYSTEM.
int lookUpHere(const NetworkAddress& address, const addrinfo& hints, AddressList& list, int& number) {
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    number = errno;
    list.reset(found);
    return status;
}

// The addresses of `address`: 0, or getaddrinfo's error (EAI_SYSTEM with `number` set; ETIMEDOUT
// when `deadline` passed before the resolver answered). An address literal is converted at once;
// a name is looked up on a thread of its own so that the wait ends with the deadline, however long
// the resolver takes. A lookup left behind ends when the resolver gives up, and frees its answer.
int lookUp(const NetworkAddress& address, const Deadline& deadline, AddressList& list, int& number) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const int literal = lookUpHere(address, hints, list, number);
    if (literal != EAI_NONAME)
        return literal;
    hints.ai_flags = AI_NUMERICSERV;
    if (deadline.forever())
        return lookUpHere(address, hints, list, number);
    const auto pending = std::make_shared<PendingLookup>();
    const bool started = selko__tryDetachNewThreadWithBlock([pending, address, hints] {
        AddressList found(nullptr, &::freeaddrinfo);
        int number = 0;
        const int status = lookUpHere(address, hints, found, number);
        const std::lock_guard<std::mutex> hold(pending->lock);
        pending->status = status;
        pending->number = number;
        pending->list = found.release();
        pending->done = true;
        pending->finished.notify_all();
    });
    if (!started)   // no thread to be had: the lookup takes the time it takes, on this thread
        return lookUpHere(address, hints, list, number);
    std::unique_lock<std::mutex> hold(pending->lock);
    if (!pending->finished.wait_until(hold, deadline.at(), [&] { return pending->done; })) {
        number = ETIMEDOUT;
        return EAI_SYSTEM;
    }
    list.reset(std::exchange(pending->list, nullptr));
    number = pending->number;
    return pending->status;
}

} // namespace

int connectSocket(const NetworkAddress& address, const char* url, const Deadline& deadline, CommErrorRef* error) {
    AddressList list(nullptr, &::freeaddrinfo);
    int number = 0;
    const int lookup = lookUp(address, deadline, list, number);
    if (lookup != 0) {
        if (lookup != EAI_SYSTEM)
            number = lookup;
        const char* text = lookup == EAI_SYSTEM ? std::strerror(number) : ::gai_strerror(lookup);
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", url, text, number);
        return -1;
    }
    int failure = EHOSTUNREACH;
    for (const addrinfo* candidate = list.get(); candidate != nullptr; candidate = candidate->ai_next) {
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
