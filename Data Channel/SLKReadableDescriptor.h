// Internal: descriptors that a poll (an event loop's, or the application's own) can wait on to
// learn that a read with SELKO_COMMUNICATION_TIME_NOW would find something: bytes, a hang-up, a
// failure. Every such descriptor belongs to its channel and stays the same number for the
// channel's whole life, across close and reopen, so a loop registers it once.
#ifndef SELKO_READABLE_DESCRIPTOR_H
#define SELKO_READABLE_DESCRIPTOR_H

#include "SelkoCommunication.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace selko::detail {

// A layer with such a descriptor. SLKReadableDescriptor walks a stack from the top and takes the
// first layer that has one; the library's public channel classes are asked directly, the
// internal ones through this interface.
class ReadableLayer {
public:
    // The descriptor, or -1 with the reason (code 4 when the system refuses to make one).
    virtual int readableDescriptor(CommErrorRef* error) = 0;

protected:
    ~ReadableLayer() = default;
};

// The descriptor of a port channel: an epoll set that holds the descriptors of the port while it
// is open (added right after the port's descriptor opened, removed before it closes), so it is
// readable exactly while the open port has input, a hang-up or an error, and never while the
// channel is closed. The set itself is made on the first request: a channel nobody watches pays
// for nothing but a short lock at open and close.
class ReadableWatch {
public:
    ReadableWatch() = default;
    ~ReadableWatch();
    ReadableWatch(const ReadableWatch&) = delete;
    ReadableWatch& operator=(const ReadableWatch&) = delete;

    int descriptor(CommErrorRef* error);
    // Publishes an open port (`publish` returns whether it did) and, if it did, adds its
    // descriptors in the same step: a poll never hears of a port before a read can find it, and a
    // close (which removes them before it lets the port go) always finds them there.
    bool publish(const std::vector<int>& fds, const std::function<bool()>& publish);
    void remove(int fd);

private:
    std::mutex _mutex;
    int _epoll = -1;
    std::vector<int> _fds;   // the open port's descriptors
};

// A descriptor that is readable while a condition holds (bytes buffered in user space), made on
// the first request. update() evaluates the condition under the signal's own lock, so whichever
// update runs last leaves the descriptor as the condition is then, however the updates of
// several threads interleave. Before the first request an update costs one atomic load.
class ReadySignal {
public:
    ReadySignal() = default;
    ~ReadySignal();
    ReadySignal(const ReadySignal&) = delete;
    ReadySignal& operator=(const ReadySignal&) = delete;

    int descriptor(const std::function<bool()>& ready, CommErrorRef* error);
    void update(const std::function<bool()>& ready);

private:
    void raise(bool ready);   // under _mutex

    std::mutex _mutex;
    std::atomic<int> _fd{-1};
    bool _raised = false;
};

// Code 4 "Error making a readable descriptor - <system text>(<number>)."
void raiseDescriptorFailure(CommErrorRef* error, int failure);

} // namespace selko::detail

#endif
