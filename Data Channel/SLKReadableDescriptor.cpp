// The descriptors that polls wait on, and the walk down a stack that finds the one to use.
#include "SLKReadableDescriptor.h"

#include "CommErrorRaise.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace selko::detail {

void raiseDescriptorFailure(CommErrorRef* error, int failure) {
    SLK_RAISE(error, SLKErrorPortSystem, "Error making a readable descriptor - %s(%d).", std::strerror(failure),
              failure);
}

ReadableWatch::~ReadableWatch() {
    if (_epoll >= 0)
        ::close(_epoll);
}

int ReadableWatch::descriptor(CommErrorRef* error) {
    std::lock_guard<std::mutex> guard(_mutex);
    if (_epoll >= 0)
        return _epoll;
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        raiseDescriptorFailure(error, errno);
        return -1;
    }
    for (const int fd : _fds) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    }
    _epoll = epoll;
    return _epoll;
}

bool ReadableWatch::publish(const std::vector<int>& fds, const std::function<bool()>& publish) {
    std::lock_guard<std::mutex> guard(_mutex);
    if (!publish())
        return false;
    for (const int fd : fds) {
        _fds.push_back(fd);
        if (_epoll >= 0) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            // A descriptor that cannot be polled (none of ours) simply never makes the set readable.
            ::epoll_ctl(_epoll, EPOLL_CTL_ADD, fd, &event);
        }
    }
    return true;
}

void ReadableWatch::remove(int fd) {
    std::lock_guard<std::mutex> guard(_mutex);
    const auto found = std::find(_fds.begin(), _fds.end(), fd);
    if (found == _fds.end())
        return;
    _fds.erase(found);
    if (_epoll >= 0)
        ::epoll_ctl(_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

ReadySignal::~ReadySignal() {
    if (_fd.load() >= 0)
        ::close(_fd.load());
}

int ReadySignal::descriptor(const std::function<bool()>& ready, CommErrorRef* error) {
    std::lock_guard<std::mutex> guard(_mutex);
    if (_fd.load() >= 0)
        return _fd.load();
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        raiseDescriptorFailure(error, errno);
        return -1;
    }
    _fd.store(fd);
    raise(ready());
    return fd;
}

void ReadySignal::update(const std::function<bool()>& ready) {
    if (_fd.load(std::memory_order_acquire) < 0)
        return;
    std::lock_guard<std::mutex> guard(_mutex);
    raise(ready());
}

void ReadySignal::raise(bool ready) {
    if (ready == _raised)
        return;
    std::uint64_t value = 1;
    if (ready)
        (void)!::write(_fd.load(), &value, sizeof value);
    else
        (void)!::read(_fd.load(), &value, sizeof value);
    _raised = ready;
}

} // namespace selko::detail

int SLKReadableDescriptor(SLKDataChannelRef channel, CommErrorRef* error) {
    if (!channel) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "channel cannot be nil");
        return -1;
    }
    // A user-written layer may throw: it is reported like a stack without a descriptor.
    try {
        for (SLKDataChannelRef layer = std::move(channel); layer; layer = layer->nextLayer()) {
            if (auto* uart = dynamic_cast<SLPUARTChannel*>(layer.get()))
                return uart->readableDescriptor(error);
            if (auto* active = dynamic_cast<SLPActiveChannel*>(layer.get()))
                return active->readableDescriptor(error);
            if (auto* own = dynamic_cast<selko::detail::ReadableLayer*>(layer.get()))
                return own->readableDescriptor(error);
        }
        SLK_RAISE(error, SLKErrorUnsupported, "No layer of the channel has a descriptor to wait on");
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorUnsupported, "Unexpected exception: %s", exception.what());
    } catch (...) {
        SLK_RAISE(error, SLKErrorUnsupported, "Unexpected exception: %s", "unknown");
    }
    return -1;
}
