// The active channel whose reading an event loop does: createActiveChannelOnLoop. It is an
// SLPActiveChannel like any other (the same buffer, the same open, close and read, the same
// records); only the turns come from the loop, one whenever the wrapped stack's readable
// descriptor fires, instead of from a thread of its own reading in slices.
#include "CommErrorRaise.h"
#include "SLKEventLoopCore.h"
#include "SLPActiveChannelAccess.h"

namespace {

using selko::detail::ActiveBuffer;
using selko::detail::EventLoopCore;

// Attaches each loop of the channel to the event loop, on the wrapped stack's descriptor.
class LoopReading final : public selko::detail::ActiveReading {
public:
    LoopReading(std::shared_ptr<EventLoopCore> loop, int descriptor) : _loop(std::move(loop)), _descriptor(descriptor) {}
    bool start(const std::shared_ptr<SLPActiveChannel>& channel, const std::shared_ptr<ActiveBuffer>& chan,
               CommErrorRef* why) override {
        return _loop->attach(channel, chan, _descriptor, why);
    }
    void stopped(const ActiveBuffer* chan) noexcept override { _loop->detach(chan); }

private:
    const std::shared_ptr<EventLoopCore> _loop;
    const int _descriptor;
};

} // namespace

std::shared_ptr<SLPActiveChannel> SLPActiveChannel::makeOnLoop(SLKDataChannelRef channel,
                                                               std::shared_ptr<SLKEventLoop> loop, int descriptor,
                                                               CommErrorRef* error) {
    // The factory has checked the channel and the loop for null.
    const auto* handle = dynamic_cast<const selko::detail::EventLoopHandle*>(loop.get());
    if (handle == nullptr) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "loop was not made by createEventLoop");
        return nullptr;
    }
    return makeWithReading(std::move(channel), true, std::make_shared<LoopReading>(handle->core, descriptor));
}

SLKDataChannelRef createActiveChannelOnLoop(SLKDataChannelRef channel, std::shared_ptr<SLKEventLoop> loop,
                                            CommErrorRef* error) noexcept {
    try {
        if (!channel) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "channel cannot be nil");
            return nullptr;
        }
        if (!loop) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "loop cannot be nil");
            return nullptr;
        }
        // Stable for the wrapped stack's life, which the new channel shares.
        const int descriptor = SLKReadableDescriptor(channel, error);
        if (descriptor < 0)
            return nullptr;
        return SLPActiveChannelAccess::onLoop(std::move(channel), std::move(loop), descriptor, error);
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Unexpected exception: %s", exception.what());
        return nullptr;
    }
}
