// A decorator that reads in slices of a tenth of the timeout, so that a reader notices within
// one slice that another thread closed the channel beneath.
#include "CommErrorRaise.h"
#include "SLKChannelDecorator.h"

#include <chrono>

namespace {

// Elapsed time is measured on a clock that never steps, so setting the wall clock neither ends
// a read early nor stretches it.
double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

SLPPassiveChannel::SLPPassiveChannel(SLKDataChannelRef channel) : SLKChannelDecorator(std::move(channel)) {}

SLK_DECORATOR_OWN_FORWARDS(SLPPassiveChannel)

bool SLPPassiveChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _channel->write(data, error));
}

SLKData SLPPassiveChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorRead, SLKData(), readInSlices(timeout, error));
}

SLKData SLPPassiveChannel::readInSlices(double timeout, CommErrorRef* error) {
    const double start = monotonicSeconds();
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
            // A slice that a close from another thread ended is the close, not a failure: no data
            // and no error, as when the close falls between two slices.
            const bool closedUnderUs = sliceError && sliceError->code() == SLKErrorNotOpened && !_channel->isOpened();
            if (error)
                *error = closedUnderUs ? nullptr : sliceError;
            return nullptr;
        }
        if (!bytes->empty())
            return bytes;
        // Time is judged only after an empty slice, so a call may run one slice past `timeout`.
        if (!forever && monotonicSeconds() - start >= timeout)
            return std::make_shared<const SLKBytes>();
        if (!_channel->isOpened()) {
            // Closed under the reader: no data and no error.
            if (error)
                *error = nullptr;
            return nullptr;
        }
    }
}
