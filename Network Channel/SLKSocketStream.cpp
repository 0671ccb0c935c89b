#include "SLKSocketStream.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace selko::detail {

SocketStream::SocketStream(int fd) : _fd(fd) {
    PortRelease release;
    release.shutDownConnection = true;
    _port = PortHandle::adopt(fd, release);
    if (!_port)
        ::close(fd);
}

SocketStream::~SocketStream() = default;   // the handle closes the socket

void SocketStream::abandon() {
    if (_port)
        _port->close();
}

SocketStream::Outcome SocketStream::receive(const Deadline& deadline, std::vector<std::uint8_t>& bytes,
                                            int& failure) {
    const PortHandle::Use inFlight = _port->use();
    if (!inFlight)
        return Outcome::Abandoned;
    for (;;) {
        short reported = 0;
        switch (_port->wait(POLLIN, deadline, reported)) {
        case PortHandle::Wait::Closed: return Outcome::Abandoned;
        case PortHandle::Wait::TimedOut: return Outcome::TimedOut;
        case PortHandle::Wait::Failed: failure = errno; return Outcome::Failed;
        case PortHandle::Wait::Ready: break;
        }
        int waiting = 0;
        if (::ioctl(_fd, FIONREAD, &waiting) != 0 || waiting <= 0 || waiting > static_cast<int>(DEFAULT_BUFFER_SIZE))
            waiting = static_cast<int>(DEFAULT_BUFFER_SIZE);
        const std::size_t start = bytes.size();
        bytes.resize(start + static_cast<std::size_t>(waiting));
        const ssize_t count = ::recv(_fd, bytes.data() + start, static_cast<std::size_t>(waiting), MSG_DONTWAIT);
        const int error = errno;
        bytes.resize(start + static_cast<std::size_t>(count > 0 ? count : 0));
        if (count > 0)
            return Outcome::Data;
        if (_port->closed())
            return Outcome::Abandoned;
        if (count == 0)
            return Outcome::Disconnected;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            if (deadline.passed())
                return Outcome::TimedOut;
            continue;   // another reader took the bytes first
        }
        failure = error;
        return error == ECONNRESET || error == EPIPE || error == ETIMEDOUT ? Outcome::Disconnected
                                                                           : Outcome::Failed;
    }
}

bool SocketStream::sendAll(const std::uint8_t* bytes, std::size_t length, int& failure) {
    const PortHandle::Use inFlight = _port->use();
    if (!inFlight) {
        failure = ECANCELED;
        return false;
    }
    const Deadline forever(SELKO_COMMUNICATION_TIME_FOREVER);
    while (length > 0) {
        const ssize_t sent = ::send(_fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
            continue;
        }
        const int error = errno;
        if (_port->closed()) {
            failure = ECANCELED;
            return false;
        }
        if (sent < 0 && error == EINTR)
            continue;
        if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            // The server reads slowly: wait for room (a close wakes this wait too).
            short reported = 0;
            switch (_port->wait(POLLOUT, forever, reported)) {
            case PortHandle::Wait::Closed: failure = ECANCELED; return false;
            case PortHandle::Wait::Failed: failure = errno; return false;
            case PortHandle::Wait::TimedOut:
            case PortHandle::Wait::Ready: break;
            }
            continue;
        }
        failure = error;
        return false;
    }
    return true;
}

} // namespace selko::detail
