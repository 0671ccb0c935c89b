#include "SLKLinkEvents.h"

namespace selko::detail {

void LinkEvents::post(SLKLinkEvent event, CommErrorRef reason) noexcept {
    if (!_listener)
        return;
    try {
        const std::lock_guard<std::mutex> lock(_lock);
        _queue.emplace_back(event, std::move(reason));
    } catch (...) {
        // No memory for the event: the listener misses it, the channel goes on.
    }
}

void LinkEvents::deliver() noexcept {
    std::unique_lock<std::mutex> lock(_lock);
    if (_delivering)
        return;
    _delivering = true;
    while (!_queue.empty()) {
        const auto [event, reason] = std::move(_queue.front());
        _queue.pop_front();
        lock.unlock();
        try {
            _listener(event, reason);
        } catch (...) {
            // The listener's own failure ends its call, not the read or write that noticed the change.
        }
        lock.lock();
    }
    _delivering = false;
}

} // namespace selko::detail
