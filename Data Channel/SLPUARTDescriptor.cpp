// The open port of a UART channel: calls in flight, the wake-up descriptor and the closing.
#include "SLPUARTDescriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// How long close waits for calls still in the kernel before it discards unsent output, and then
// again before it gives the port up under them.
constexpr auto kCallsLeaveWait = std::chrono::milliseconds(250);

// A timed wait longer than this waits without limit.
constexpr double kLongestTimedWait = 1e9;

} // namespace

std::shared_ptr<SLPUARTChannel::Descriptor> SLPUARTChannel::Descriptor::adopt(int portFd) {
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return nullptr;
    return std::make_shared<Descriptor>(portFd, wakeFd);
}

SLPUARTChannel::Descriptor::~Descriptor() {
    if (!_fdClosed) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
    ::close(_wakeFd);
}

SLPUARTChannel::Descriptor::Use::Use(Descriptor& descriptor) noexcept : _descriptor(&descriptor) {
    std::lock_guard<std::mutex> guard(descriptor._mutex);
    if (descriptor._closed)
        _descriptor = nullptr;
    else
        ++descriptor._inFlight;
}

SLPUARTChannel::Descriptor::Use::~Use() {
    if (_descriptor == nullptr)
        return;
    std::lock_guard<std::mutex> guard(_descriptor->_mutex);
    if (--_descriptor->_inFlight == 0 && _descriptor->_closed)
        _descriptor->_left.notify_all();
}

bool SLPUARTChannel::Descriptor::isClosed() noexcept {
    std::lock_guard<std::mutex> guard(_mutex);
    return _closed;
}

SLPUARTChannel::Descriptor::Wait SLPUARTChannel::Descriptor::waitReadable(double timeout) noexcept {
    const bool unlimited = timeout == SELKO_COMMUNICATION_TIME_FOREVER || timeout > kLongestTimedWait;
    const bool now = timeout == SELKO_COMMUNICATION_TIME_NOW;
    const Clock::time_point deadline =
        unlimited || now ? Clock::now()
                         : Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    for (;;) {
        timespec remaining{};
        timespec* limit = nullptr;
        if (!unlimited) {
            const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            remaining.tv_sec = static_cast<time_t>(seconds.count());
            remaining.tv_nsec = static_cast<long>(std::chrono::nanoseconds(left - seconds).count());
            limit = &remaining;
        }
        pollfd watched[2] = {{_wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::ppoll(watched, 2, limit, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Wait::Failed;
        }
        // The wake-up comes first: a close wins over bytes that arrived at the same moment.
        if (watched[0].revents != 0)
            return Wait::Closed;
        if (watched[1].revents & POLLNVAL) {
            errno = EBADF;
            return Wait::Failed;
        }
        if (watched[1].revents != 0)
            return Wait::Ready;
        if (!unlimited && Clock::now() >= deadline)
            return Wait::TimedOut;
    }
}

bool SLPUARTChannel::Descriptor::close() noexcept {
    std::unique_lock<std::mutex> lock(_mutex);
    if (_closed)
        return false;
    _closed = true;
    // Stays readable for ever: every wait from now on returns at once.
    const std::uint64_t one = 1;
    (void)!::write(_wakeFd, &one, sizeof one);

    if (!_left.wait_for(lock, kCallsLeaveWait, [this] { return _inFlight == 0; })) {
        // Only a call blocked in the kernel stays this long: a write that flow control holds back.
        // Dropping its unsent output lets it finish.
        ::tcflush(fd, TCOFLUSH);
        _left.wait_for(lock, kCallsLeaveWait, [this] { return _inFlight == 0; });
    }
    ::ioctl(fd, TIOCNXCL);
    if (_inFlight == 0) {
        ::close(fd);
        _fdClosed = true;
        return true;
    }
    // A call is still inside the kernel with this number. Pointing the number at /dev/null
    // releases the port now, while the number stays ours (never reused under that call) until
    // the descriptor's last holder closes it.
    const int placeholder = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (placeholder >= 0) {
        ::dup3(placeholder, fd, O_CLOEXEC);
        ::close(placeholder);
    }
    return true;
}

SLPUARTChannel::Descriptor::Outcome SLPUARTChannel::Descriptor::read(double timeout, SLKData& bytes, int& failure) noexcept {
    const Use inFlight(*this);
    if (!inFlight)
        return Outcome::Closed;
    switch (waitReadable(timeout)) {
    case Wait::Closed: return Outcome::Closed;
    case Wait::TimedOut: bytes = std::make_shared<const SLKBytes>(); return Outcome::Bytes;
    case Wait::Failed: failure = errno; return Outcome::Failed;
    case Wait::Ready: break;
    }
    // The read size is what is waiting; a hung-up port has nothing waiting and reads 0 at once.
    int waiting = 0;
    ::ioctl(fd, FIONREAD, &waiting);
    const std::size_t size = waiting > 0 ? static_cast<std::size_t>(waiting) : DEFAULT_BUFFER_SIZE;
    // Zero-filled, then handed over as the result without a copy.
    auto buffer = std::make_shared<SLKBytes>(size);
    const ssize_t count = ::read(fd, buffer->data(), size);
    if (count < 0) {
        failure = errno;
        if (failure == EINTR || failure == EAGAIN) {
            bytes = std::make_shared<const SLKBytes>();
            return Outcome::Bytes;
        }
        return Outcome::Failed;
    }
    if (count == 0)
        return Outcome::Disconnected;
    buffer->resize(static_cast<std::size_t>(count));
    bytes = std::move(buffer);
    return Outcome::Bytes;
}

