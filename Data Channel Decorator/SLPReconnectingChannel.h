// A decorator that keeps a stack working across disconnects of the port below it: it closes the
// port when the device goes away, reopens it on a schedule until the device is back, and stays
// open to the layers above meanwhile. Internal: users reach it through createReconnectingChannel.
#ifndef SELKO_SLP_RECONNECTING_CHANNEL_H
#define SELKO_SLP_RECONNECTING_CHANNEL_H

#include "SelkoCommunication.h"

#include <functional>
#include <memory>

// nextLayer is the shared decorator's; everything else goes through the link state, which the
// retrying thread shares, so that the channel may be released on that very thread (by its
// listener) without pulling the state away under it.
class SLPReconnectingChannel final : public SLKChannelDecorator {
public:
    using Listener = std::function<void(SLKLinkEvent, const CommErrorRef&)>;

    // Wraps `channel` (not null) with a valid `policy`; the factory checks both. Created over an
    // open channel, it is open at once.
    SLPReconnectingChannel(SLKDataChannelRef channel, SLKReconnectPolicy policy, Listener listener);
    // Ends the retries (a thread retrying is waited for); leaves an open port open.
    ~SLPReconnectingChannel() override;

    // Opens the port, trying again on the policy's schedule while it cannot be opened for a
    // system reason, until `timeout` runs out (FOREVER: until a close). Code 1 when open, code 3
    // for an invalid timeout, the last attempt's failure, or code 2 "Cannot communicate with
    // closed devices" when a close ended the attempts.
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    // Ends the retries and closes the port. Code 2 "Device Already Closed" when not open.
    bool close(CommErrorRef* error = nullptr) noexcept override;
    // Open, the device there or not.
    bool isOpened() noexcept override;
    // The port's bytes; while the device is away, waits out the timeout (taking the bytes of a
    // port back in time) and returns empty. Code 2 when closed, code 3 for an invalid timeout,
    // the port's failures that are no loss of the device unchanged.
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    // Writes to the port; code 4 "Device disconnected" while the device is away (and for the
    // write that found it gone), code 2 when closed.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;

    class Link;

private:
    std::shared_ptr<Link> _link;
};

#endif
