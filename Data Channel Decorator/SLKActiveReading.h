// Internal: who reads the wrapped channel of an active channel while it is open. The active
// channel keeps the contract (open, close, the buffer, the recorded error) and hands out turns;
// a reading decides when a turn runs: a detached thread of its own per open, turning over and
// over in short slices, or an event loop that turns only when the wrapped port is readable.
#ifndef SELKO_ACTIVE_READING_H
#define SELKO_ACTIVE_READING_H

#include "SelkoCommunication.h"

namespace selko::detail {

using ActiveBuffer = databufferchannel_t<unsigned char>;

class ActiveReading {
public:
    virtual ~ActiveReading() = default;
    // Starts the turns of `channel` over its new buffer `chan` (the channel's state lock is
    // held). False with the reason in *why (for the channel's record) when they cannot start.
    virtual bool start(const std::shared_ptr<SLPActiveChannel>& channel, const std::shared_ptr<ActiveBuffer>& chan,
                       CommErrorRef* why) = 0;
    // The loop over `chan` was stopped by a caller (a close): nothing needs to serve it any more.
    virtual void stopped(const ActiveBuffer* chan) noexcept { (void)chan; }
    // Whether waiting readers may read the port themselves (the reading then stands aside while
    // they wait). An event loop serves many ports from one thread and keeps every read its own.
    virtual bool readersTakeTurns() const { return false; }
};

} // namespace selko::detail

#endif
