// The tap decorator: every block read or written is shown to a callable, then passed on as it is.
// An exception thrown by the callable or by the wrapped channel (a caller's own channel may throw)
// fails the read or write here, so that none leaves the library.
#include "SLPTapChannel.h"

#include "CommErrorRaise.h"

SLPTapChannel::SLPTapChannel(SLKDataChannelRef channel, Tap tap)
    : SLKChannelDecorator(std::move(channel)), _tap(std::move(tap)) {}

SLKData SLPTapChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorRead, SLKData(), readShown(timeout, error));
}

bool SLPTapChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, writeShown(data, error));
}

SLKData SLPTapChannel::readShown(double timeout, CommErrorRef* error) {
    SLKData bytes = _channel->readWithTimeout(timeout, error);
    if (bytes)
        _tap(SLKDirection::Read, *bytes);
    return bytes;
}

bool SLPTapChannel::writeShown(const SLKData& data, CommErrorRef* error) {
    if (data)
        _tap(SLKDirection::Write, *data);
    return _channel->write(data, error);
}

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
