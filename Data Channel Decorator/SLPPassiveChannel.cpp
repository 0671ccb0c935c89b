// A decorator that reads in slices of a tenth of the timeout, so that a reader notices within
// one slice that another thread closed the channel beneath.
#include "CommErrorRaise.h"

#include <sys/time.h>

namespace {

double wallClockSeconds() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6;
}

} // namespace

SLPPassiveChannel::SLPPassiveChannel(SLKDataChannelRef channel) : _channel(std::move(channel)) {}

bool SLPPassiveChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return _channel->openWithTimeout(timeout, error);
}

bool SLPPassiveChannel::close(CommErrorRef* error) noexcept { return _channel->close(error); }

bool SLPPassiveChannel::isOpened() noexcept { return _channel->isOpened(); }

SLKDataChannelRef SLPPassiveChannel::nextLayer() { return _channel; }

bool SLPPassiveChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    return _channel->write(data, error);
}

SLKData SLPPassiveChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    const double start = wallClockSeconds();
    if (!_channel->isOpened()) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed device");
        return nullptr;
    }
    const bool forever = timeout == SELKO_COMMUNICATION_TIME_FOREVER;
    // FOREVER and NOW are handed on as they are; any other value, negative ones included, is cut
    // into tenths and the wrapped channel judges whether a slice is valid.
    const double slice = (forever || timeout == SELKO_COMMUNICATION_TIME_NOW) ? timeout : timeout / 10.0;
    for (;;) {
        CommErrorRef sliceError;
        SLKData bytes = _channel->readWithTimeout(slice, &sliceError);
        if (!bytes) {
            if (error)
                *error = sliceError;
            return nullptr;
        }
        if (!bytes->empty())
            return bytes;
        // Time is judged only after an empty slice, so a call may run one slice past `timeout`.
        if (!forever && wallClockSeconds() - start >= timeout)
            return std::make_shared<const SLKBytes>();
        if (!_channel->isOpened()) {
            // Closed under the reader: no data and no error.
            if (error)
                *error = nullptr;
            return nullptr;
        }
    }
}
