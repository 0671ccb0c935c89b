// The UART channel and the opening and configuration of its port.
#include "CommErrorRaise.h"
#include "SLKArbitraryLineSpeed.h"
#include "DescriptorOperation.h"
#include "SLKLineSettings.h"
#include "SLKReadableDescriptor.h"
#include "SLKUARTURL.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

// ---------------------------------------------------------------------------------------------
// The descriptor
// ---------------------------------------------------------------------------------------------

namespace {

// A port's rate may differ from the requested one by the driver's rounding to its clock, no more.
constexpr double kSpeedTolerance = 0.02;

// The platform's name for `rate` bits per second (B9600, ...), false for a rate without a name:
// such a rate takes the arbitrary-speed request instead of cfsetspeed.
bool namedSpeed(unsigned long rate, speed_t& value) {
    struct Named {
        unsigned long rate;
        speed_t value;
    };
    static const Named named[] = {
        {50, B50},         {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},       {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B576000
        {576000, B576000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
#ifdef B1152000
        {1152000, B1152000},
#endif
#ifdef B1500000
        {1500000, B1500000},
#endif
#ifdef B2000000
        {2000000, B2000000},
#endif
#ifdef B2500000
        {2500000, B2500000},
#endif
#ifdef B3000000
        {3000000, B3000000},
#endif
#ifdef B3500000
        {3500000, B3500000},
#endif
#ifdef B4000000
        {4000000, B4000000},
#endif
    };
    for (const Named& entry : named) {
        if (entry.rate == rate) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

// The output speed bits of the control flags (they survive the reduction to CREAD and CLOCAL).
// The separate input speed bits are cleared, so the input runs at the output speed: a leftover
// input speed from an earlier open must not outlive a new rate.
constexpr tcflag_t speedFlags() {
    tcflag_t flags = 0;
#ifdef CBAUD
    flags |= CBAUD;
#endif
#ifdef CBAUDEX
    flags |= CBAUDEX;
#endif
    return flags;
}

using selko::detail::FlowControl;
using selko::detail::LineAtOpen;
using selko::detail::RS485Mode;

// The options that are checked before the device node is opened, so that a typo never touches
// the device.
bool readLineOptions(const SLKOptions& options, FlowControl& flow, bool& lowLatency, LineAtOpen& atOpen,
                     CommErrorRef* error) {
    flow = FlowControl::None;
    lowLatency = false;
    return selko::detail::readFlowControl(options, flow, error) &&
           selko::detail::readFlag(options, SELKO_COMMUNICATION_UART_LOW_LATENCY, "low latency", lowLatency, error) &&
           selko::detail::readLineAtOpen(options, atOpen, error);
}

void applyFlowControl(termios& record, FlowControl flow) {
    switch (flow) {
    case FlowControl::None: break;
    case FlowControl::RTSCTS: record.c_cflag |= CRTSCTS; break;
    case FlowControl::XONXOFF:
        record.c_iflag |= IXON | IXOFF;
        record.c_cc[VSTART] = 0x11; // DC1
        record.c_cc[VSTOP] = 0x13;  // DC3
        break;
    }
}

// Asks the driver for low-latency delivery. A driver without serial settings (a pseudo-terminal,
// many USB adapters) refuses the request as unknown; its port is left as it is.
bool requestLowLatency(int fd, const std::string& path, CommErrorRef* error) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    struct serial_struct serial {};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) == 0)
            return true;
    }
    const int failure = errno;
    if (failure == ENOTTY || failure == EINVAL || failure == EOPNOTSUPP)
        return true;
    SLK_RAISE(error, SLKErrorPortSystem, "Error setting low latency on %@ - %s(%d).", path, std::strerror(failure),
              failure);
    return false;
#else
    (void)fd, (void)path, (void)error;
    return true;
#endif
}

bool refusedAtOpen(const char* setting, const std::string& path, int failure, CommErrorRef* error) {
    SLK_RAISE(error, SLKErrorPortSystem, "Error setting %s on %@ - %s(%d).", setting, path, std::strerror(failure),
              failure);
    return false;
}

// The driver's RS-485 mode. "off" reads the settings first: a driver that cannot report them has
// no RS-485 to turn off, and one that has it off is left untouched.
bool applyRS485(int fd, const LineAtOpen& atOpen, const std::string& path, CommErrorRef* error) {
#if defined(TIOCSRS485) && defined(SER_RS485_ENABLED)
    struct serial_rs485 settings {};
    if (atOpen.rs485 == RS485Mode::Off) {
        if (::ioctl(fd, TIOCGRS485, &settings) == -1 || (settings.flags & SER_RS485_ENABLED) == 0)
            return true;
        settings.flags &= ~static_cast<decltype(settings.flags)>(SER_RS485_ENABLED);
    } else {
        settings.flags = SER_RS485_ENABLED |
                         (atOpen.rs485 == RS485Mode::RTSOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
        settings.delay_rts_before_send = atOpen.delayBeforeSend;
        settings.delay_rts_after_send = atOpen.delayAfterSend;
    }
    return ::ioctl(fd, TIOCSRS485, &settings) == 0 || refusedAtOpen("RS-485", path, errno, error);
#else
    (void)fd;
    return atOpen.rs485 == RS485Mode::Off || refusedAtOpen("RS-485", path, EOPNOTSUPP, error);
#endif
}

// DTR and RTS first, then the RS-485 mode, whose driver then has the last word on RTS.
bool applyLineAtOpen(int fd, const LineAtOpen& atOpen, const std::string& path, CommErrorRef* error) {
    const std::pair<const std::optional<bool>&, int> levels[] = {{atOpen.dtr, TIOCM_DTR}, {atOpen.rts, TIOCM_RTS}};
    for (const auto& [level, line] : levels) {
        int bit = line;
        if (level && ::ioctl(fd, *level ? TIOCMBIS : TIOCMBIC, &bit) == -1)
            return refusedAtOpen(line == TIOCM_DTR ? "DTR" : "RTS", path, errno, error);
    }
    return atOpen.rs485 == RS485Mode::Unchanged || applyRS485(fd, atOpen, path, error);
}

// Reads the port's speeds back; false (code 4) unless both are within the tolerance of `rate`.
bool checkLineSpeed(int fd, unsigned long rate, const std::string& path, CommErrorRef* error) {
    unsigned output = 0;
    unsigned input = 0;
    if (selkoReadLineSpeed(fd, &output, &input) == -1) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error getting tty attributes %@ - %s(%d).\n", path,
                  std::strerror(failure), failure);
        return false;
    }
    const auto off = [rate](unsigned actual) {
        return std::fabs(static_cast<double>(actual) - static_cast<double>(rate)) > kSpeedTolerance * rate;
    };
    if (off(output) || off(input)) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error setting baud rate %d on %@ - the port runs at %d.", rate, path,
                  off(output) ? output : input);
        return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Port configuration
// ---------------------------------------------------------------------------------------------

bool setCharacterSizeSpecifier(struct termios* attributes, char c, CommErrorRef* error) noexcept {
    if (attributes != nullptr) {
        attributes->c_cflag &= ~static_cast<tcflag_t>(CSIZE);
        switch (c) {
        case '5': attributes->c_cflag |= CS5; return true;
        case '6': attributes->c_cflag |= CS6; return true;
        case '7': attributes->c_cflag |= CS7; return true;
        case '8': attributes->c_cflag |= CS8; return true;
        default: break;
        }
    }
    SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid Character Size (Use 5, 6, 7, or 8)");
    return false;
}

bool setParityMaskSpecifier(struct termios* attributes, char c, CommErrorRef* error) noexcept {
    if (attributes != nullptr) {
        switch (c) {
        case 'E':
            attributes->c_cflag &= ~static_cast<tcflag_t>(PARODD);
            attributes->c_cflag |= PARENB;
            return true;
        case 'O':
            attributes->c_cflag |= PARENB | PARODD;
            return true;
        case 'N':
            attributes->c_cflag &= ~static_cast<tcflag_t>(PARENB);
            return true;
        default: break;
        }
    }
    SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid parity (Use N, O, or E)");
    return false;
}

bool setStopBitSpecifier(struct termios* attributes, char c, CommErrorRef* error) noexcept {
    if (attributes != nullptr) {
        switch (c) {
        case '1': attributes->c_cflag &= ~static_cast<tcflag_t>(CSTOPB); return true;
        case '2': attributes->c_cflag |= CSTOPB; return true;
        default: break;
        }
    }
    SLK_RAISE(error, SLKErrorInvalidArgument, "Invalid stop but (Use 1, or 2)");
    return false;
}

namespace {

// The whole open and configuration of a port; `exclusiveSet` tells whether this call set the
// exclusive-use flag (false when exclusive use was not asked for, or another program's flag was
// already there), so that only a flag we set is ever cleared again.
bool openAndConfigure(int* descriptor, const char* url, const SLKOptions& options, bool& exclusiveSet,
                      CommErrorRef* error) noexcept {
    exclusiveSet = false;
    // 0. Flow control, low latency and the line at open are checked before anything is opened,
    //    so that a typo never touches the device.
    if (descriptor != nullptr)
        *descriptor = -1;
    FlowControl flow = FlowControl::None;
    bool lowLatency = false;
    LineAtOpen atOpen;
    if (!readLineOptions(options, flow, lowLatency, atOpen, error))
        return false;

    // 1. The device path (percent-decoded) and the mode string. A URL we cannot take a device
    //    path from (host, query, fragment, bad escape), or no place to put the descriptor, fails
    //    the open itself with EINVAL and opens nothing.
    std::string path;
    if (descriptor == nullptr || !selko::detail::devicePathFromURL(url, path)) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening serial port %@ - %s(%d).", url, std::strerror(EINVAL),
                  EINVAL);
        return false;
    }
    const std::string mode = selko::detail::readMode(options);

    // 2. Open. The descriptor is handed back at once, whatever happens next.
    errno = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    *descriptor = fd;
    if (fd < 0) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening serial port %@ - %s(%d).", path, std::strerror(failure),
                  failure);
        return false;
    }

    // 3. Exclusive use. Root opens a port that another program holds exclusively: that flag is
    //    the other program's, and stays when we let the port go.
    int alreadyExclusive = 0;
#ifdef TIOCGEXCL
    const bool heldExclusively = ::ioctl(fd, TIOCGEXCL, &alreadyExclusive) == 0 && alreadyExclusive != 0;
#else
    const bool heldExclusively = false;
#endif
    bool exclusive = true;
    if (!selko::detail::readFlag(options, SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, "exclusive lock", exclusive, error))
        return false;
    if (exclusive) {
        if (::ioctl(fd, TIOCEXCL) == -1) {
            const int failure = errno;
            SLK_RAISE(error, SLKErrorPortSystem, "Error setting TIOCEXCL on %@ - %s(%d).\n", path,
                      std::strerror(failure), failure);
            return false;
        }
        exclusiveSet = !heldExclusively;
    }

    // 4. Blocking mode from now on.
    if (::fcntl(fd, F_SETFL, 0) == -1) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error clearing O_NONBLOCK %@ - %s(%d).\n", path, std::strerror(failure),
                  failure);
        return false;
    }

    // 5. The current attributes.
    struct termios record {};
    if (::tcgetattr(fd, &record) == -1) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error getting tty attributes %@ - %s(%d).\n", path,
                  std::strerror(failure), failure);
        return false;
    }

    // 6. Raw mode.
    ::cfmakeraw(&record);

    // 7. The speed. A named rate goes into the record; any other rate is applied through the
    //    arbitrary-speed request after tcsetattr (12.), and the record keeps the port's speed
    //    until then.
    std::uint32_t speed = 115200;
    if (!selko::detail::readBaud(options, speed, error))
        return false;
    const auto rate = static_cast<unsigned long>(speed);
    speed_t named = 0;
    const bool isNamed = namedSpeed(rate, named);
    if (isNamed && ::cfsetspeed(&record, named) == -1) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error setting baud rate %d on %@ - %s(%d).", speed, path,
                  std::strerror(failure), failure);
        return false;
    }

    // 8. Only CREAD and CLOCAL stay among the control flags (and the line speed, which Linux keeps
    //    in the control flags).
    record.c_cflag &= static_cast<tcflag_t>(CREAD | CLOCAL) | speedFlags();

    // 9. The mode string.
    if (!setCharacterSizeSpecifier(&record, mode[0], error) || !setParityMaskSpecifier(&record, mode[1], error) ||
        !setStopBitSpecifier(&record, mode[2], error))
        return false;

    // 10. No input, output or local processing; reads wait for at least one byte.
    record.c_iflag = 0;
    record.c_oflag = 0;
    record.c_lflag = 0;
    for (const int entry : {VEOF, VEOL, VEOL2, VERASE, VWERASE, VKILL, VREPRINT, VINTR, VQUIT, VSUSP, VSTART,
                            VSTOP, VLNEXT, VDISCARD})
        record.c_cc[entry] = 0;
    record.c_cc[VMIN] = 1;
    record.c_cc[VTIME] = 1;
    // Flow control after the flags and characters above were cleared.
    applyFlowControl(record, flow);

    // 11. Apply.
    if (::tcsetattr(fd, TCSANOW, &record) == -1) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error setting tty attributes %@ - %s(%d).\n", path,
                  std::strerror(failure), failure);
        return false;
    }

    // 12. A rate without a name, then the speed the port really runs at: never a silent wrong
    //     speed.
    if (!isNamed && selkoSetArbitraryLineSpeed(fd, static_cast<unsigned>(rate)) == -1) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error %d calling ioctl( ..., IOSSIOSPEED, ... )", failure);
        return false;
    }
    if (!checkLineSpeed(fd, rate, path, error))
        return false;

    // 13. Low-latency delivery, where the driver has it.
    if (lowLatency && !requestLowLatency(fd, path, error))
        return false;

    // 14. The line levels and the RS-485 mode asked for, on the configured line.
    return applyLineAtOpen(fd, atOpen, path, error);
}

} // namespace

bool openPortWithError__no_cleanup(int* descriptor, const char* url, const SLKOptions& options,
                                   CommErrorRef* error) noexcept {
    bool exclusiveSet = false;
    return openAndConfigure(descriptor, url, options, exclusiveSet, error);
}

// ---------------------------------------------------------------------------------------------
// The channel
// ---------------------------------------------------------------------------------------------

using selko::detail::Deadline;
using selko::detail::PortHandle;
using selko::detail::PortRead;

bool SLPUARTChannel::checkURL(const char* url) { return selko::detail::isUARTURL(url); }

SLKOptions SLPUARTChannel::defaultConfig() {
    return SLKOptions{
        {SELKO_COMMUNICATION_UART_MODE, std::string("8N1")},
        {SELKO_COMMUNICATION_UART_BAUD, 115200LL},
        {SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, true},
        {SELKO_COMMUNICATION_UART_FLOW_CONTROL, std::string("none")},
        {SELKO_COMMUNICATION_UART_LOW_LATENCY, false},
    };
}

std::shared_ptr<SLPUARTChannel> SLPUARTChannel::initForURL(const char* url, const SLKOptions* options) {
    if (url == nullptr)
        return nullptr;
    SLKOptions merged = defaultConfig();
    if (options != nullptr) {
        for (const auto& [key, value] : *options)
            merged.insert_or_assign(key, value);
    }
    return std::make_shared<SLPUARTChannel>(std::string(url), std::move(merged));
}

SLPUARTChannel::SLPUARTChannel(std::string url, SLKOptions options)
    : _uartHandle(nullptr), _url(std::move(url)), _options(std::move(options)),
      _watch(std::make_unique<selko::detail::ReadableWatch>()) {}

SLPUARTChannel::~SLPUARTChannel() = default;   // the handle lets the port go with its last holder

std::shared_ptr<PortHandle> SLPUARTChannel::acquirePort() const { return std::atomic_load(&_uartHandle); }

// Closes the channel if it still holds `expected`; a channel closed (and perhaps reopened) by
// another thread meanwhile is left alone.
bool SLPUARTChannel::releasePort(const std::shared_ptr<PortHandle>& expected) {
    std::shared_ptr<PortHandle> current = expected;
    if (!expected || !std::atomic_compare_exchange_strong(&_uartHandle, &current, std::shared_ptr<PortHandle>()))
        return false;
    _watch->remove(expected->fd());   // before the number can go to another open
    return expected->close();
}

bool SLPUARTChannel::openWithTimeout(double, CommErrorRef* error) noexcept {
    if (acquirePort()) {
        SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
        return false;
    }
    int fd = -1;
    bool exclusiveSet = false;
    const auto giveUp = [&] {
        if (exclusiveSet)
            ::ioctl(fd, TIOCNXCL);   // a port we gave up stays free for others
        ::close(fd);
    };
    if (!openAndConfigure(&fd, _url.c_str(), _options, exclusiveSet, error)) {
        if (fd >= 0)
            giveUp();
        return false;
    }
    selko::detail::PortRelease release;
    release.flushStuckOutput = true;
    release.clearExclusive = exclusiveSet;
    auto opened = PortHandle::adopt(fd, release);
    if (!opened) {
        const int failure = errno;
        giveUp();
        // Reported like a failing open of the device node (out of descriptors, typically).
        std::string path;
        selko::detail::devicePathFromURL(_url.c_str(), path);
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening serial port %@ - %s(%d).", path, std::strerror(failure),
                  failure);
        return false;
    }
    const bool published = _watch->publish({fd}, [&] {
        std::shared_ptr<PortHandle> expected;
        return std::atomic_compare_exchange_strong(&_uartHandle, &expected, opened);
    });
    if (!published) {
        // Another thread opened the channel meanwhile: ours is closed again.
        opened->close();
        SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
        return false;
    }
    return true;
}

bool SLPUARTChannel::close(CommErrorRef* error) noexcept {
    // The handle is taken away first, so new calls find the channel closed; the handle then wakes
    // and waits out the calls already using it before it lets the port go.
    if (const auto handle = std::atomic_exchange(&_uartHandle, std::shared_ptr<PortHandle>())) {
        _watch->remove(handle->fd());
        handle->close();
        return true;
    }
    SLK_RAISE(error, SLKErrorNotOpened, "Device Already Closed");
    return false;
}

bool SLPUARTChannel::isOpened() noexcept { return acquirePort() != nullptr; }

int SLPUARTChannel::readableDescriptor(CommErrorRef* error) { return _watch->descriptor(error); }

SLKData SLPUARTChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    const std::shared_ptr<PortHandle> handle = acquirePort();
    if (!handle) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return nullptr;
    }
    if (!selko::detail::isValidTimeout(timeout)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
        return nullptr;
    }
    SLKData bytes;
    int failure = 0;
    switch (selko::detail::readSerialPort(*handle, Deadline(timeout), bytes, failure)) {
    case PortRead::Bytes: return bytes;
    case PortRead::Closed:
        // Closed by another thread while we waited: nothing was taken from the port.
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return nullptr;
    case PortRead::Disconnected:
        SLK_RAISE(error, SLKErrorRead, "Device disconnected");
        break;
    case PortRead::Failed:
        selko::detail::raiseWaitOrReadFailure(error, failure);
        break;
    }
    releasePort(handle);   // a failed read closes the channel; its error stays in the slot
    return nullptr;
}

bool SLPUARTChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    const std::shared_ptr<PortHandle> handle = acquirePort();
    if (!handle) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    // Null is no data: refused without a record, as every layer of a stack refuses it.
    if (!data)
        return false;
    if (data->empty())
        return true;
    const PortHandle::Use inFlight = handle->use();
    if (!inFlight) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    errno = 0;
    const ssize_t written = ::write(handle->fd(), data->data(), data->size());
    const int failure = errno;
    if (handle->releasedUnderCalls()) {
        // Closed under this write, which may have gone to the placeholder: not a success.
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    if (written < 0 || static_cast<std::size_t>(written) != data->size()) {
        SLK_RAISE(error, SLKErrorPortSystem, "Failed to write message with error = %s", std::strerror(failure));
        return false;
    }
    return true;
}
