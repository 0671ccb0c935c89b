// Line control of the UART channel: modem lines, break, and the port's input and output queues.
#include "CommErrorRaise.h"
#include "SLKUARTURL.h"
#include "DescriptorOperation.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

using selko::detail::Deadline;
using selko::detail::OutputDrain;
using selko::detail::awaitOutputDrained;
using selko::detail::sleepUntil;
using selko::detail::PortHandle;

// Runs `request` with the open port, holding it for every system call the request makes; code 2
// when the channel is closed.
template <class Request>
bool withPort(const std::shared_ptr<PortHandle>& handle, CommErrorRef* error, Request&& request) {
    if (!handle) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    const PortHandle::Use inFlight = handle->use();
    if (!inFlight) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    return request(*handle, handle->fd());
}

// Code 4: the port refused `doing` with `failure`. The device is named by its path.
bool refused(CommErrorRef* error, const std::string& url, const char* doing, int failure) {
    std::string path;
    if (!selko::detail::devicePathFromURL(url.c_str(), path))
        path = url;
    SLK_RAISE(error, SLKErrorPortSystem, "Error %s on %@ - %s(%d).", doing, path, std::strerror(failure), failure);
    return false;
}

bool setModemLine(int fd, int line, bool on) {
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

bool isQueue(SLKQueue queue) {
    return queue == SLKQueue::Input || queue == SLKQueue::Output || queue == SLKQueue::Both;
}

bool invalidQueue(CommErrorRef* error) {
    SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid queue (Use Input, Output, or Both)");
    return false;
}

} // namespace

bool SLPUARTChannel::setDTR(bool on, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle&, int fd) {
        return setModemLine(fd, TIOCM_DTR, on) || refused(error, _url, "setting DTR", errno);
    });
}

bool SLPUARTChannel::setRTS(bool on, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle&, int fd) {
        return setModemLine(fd, TIOCM_RTS, on) || refused(error, _url, "setting RTS", errno);
    });
}

bool SLPUARTChannel::modemLines(SLKModemLines* lines, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle&, int fd) {
        if (lines == nullptr) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "lines cannot be nil");
            return false;
        }
        int bits = 0;
        if (::ioctl(fd, TIOCMGET, &bits) == -1)
            return refused(error, _url, "reading modem lines", errno);
        lines->cts = (bits & TIOCM_CTS) != 0;
        lines->dsr = (bits & TIOCM_DSR) != 0;
        lines->dcd = (bits & TIOCM_CAR) != 0;
        lines->ri = (bits & TIOCM_RNG) != 0;
        return true;
    });
}

bool SLPUARTChannel::sendBreak(double seconds, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle& port, int fd) {
        if (!std::isfinite(seconds) || seconds < 0.0) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid break length (Use 0 or a positive number of seconds)");
            return false;
        }
        if (seconds == 0.0)
            return ::tcsendbreak(fd, 0) == 0 || refused(error, _url, "sending a break", errno);
        if (::ioctl(fd, TIOCSBRK) == -1)
            return refused(error, _url, "sending a break", errno);
        // The line stays in break until the time is up, or until the channel is closed meanwhile.
        const bool stillOpen = sleepUntil(port, Deadline(seconds));
        if (::ioctl(fd, TIOCCBRK) == -1)
            return refused(error, _url, "ending a break", errno);
        if (!stillOpen)
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return stillOpen;
    });
}

bool SLPUARTChannel::discard(SLKQueue queue, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle& port, int fd) {
        if (!isQueue(queue))
            return invalidQueue(error);
        const int which = queue == SLKQueue::Input ? TCIFLUSH : queue == SLKQueue::Output ? TCOFLUSH : TCIOFLUSH;
        // Never between a reader's count of waiting bytes and its read of them.
        std::unique_lock<std::mutex> input(port.inputLock(), std::defer_lock);
        if (queue != SLKQueue::Output)
            input.lock();
        if (input.owns_lock())
            port.tookInput();
        return ::tcflush(fd, which) == 0 || refused(error, _url, "discarding queued bytes", errno);
    });
}

bool SLPUARTChannel::drain(double timeout, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle& port, int) {
        if (!selko::detail::isValidTimeout(timeout)) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
            return false;
        }
        int unsent = 0, failure = 0;
        switch (awaitOutputDrained(port, TIOCOUTQ, Deadline(timeout), unsent, failure)) {
        case OutputDrain::Drained: return true;
        case OutputDrain::Failed: return refused(error, _url, "draining output", failure);
        case OutputDrain::TimedOut: return refused(error, _url, "draining output", ETIMEDOUT);
        case OutputDrain::Closed: break;
        }
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    });
}

bool SLPUARTChannel::queued(SLKQueue queue, long long* bytes, CommErrorRef* error) noexcept {
    return withPort(acquirePort(), error, [&](PortHandle&, int fd) {
        if (bytes == nullptr) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "bytes cannot be nil");
            return false;
        }
        if (!isQueue(queue))
            return invalidQueue(error);
        int received = 0;
        int unsent = 0;
        if (queue != SLKQueue::Output && ::ioctl(fd, FIONREAD, &received) == -1)
            return refused(error, _url, "counting queued bytes", errno);
        if (queue != SLKQueue::Input && ::ioctl(fd, TIOCOUTQ, &unsent) == -1)
            return refused(error, _url, "counting queued bytes", errno);
        *bytes = static_cast<long long>(received) + unsent;
        return true;
    });
}
