// The tap decorator: every block read or written is shown to a callable, then passed on as it is.
// An exception thrown by the callable or by the wrapped channel (a caller's own channel may throw)
// is turned into a CommError here, so that none leaves the library.
#include "SLPTapChannel.h"

#include "CommErrorRaise.h"

#include <exception>

namespace {

// The text of the exception being handled, for the "Unexpected exception: %s" message.
std::string currentExceptionText() {
    try {
        throw;
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "unknown";
    }
}

} // namespace

SLPTapChannel::SLPTapChannel(SLKDataChannelRef channel, Tap tap) : _channel(std::move(channel)), _tap(std::move(tap)) {}

bool SLPTapChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    try {
        return _channel->openWithTimeout(timeout, error);
    } catch (...) {
        SLK_RAISE(error, SLKErrorPortSystem, "Unexpected exception: %s", currentExceptionText());
        return false;
    }
}

bool SLPTapChannel::close(CommErrorRef* error) noexcept {
    try {
        return _channel->close(error);
    } catch (...) {
        SLK_RAISE(error, SLKErrorPortSystem, "Unexpected exception: %s", currentExceptionText());
        return false;
    }
}

bool SLPTapChannel::isOpened() noexcept {
    try {
        return _channel->isOpened();
    } catch (...) {
        // isOpened never fails: a channel that cannot even answer counts as closed.
        return false;
    }
}

SLKData SLPTapChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    try {
        SLKData bytes = _channel->readWithTimeout(timeout, error);
        if (bytes)
            _tap(SLKDirection::Read, *bytes);
        return bytes;
    } catch (...) {
        SLK_RAISE(error, SLKErrorRead, "Unexpected exception: %s", currentExceptionText());
        return nullptr;
    }
}

bool SLPTapChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    try {
        if (data)
            _tap(SLKDirection::Write, *data);
        return _channel->write(data, error);
    } catch (...) {
        SLK_RAISE(error, SLKErrorPortSystem, "Unexpected exception: %s", currentExceptionText());
        return false;
    }
}

SLKDataChannelRef SLPTapChannel::nextLayer() { return _channel; }

SLKDataChannelRef createTapChannel(SLKDataChannelRef channel, std::function<void(SLKDirection, const SLKBytes&)> tap,
                                   CommErrorRef* error) noexcept {
    if (!channel) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "channel cannot be nil");
        return nullptr;
    }
    if (!tap) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "tap cannot be nil");
        return nullptr;
    }
    return std::make_shared<SLPTapChannel>(std::move(channel), std::move(tap));
}
