#include "DeviceEventSource.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace selko::detail {

namespace {

// The kernel sends its events to this group; the udev daemon re-sends them, enriched, to group 2.
constexpr unsigned kKernelGroup = 1;
// A burst of events (a hub with many adapters plugged in) must not overflow the socket: ask for a
// generous buffer. An overflow is survived anyway (Lost), at the cost of a new listing.
constexpr int kReceiveBuffer = 1 << 20;
// The kernel's messages stay below 2 KiB (UEVENT_BUFFER_SIZE); anything longer is cut and counted Lost.
constexpr std::size_t kLongestMessage = 8192;

} // namespace

DeviceEventSource::~DeviceEventSource() { ::close(_fd); }

DeviceEventSource::Received DeviceEventSource::receive(std::string* message) {
    char buffer[kLongestMessage];
    for (;;) {
        sockaddr_nl sender{};
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t length = ::recvmsg(_fd, &header, MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return Received::None;
            return errno == ENOBUFS ? Received::Lost : Received::Ended;
        }
        if (length == 0)
            return Received::Ended;
        if ((header.msg_flags & MSG_TRUNC) != 0)
            return Received::Lost;
        if (_kernelOnly && (header.msg_namelen != sizeof sender || sender.nl_pid != 0))
            continue;
        message->assign(buffer, static_cast<std::size_t>(length));
        return Received::Message;
    }
}

std::unique_ptr<DeviceEventSource> openKernelEventSource() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return nullptr;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelGroup;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int failure = errno;
        ::close(fd);
        errno = failure;
        return nullptr;
    }
    return std::make_unique<DeviceEventSource>(fd, true);
}

} // namespace selko::detail
