// Timed descriptor reads: select_with_retry, read_with_retry, selko_communication_read, and the
// serial port's read that never outlives its wait.
#include "DescriptorOperation.h"

#include "CommErrorRaise.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

// One read when the count of waiting bytes is not known: DEFAULT_BUFFER_SIZE bytes.
constexpr std::size_t kUnknownSizeRead = 65536;

// A timeout above this many seconds waits without limit (the conversion to a timeval stays defined).
constexpr double kLongestTimedWait = 1e9;

// The retry rule: errno is 0 before each attempt; EAGAIN is retried at once; EINTR after the last
// attempt makes the result 0. On a negative result errno is the failing call's.
template <class Call>
std::int64_t withRetry(Call call) {
    std::int64_t result;
    int failure;
    do {
        errno = 0;
        result = static_cast<std::int64_t>(call());
        failure = errno;
    } while (result < 0 && failure == EAGAIN);
    if (failure == EINTR)
        return 0;
    errno = failure;
    return result;
}

std::int64_t selectRead(int nfds, fd_set* readfds, struct timeval* timeout) {
    return withRetry([&] { return ::select(nfds, readfds, nullptr, nullptr, timeout); });
}

std::int64_t readSome(int fd, void* buffer, std::size_t length) {
    return withRetry([&] { return ::read(fd, buffer, length); });
}

} // namespace

std::int64_t select_with_retry(int nfds, fd_set* readfds, struct timeval* timeout) noexcept {
    return selectRead(nfds, readfds, timeout);
}

std::int64_t read_with_retry(int fd, void* buffer, std::size_t length) noexcept {
    return readSome(fd, buffer, length);
}

SLKData selko_communication_read(int fd, double timeout, CommErrorRef* error) noexcept {
    // Our decision: a descriptor that cannot go into an fd_set is refused before anything is done.
    if (fd < 0 || fd >= FD_SETSIZE) {
        selko::detail::raiseWaitOrReadFailure(error, EINVAL);
        return nullptr;
    }

    // 1. How many bytes are waiting (a failed request leaves the count at 0).
    int waiting = 0;
    ::ioctl(fd, FIONREAD, &waiting);

    // 2. NOW with nothing waiting: no wait, no read.
    const bool now = timeout == SELKO_COMMUNICATION_TIME_NOW;
    if (now && waiting < 1)
        return std::make_shared<const SLKBytes>();

    // 3. The read size is fixed before any wait.
    const std::size_t size = waiting > 0 ? static_cast<std::size_t>(waiting) : DEFAULT_BUFFER_SIZE;

    // 4. Wait for readability, unless NOW.
    if (!now) {
        struct timeval limit {};
        struct timeval* limitPointer = nullptr;
        if (timeout != SELKO_COMMUNICATION_TIME_FOREVER) {
            // Our decision: NaN and negative times too large for a timeval are refused the way
            // select refuses any other invalid negative time.
            if (!(timeout >= -kLongestTimedWait)) {
                selko::detail::raiseWaitOrReadFailure(error, EINVAL);
                return nullptr;
            }
            if (timeout <= kLongestTimedWait) {
                const double seconds = std::floor(timeout);
                limit.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(seconds));
                limit.tv_usec = static_cast<suseconds_t>(static_cast<std::int32_t>((timeout - seconds) * 1e6));
                limitPointer = &limit;
            }
            // Longer than kLongestTimedWait: no limit.
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const std::int64_t ready = selectRead(fd + 1, &readable, limitPointer);
        if (ready < 0) {
            selko::detail::raiseWaitOrReadFailure(error, errno);
            return nullptr;
        }
        if (ready == 0 || !FD_ISSET(fd, &readable))
            return std::make_shared<const SLKBytes>();
    }

    // 5.-8. One read into a zero-filled buffer that becomes the result without a copy.
    auto buffer = std::make_shared<SLKBytes>(size);
    const std::int64_t count = readSome(fd, buffer->data(), size);
    if (count < 0) {
        const int failure = errno;
        buffer.reset();
        selko::detail::raiseWaitOrReadFailure(error, failure);
        return nullptr;
    }
    buffer->resize(static_cast<std::size_t>(count));
    return buffer;
}

namespace selko::detail {

void raiseWaitOrReadFailure(CommErrorRef* error, int failure) {
    SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", std::strerror(failure), failure);
}

PortRead readSerialPort(PortHandle& port, const Deadline& deadline, SLKData& bytes, int& failure) noexcept {
    const PortHandle::Use inFlight = port.use();
    if (!inFlight)
        return PortRead::Closed;
    // Where a read whose size is not known lands first (as many bytes as DEFAULT_BUFFER_SIZE); the
    // result gets a copy of exactly the bytes read, which costs less than asking for the count.
    thread_local std::uint8_t landing[kUnknownSizeRead];
    for (;;) {
        const unsigned long takenBefore = port.inputTaken();
        short reported = 0;
        switch (port.wait(POLLIN, deadline, reported)) {
        case PortHandle::Wait::Closed: return PortRead::Closed;
        case PortHandle::Wait::Failed: failure = errno; return PortRead::Failed;
        case PortHandle::Wait::TimedOut: bytes = std::make_shared<const SLKBytes>(); return PortRead::Bytes;
        case PortHandle::Wait::Ready: break;
        }
        const std::lock_guard<std::mutex> input(port.inputLock());
        if (port.releasedUnderCalls())
            return PortRead::Closed;
        ssize_t count = -1;
        int readFailure = 0;
        if (port.inputTaken() == takenBefore && (reported & POLLIN) != 0) {
            // Nobody took or dropped input since the wait began, so what the wait saw is still
            // there: the read returns at once with it.
            count = ::read(port.fd(), landing, sizeof landing);
            readFailure = errno;
            if (count > 0)
                bytes = std::make_shared<const SLKBytes>(landing, landing + count);
        } else {
            // Exactly what is waiting, so that the read takes it without waiting for more: with the
            // input lock held nothing else can take those bytes between the count and the read.
            int waiting = 0;
            if (::ioctl(port.fd(), FIONREAD, &waiting) == -1) {
                // A hung-up terminal refuses every request.
                failure = errno;
                return (reported & (POLLHUP | POLLERR)) != 0 ? PortRead::Disconnected : PortRead::Failed;
            }
            if (waiting > 0) {
                // Zero-filled, then handed over as the result without a copy.
                auto buffer = std::make_shared<SLKBytes>(static_cast<std::size_t>(waiting));
                count = ::read(port.fd(), buffer->data(), buffer->size());
                readFailure = errno;
                if (count > 0) {
                    buffer->resize(static_cast<std::size_t>(count));
                    bytes = std::move(buffer);
                }
            } else if ((reported & (POLLHUP | POLLERR)) != 0) {
                // Nothing left to read and the far end is gone.
                return PortRead::Disconnected;
            }
        }
        if (port.releasedUnderCalls())
            return PortRead::Closed;
        if (count > 0) {
            port.tookInput();
            return PortRead::Bytes;
        }
        if (count == 0)
            return PortRead::Disconnected;
        if (count < 0 && readFailure != 0 && readFailure != EINTR && readFailure != EAGAIN) {
            failure = readFailure;
            return PortRead::Failed;
        }
        // What the wait saw went to another reader or a discard: wait again.
        if (deadline.passed()) {
            bytes = std::make_shared<const SLKBytes>();
            return PortRead::Bytes;
        }
    }
}

bool sleepUntil(PortHandle& port, const Deadline& deadline) noexcept {
    for (;;) {
        short reported = 0;
        switch (port.wait(0, deadline, reported)) {
        case PortHandle::Wait::Closed: return false;
        case PortHandle::Wait::TimedOut: return true;
        case PortHandle::Wait::Ready:
        case PortHandle::Wait::Failed:
            // A hung-up port reports readiness at every wait: sleep the step out instead.
            if (deadline.passed())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            break;
        }
    }
}

OutputDrain awaitOutputDrained(PortHandle& port, unsigned long request, const Deadline& deadline, int& unsent,
                               int& failure) noexcept {
    constexpr double kStep = 0.002;
    for (;;) {
        unsent = 0;
        if (::ioctl(port.fd(), request, &unsent) == -1) {
            failure = errno;
            return OutputDrain::Failed;
        }
        if (unsent == 0)
            return OutputDrain::Drained;
        if (deadline.passed())
            return OutputDrain::TimedOut;
        if (!sleepUntil(port, deadline.capped(kStep)))
            return OutputDrain::Closed;
    }
}

} // namespace selko::detail
