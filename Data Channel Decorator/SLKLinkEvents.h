// Internal: hands a reconnecting channel's link events to its listener in the order in which they
// happened, without any lock of the channel held, and keeps the listener's exceptions in.
#ifndef SELKO_SLK_LINK_EVENTS_H
#define SELKO_SLK_LINK_EVENTS_H

#include "SelkoCommunication.h"

#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace selko::detail {

class LinkEvents {
public:
    using Listener = std::function<void(SLKLinkEvent, const CommErrorRef&)>;

    // An empty listener hears nothing.
    explicit LinkEvents(Listener listener) : _listener(std::move(listener)) {}

    // Queues an event. The caller holds the lock under which the change it reports was made, so
    // the queue keeps the order of the changes.
    void post(SLKLinkEvent event, CommErrorRef reason) noexcept;
    // Hands the queued events to the listener on this thread, unless another thread is handing
    // events out already: that one then hands out these too, after its own. So the listener is
    // never called by two threads at once, and a listener that calls the channel (which may post
    // an event) does not wait for itself. Call without holding a lock of the channel.
    void deliver() noexcept;

private:
    const Listener _listener;
    std::mutex _lock;
    std::deque<std::pair<SLKLinkEvent, CommErrorRef>> _queue;
    bool _delivering = false;
};

} // namespace selko::detail

#endif
