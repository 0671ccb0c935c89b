// The exported port watcher: the kernel's device events and the machine's own sysfs. For tests
// and demonstrations the environment can stand in for both: SELKO_DEVICE_ROOT names a fake tree
// (as for the listing) and SELKO_UEVENT_FD an inherited socket to take the event messages from.
// Set-user-id programs ignore both.
#include "CommErrorRaise.h"
#include "PortListing.h"
#include "PortWatch.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

SLKPortWatcher::~SLKPortWatcher() = default;

namespace {

class SLPPortWatcher final : public SLKPortWatcher {
public:
    explicit SLPPortWatcher(std::unique_ptr<selko::detail::PortWatch> watch) noexcept : _watch(std::move(watch)) {}

private:
    std::unique_ptr<selko::detail::PortWatch> _watch;
};

// A copy of the descriptor SELKO_UEVENT_FD names, or the kernel's event socket. Null with errno set.
std::unique_ptr<selko::detail::DeviceEventSource> openEventSource() {
    const char* inherited = ::secure_getenv("SELKO_UEVENT_FD");
    if (inherited == nullptr || *inherited == '\0')
        return selko::detail::openKernelEventSource();
    char* end = nullptr;
    const long fd = std::strtol(inherited, &end, 10);
    if (*end != '\0' || fd < 0 || fd > 65535) {
        errno = EBADF;
        return nullptr;
    }
    const int copy = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return nullptr;
    return std::make_unique<selko::detail::DeviceEventSource>(copy, false);
}

std::shared_ptr<SLKPortWatcher> watchPorts(std::function<void(SLKPortChange, const SLKPortInfo&)> listener,
                                           CommErrorRef* error) {
    if (!listener) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "listener cannot be nil");
        return nullptr;
    }
    // The source opens first: a port that appears while the listing is made is then heard of.
    std::unique_ptr<selko::detail::DeviceEventSource> source = openEventSource();
    if (!source) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Cannot watch the serial ports: %s(%d).", std::strerror(failure), failure);
        return nullptr;
    }
    const std::string root = selko::detail::deviceRoot();
    std::vector<SLKPortInfo> present;
    std::string failure;
    if (!selko::detail::listPortsUnder(root, &present, &failure)) {
        SLK_RAISE(error, SLKErrorPortSystem, "Cannot list the serial ports: %s", failure);
        return nullptr;
    }
    auto watch = selko::detail::PortWatch::start(root, std::move(source), std::move(present), std::move(listener));
    if (!watch) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Cannot watch the serial ports: %s(%d).", std::strerror(failure), failure);
        return nullptr;
    }
    return std::make_shared<SLPPortWatcher>(std::move(watch));
}

} // namespace

std::shared_ptr<SLKPortWatcher> selko_watchPorts(std::function<void(SLKPortChange, const SLKPortInfo&)> listener,
                                                 CommErrorRef* error) {
    return SLK_CONTAIN(error, SLKErrorPortSystem, std::shared_ptr<SLKPortWatcher>(),
                       watchPorts(std::move(listener), error));
}
