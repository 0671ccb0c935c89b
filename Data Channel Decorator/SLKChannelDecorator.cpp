// The part every caller-thread decorator shares: open, close, isOpened and nextLayer go to the
// wrapped channel, and an exception thrown below (a caller's own channel may throw) becomes a
// failure here instead of leaving the library.
#include "SLKChannelDecorator.h"

#include "CommErrorRaise.h"

SLKChannelDecorator::SLKChannelDecorator(SLKDataChannelRef channel) : _channel(std::move(channel)) {}

SLKChannelDecorator::~SLKChannelDecorator() = default;

bool SLKChannelDecorator::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _channel->openWithTimeout(timeout, error));
}

bool SLKChannelDecorator::close(CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _channel->close(error));
}

bool SLKChannelDecorator::isOpened() noexcept {
    // isOpened never fails: a channel that cannot even answer counts as closed.
    return SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _channel->isOpened());
}

SLKDataChannelRef SLKChannelDecorator::nextLayer() { return _channel; }
