// Internal: the library's own ways into the active channel. An active channel whose read loops
// start through a given launcher instead of a detached thread (so a failing thread start can be
// exercised), one served by an event loop on a given descriptor (so any channel, a scripted one
// too, can be served), and the turns and the end of the reading that an event loop drives. Not
// part of the public API.
#ifndef SELKO_SLPACTIVECHANNEL_ACCESS_H
#define SELKO_SLPACTIVECHANNEL_ACCESS_H

#include "SelkoCommunication.h"

struct SLPActiveChannelAccess {
    using ThreadLauncher = std::function<bool(std::function<void()> block)>;
    using Buffer = databufferchannel_t<unsigned char>;
    using Turn = SLPActiveChannel::Turn;

    static std::shared_ptr<SLPActiveChannel> initWithChannel(SLKDataChannelRef channel, bool bufferData,
                                                             ThreadLauncher launcher) {
        return SLPActiveChannel::make(std::move(channel), bufferData, std::move(launcher));
    }
    // `descriptor` must be readable while a read of `channel` with SELKO_COMMUNICATION_TIME_NOW
    // would find something, and stay open as long as the channel lives.
    static std::shared_ptr<SLPActiveChannel> onLoop(SLKDataChannelRef channel, std::shared_ptr<SLKEventLoop> loop,
                                                    int descriptor, CommErrorRef* error = nullptr) {
        return SLPActiveChannel::makeOnLoop(std::move(channel), std::move(loop), descriptor, error);
    }
    // Library-internal only (not exported): what a reading calls. A thread's loop: turns until stopped.
    static void runSlices(SLPActiveChannel& channel, const std::shared_ptr<Buffer>& chan, double slice) {
        channel.runThread(chan, slice);
    }
    // An event loop's turn, when the port is readable.
    static Turn readTurn(SLPActiveChannel& channel, const std::shared_ptr<Buffer>& chan) {
        return channel.readTurn(chan, SELKO_COMMUNICATION_TIME_NOW);
    }
    static void readingLost(SLPActiveChannel& channel, const std::shared_ptr<Buffer>& chan, CommErrorRef record) {
        channel.readingLost(chan, std::move(record));
    }
};

#endif
