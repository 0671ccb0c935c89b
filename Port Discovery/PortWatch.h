// Internal: the thread that turns device events into port changes. It keeps what it knows of every
// serial port (from the listing it starts with, then from each event), because at removal the
// port's sysfs entry is already gone: a Removed change carries what was known when it was added.
// Independent of the error records, like the listing, so the tests compile it in and feed it a
// fake tree and a socket of their own.
#ifndef SELKO_PORT_WATCH_H
#define SELKO_PORT_WATCH_H

#include "DeviceEventSource.h"
#include "SelkoCommunication.h"

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace selko::detail {

class PortWatch {
public:
    using Listener = std::function<void(SLKPortChange, const SLKPortInfo&)>;

    // Starts watching `source`, describing ports from the tree below `root`, with `present` (the
    // listing made after the source was opened) as what is there already. Null with errno set
    // when the wake-up descriptor or the thread cannot be made.
    static std::unique_ptr<PortWatch> start(std::string root, std::unique_ptr<DeviceEventSource> source,
                                            std::vector<SLKPortInfo> present, Listener listener);

    // Stops watching; once it returns the listener is not called again. From another thread it
    // wakes the watching thread and waits for it (and so for a listener call in progress). From
    // inside the listener the thread ends by itself when the listener returns.
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    struct State;

private:
    PortWatch(std::shared_ptr<State> state, std::thread thread) noexcept;

    std::shared_ptr<State> _state;
    std::thread _thread;
};

} // namespace selko::detail

#endif
