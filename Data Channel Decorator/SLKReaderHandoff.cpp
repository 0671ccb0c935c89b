#include "SLKReaderHandoff.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace selko::detail {

std::unique_ptr<ReaderHandoff> ReaderHandoff::make(int port) {
    if (port < 0)
        return nullptr;
    const int signal = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal < 0)
        return nullptr;
    return std::unique_ptr<ReaderHandoff>(new ReaderHandoff(port, signal));
}

ReaderHandoff::~ReaderHandoff() { ::close(_signal); }

void ReaderHandoff::enter() {
    _entries.fetch_add(1);
    _readers.fetch_add(1);
}

void ReaderHandoff::leave() { _readers.fetch_sub(1); }

ReaderHandoff::Wake ReaderHandoff::wait(const Deadline& deadline) {
    pollfd fds[2] = {{_port, POLLIN, 0}, {_signal, POLLIN, 0}};
    for (;;) {
        timespec left{};
        const int ready = ::ppoll(fds, 2, deadline.remaining(left), nullptr);
        if (ready < 0 && errno != EINTR)
            return Wake::Timeout;   // not expected with these descriptors; the caller's loop ends on its deadline
        if (ready > 0) {
            if (fds[1].revents != 0) {
                eventfd_t count = 0;
                (void)::eventfd_read(_signal, &count);
            }
            return fds[0].revents != 0 ? Wake::Port : Wake::Signal;
        }
        if (deadline.passed())
            return Wake::Timeout;
    }
}

void ReaderHandoff::signal(int ownReaders) {
    if (_readers.load() > ownReaders)
        (void)::eventfd_write(_signal, 1);
}

bool ReaderHandoff::readersActive(unsigned& seen) const {
    const unsigned entries = _entries.load();
    const bool active = _readers.load() > 0 || entries != seen;
    seen = entries;
    return active;
}

bool ReaderHandoff::awaitPort(double slice) {
    pollfd port{_port, POLLIN, 0};
    return ::poll(&port, 1, static_cast<int>(slice * 1000)) > 0;
}

} // namespace selko::detail
