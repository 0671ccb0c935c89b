#include "SLKSocketStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace selko::detail {

SocketStream::SocketStream(int fd) : _fd(fd), _wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SocketStream::~SocketStream() {
    ::close(_fd);
    if (_wake >= 0)
        ::close(_wake);
}

void SocketStream::abandon() {
    if (_abandoned.exchange(true))
        return;
    const std::uint64_t one = 1;
    if (_wake >= 0)
        (void)!::write(_wake, &one, sizeof one);
    ::shutdown(_fd, SHUT_RDWR);
}

int SocketStream::waitFor(short events, const Deadline& deadline) {
    for (;;) {
        if (_abandoned.load())
            return -1;
        pollfd entries[2] = {{_fd, events, 0}, {_wake, POLLIN, 0}};
        const int ready = ::poll(entries, 2, deadline.pollMilliseconds());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -2;
        if (_abandoned.load() || (entries[1].revents & POLLIN))
            return -1;
        if (ready == 0 && !deadline.passed())
            continue;   // a wait longer than one poll allows
        return ready == 0 ? 0 : 1;
    }
}

SocketStream::Outcome SocketStream::receive(const Deadline& deadline, std::vector<std::uint8_t>& bytes,
                                            int& failure) {
    for (;;) {
        const int ready = waitFor(POLLIN, deadline);
        if (ready == -1)
            return Outcome::Abandoned;
        if (ready == -2) {
            failure = errno;
            return Outcome::Failed;
        }
        if (ready == 0)
            return Outcome::TimedOut;

        int waiting = 0;
        if (::ioctl(_fd, FIONREAD, &waiting) != 0 || waiting <= 0 || waiting > static_cast<int>(DEFAULT_BUFFER_SIZE))
            waiting = static_cast<int>(DEFAULT_BUFFER_SIZE);
        const std::size_t start = bytes.size();
        bytes.resize(start + static_cast<std::size_t>(waiting));
        const ssize_t count = ::recv(_fd, bytes.data() + start, static_cast<std::size_t>(waiting), 0);
        const int error = errno;
        bytes.resize(start + static_cast<std::size_t>(count > 0 ? count : 0));
        if (count > 0)
            return Outcome::Data;
        if (_abandoned.load())
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
    const Deadline forever(SELKO_COMMUNICATION_TIME_FOREVER);
    while (length > 0) {
        if (_abandoned.load()) {
            failure = ECANCELED;
            return false;
        }
        const ssize_t sent = ::send(_fd, bytes, length, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
            continue;
        }
        const int error = errno;
        if (sent < 0 && error == EINTR)
            continue;
        if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            // The server reads slowly: wait for room (a close wakes this wait too).
            const int ready = waitFor(POLLOUT, forever);
            if (ready == -1) {
                failure = ECANCELED;
                return false;
            }
            if (ready == -2) {
                failure = errno;
                return false;
            }
            continue;
        }
        failure = _abandoned.load() ? ECANCELED : error;
        return false;
    }
    return true;
}

} // namespace selko::detail
