// The open descriptor of a port: calls in flight, the wake-up descriptor and the closing.
#include "SLKPortHandle.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace selko::detail {

namespace {

// How long close waits for calls still in the kernel before it drops stuck output, and then again
// before it gives the port up under them. Only a write that flow control holds back stays that
// long: every wait watches the wake-up, and a read never blocks in the kernel.
constexpr auto kCallsLeaveWait = std::chrono::milliseconds(250);

} // namespace

std::shared_ptr<PortHandle> PortHandle::adopt(int fd, PortRelease release) {
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return nullptr;
    return std::make_shared<PortHandle>(fd, wakeFd, release);
}

PortHandle::PortHandle(int fd, int wakeFd, PortRelease release) noexcept
    : _fd(fd), _wakeFd(wakeFd), _release(release) {}

PortHandle::~PortHandle() {
    if (!_fdClosed) {
        if (_release.clearExclusive)
            ::ioctl(_fd, TIOCNXCL);
        ::close(_fd);
    }
    ::close(_wakeFd);
}

PortHandle::Use::Use(PortHandle& port) noexcept : _port(&port) {
    if ((port._calls.fetch_add(kOneCall) & kClosed) != 0) {
        // Closed already: step back out (close may be waiting for exactly this call).
        port.leave();
        _port = nullptr;
    }
}

PortHandle::Use::~Use() {
    if (_port != nullptr)
        _port->leave();
}

void PortHandle::leave() noexcept {
    const unsigned before = _calls.fetch_sub(kOneCall);
    if ((before & kClosed) != 0 && before - kOneCall == kClosed) {
        // The last call left a closing port: wake close's wait.
        std::lock_guard<std::mutex> guard(_mutex);
        _left.notify_all();
    }
}

PortHandle::Wait PortHandle::wait(short events, const Deadline& deadline, short& reported) noexcept {
    for (;;) {
        timespec left{};
        pollfd watched[2] = {{_wakeFd, POLLIN, 0}, {_fd, events, 0}};
        const int ready = ::ppoll(watched, 2, deadline.remaining(left), nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Wait::Failed;
        }
        if (watched[0].revents != 0)
            return Wait::Closed;
        if (watched[1].revents & POLLNVAL) {
            errno = EBADF;
            return Wait::Failed;
        }
        if (watched[1].revents != 0) {
            reported = watched[1].revents;
            return Wait::Ready;
        }
        if (deadline.passed())
            return Wait::TimedOut;
    }
}

bool PortHandle::close() noexcept {
    if ((_calls.fetch_or(kClosed) & kClosed) != 0)
        return false;
    // Stays readable for ever: every wait from now on returns at once.
    const std::uint64_t one = 1;
    (void)!::write(_wakeFd, &one, sizeof one);
    if (_release.shutDownConnection)
        ::shutdown(_fd, SHUT_RDWR);

    const auto allLeft = [this] { return _calls.load() == kClosed; };
    std::unique_lock<std::mutex> lock(_mutex);
    if (!_left.wait_for(lock, kCallsLeaveWait, allLeft) && _release.flushStuckOutput) {
        ::tcflush(_fd, TCOFLUSH);
        _left.wait_for(lock, kCallsLeaveWait, allLeft);
    }
    if (_release.clearExclusive)
        ::ioctl(_fd, TIOCNXCL);
    if (allLeft()) {
        // A connection's number stays taken until the last holder lets go, so that a call that
        // holds the handle without being in flight never reaches another descriptor.
        if (!_release.shutDownConnection) {
            ::close(_fd);
            _fdClosed = true;
        }
        return true;
    }
    // A call is still inside the kernel with this number. Pointing the number at /dev/null
    // releases the port now, while the number stays ours (never reused under that call) until
    // the handle's last holder closes it.
    _releasedUnderCalls.store(true);
    const int placeholder = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (placeholder >= 0) {
        ::dup3(placeholder, _fd, O_CLOEXEC);
        ::close(placeholder);
    }
    return true;
}

} // namespace selko::detail
