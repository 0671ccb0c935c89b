// Timed descriptor reads: select_with_retry, read_with_retry, selko_communication_read.
#include "CommErrorRaise.h"

#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

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
        SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", std::strerror(EINVAL), EINVAL);
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
                SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", std::strerror(EINVAL), EINVAL);
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
            const int failure = errno;
            SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", std::strerror(failure), failure);
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
        SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", std::strerror(failure), failure);
        return nullptr;
    }
    buffer->resize(static_cast<std::size_t>(count));
    return buffer;
}
