#include "SLPUSBChannel.h"

#include "CommErrorRaise.h"
#include "PortListing.h"

namespace {

// A device path as the path of a "uart" URL: every byte but the unreserved ones and '/' escaped.
std::string uartURLFor(const std::string& path) {
    std::string url = "uart://";
    char escape[4];
    for (const char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            url += c;
        } else {
            std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
            url += escape;
        }
    }
    return url;
}

} // namespace

SLPUSBChannel::SLPUSBChannel(selko::detail::USBPortIdentity identity, SLKOptions options)
    : _identity(std::move(identity)), _options(std::move(options)) {}

std::shared_ptr<SLPUARTChannel> SLPUSBChannel::port() const {
    const std::lock_guard<std::mutex> lock(_mutex);
    return _port;
}

std::string SLPUSBChannel::resolve(CommErrorRef* error) const {
    const std::string root = selko::detail::deviceRoot();
    std::vector<SLKPortInfo> ports;
    std::string failure;
    if (!selko::detail::listPortsUnder(root, &ports, &failure)) {
        SLK_RAISE(error, SLKErrorPortSystem, "Cannot list the serial ports: %s", failure);
        return "";
    }
    const std::vector<std::string> paths = selko::detail::portsMatching(ports, _identity);
    if (paths.empty()) {
        SLK_RAISE(error, SLKErrorPortSystem, "No serial port found for %@", describeUSBIdentity(_identity));
        return "";
    }
    if (paths.size() > 1) {
        std::string candidates;
        for (const std::string& path : paths)
            candidates += (candidates.empty() ? "" : ", ") + path;
        SLK_RAISE(error, SLKErrorPortSystem, "Several serial ports found for %@: %@", describeUSBIdentity(_identity),
                  candidates);
        return "";
    }
    return selko::detail::pathUnderRoot(root, paths.front());
}

bool SLPUSBChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    // Listing and matching allocate: running out of memory fails the open instead of escaping.
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, openOnResolvedNode(timeout, error));
}

bool SLPUSBChannel::openOnResolvedNode(double timeout, CommErrorRef* error) {
    const std::lock_guard<std::mutex> opening(_opening);
    std::shared_ptr<SLPUARTChannel> current = port();
    if (current && current->isOpened()) {
        SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
        return false;
    }
    const std::string path = resolve(error);
    if (path.empty())
        return false;
    {
        // The same node keeps its channel (and whatever was tied to it); a new node gets one.
        const std::lock_guard<std::mutex> lock(_mutex);
        if (!_port || _portPath != path) {
            const std::shared_ptr<SLPUARTChannel> previous = std::move(_port);   // kept until it left the set
            _port = SLPUARTChannel::initForURL(uartURLFor(path).c_str(), &_options);
            _portPath = path;
            watchCurrentNode();
        }
        current = _port;
    }
    return current->openWithTimeout(timeout, error);
}

int SLPUSBChannel::readableDescriptor(CommErrorRef* error) {
    const int descriptor = _readable.descriptor(error);
    if (descriptor < 0)
        return -1;
    const std::lock_guard<std::mutex> lock(_mutex);
    if (!_watched) {
        _watched = true;
        watchCurrentNode();
    }
    return descriptor;
}

void SLPUSBChannel::watchCurrentNode() {
    if (!_watched)
        return;
    if (_watchedNode >= 0)
        _readable.remove(_watchedNode);
    // A UART channel's descriptor stays valid for the channel's life, which the set outlives only
    // until the next node replaces it here.
    _watchedNode = _port ? SLKReadableDescriptor(_port, nullptr) : -1;
    if (_watchedNode >= 0)
        _readable.publish({_watchedNode}, [] { return true; });
}

template <class Call>
bool SLPUSBChannel::withPort(CommErrorRef* error, Call&& call) const {
    if (const std::shared_ptr<SLPUARTChannel> current = port())
        return call(*current);
    SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
    return false;
}

bool SLPUSBChannel::close(CommErrorRef* error) noexcept {
    if (const std::shared_ptr<SLPUARTChannel> current = port())
        return current->close(error);
    SLK_RAISE(error, SLKErrorNotOpened, "Device Already Closed");
    return false;
}

bool SLPUSBChannel::isOpened() noexcept {
    const std::shared_ptr<SLPUARTChannel> current = port();
    return current && current->isOpened();
}

SLKData SLPUSBChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    if (const std::shared_ptr<SLPUARTChannel> current = port())
        return current->readWithTimeout(timeout, error);
    SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
    return nullptr;
}

bool SLPUSBChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.write(data, error); });
}

bool SLPUSBChannel::setDTR(bool on, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.setDTR(on, error); });
}

bool SLPUSBChannel::setRTS(bool on, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.setRTS(on, error); });
}

bool SLPUSBChannel::modemLines(SLKModemLines* lines, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.modemLines(lines, error); });
}

bool SLPUSBChannel::sendBreak(double seconds, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.sendBreak(seconds, error); });
}

bool SLPUSBChannel::discard(SLKQueue queue, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.discard(queue, error); });
}

bool SLPUSBChannel::drain(double timeout, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.drain(timeout, error); });
}

bool SLPUSBChannel::queued(SLKQueue queue, long long* bytes, CommErrorRef* error) noexcept {
    return withPort(error, [&](SLPUARTChannel& uart) { return uart.queued(queue, bytes, error); });
}
