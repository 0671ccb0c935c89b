// Internal: an active channel whose read loops start through a given launcher instead of a
// detached thread (so a failing thread start can be exercised). Not part of the public API.
#ifndef SELKO_SLPACTIVECHANNEL_ACCESS_H
#define SELKO_SLPACTIVECHANNEL_ACCESS_H

#include "SelkoCommunication.h"

struct SLPActiveChannelAccess {
    using ThreadLauncher = std::function<bool(std::function<void()> block)>;
    static std::shared_ptr<SLPActiveChannel> initWithChannel(SLKDataChannelRef channel, bool bufferData,
                                                             ThreadLauncher launcher) {
        return SLPActiveChannel::make(std::move(channel), bufferData, std::move(launcher));
    }
};

#endif
