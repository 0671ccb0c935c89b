// Internal: where device event messages come from. On a running machine, the kernel's own
// netlink group, which needs no udev daemon (containers and build machines have none); in tests,
// a socket the test writes messages into.
#ifndef SELKO_DEVICE_EVENT_SOURCE_H
#define SELKO_DEVICE_EVENT_SOURCE_H

#include <memory>
#include <string>

namespace selko::detail {

class DeviceEventSource {
public:
    // Owns `fd`, a datagram or sequenced-packet socket. With `kernelOnly`, a netlink socket whose
    // messages count only when the kernel sent them (any local program may send to the group).
    DeviceEventSource(int fd, bool kernelOnly) noexcept : _fd(fd), _kernelOnly(kernelOnly) {}
    ~DeviceEventSource();
    DeviceEventSource(const DeviceEventSource&) = delete;
    DeviceEventSource& operator=(const DeviceEventSource&) = delete;

    // Polls readable while a message waits.
    int descriptor() const noexcept { return _fd; }

    enum class Received {
        Message, // *message holds the next message
        None,    // nothing waits
        Lost,    // messages were dropped (the receive buffer overflowed, or one was cut short)
        Ended,   // the source is gone (its writer closed) or failed: nothing more will come
    };
    // Does not wait.
    Received receive(std::string* message);

private:
    const int _fd;
    const bool _kernelOnly;
};

// A socket on the kernel's device event group; null with errno set when none can be made.
std::unique_ptr<DeviceEventSource> openKernelEventSource();

} // namespace selko::detail

#endif
