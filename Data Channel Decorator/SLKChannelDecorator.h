// Internal: the exported decorators keep open, close, isOpened and nextLayer as their own
// symbols, so that programs built against releases before the shared base still find them; each
// is the base's.
#ifndef SELKO_SLK_CHANNEL_DECORATOR_H
#define SELKO_SLK_CHANNEL_DECORATOR_H

#include "SelkoCommunication.h"

#define SLK_DECORATOR_OWN_FORWARDS(Class)                                                           \
    bool Class::openWithTimeout(double timeout, CommErrorRef* error) noexcept {                     \
        return SLKChannelDecorator::openWithTimeout(timeout, error);                                \
    }                                                                                               \
    bool Class::close(CommErrorRef* error) noexcept { return SLKChannelDecorator::close(error); }   \
    bool Class::isOpened() noexcept { return SLKChannelDecorator::isOpened(); }                     \
    SLKDataChannelRef Class::nextLayer() { return SLKChannelDecorator::nextLayer(); }

#endif
