#include "SLPRFC2217Channel.h"

#include "CommErrorRaise.h"
#include "DescriptorOperation.h"
#include "SLKLineSettings.h"
#include "SLKRFC2217Protocol.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

using selko::detail::Deadline;
using selko::detail::OutputDrain;
using selko::detail::PortHandle;
using selko::detail::awaitOutputDrained;
using selko::detail::LineSettings;
namespace rfc2217 = selko::detail::rfc2217;

namespace {

// The default break length when the caller gives none (what the system's break request uses).
constexpr double kDefaultBreak = 0.25;

struct SettingRequest {
    std::uint8_t command;
    std::vector<std::uint8_t> value;
    const char* name;
};

std::vector<SettingRequest> settingRequests(const LineSettings& settings) {
    const std::uint32_t baud = settings.baud;
    const std::uint8_t parity = settings.parity == 'O'   ? rfc2217::PARITY_ODD
                                : settings.parity == 'E' ? rfc2217::PARITY_EVEN
                                                         : rfc2217::PARITY_NONE;
    const std::uint8_t flow = settings.flow == LineSettings::Flow::RTSCTS    ? rfc2217::FLOW_HARDWARE
                              : settings.flow == LineSettings::Flow::XONXOFF ? rfc2217::FLOW_XONXOFF
                                                                             : rfc2217::FLOW_NONE;
    return {
        {rfc2217::SET_BAUDRATE,
         {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
          static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)},
         "baud rate"},
        {rfc2217::SET_DATASIZE, {static_cast<std::uint8_t>(settings.dataSize)}, "data size"},
        {rfc2217::SET_PARITY, {parity}, "parity"},
        {rfc2217::SET_STOPSIZE, {static_cast<std::uint8_t>(settings.stopBits)}, "stop size"},
        {rfc2217::SET_CONTROL, {flow}, "flow control"},
    };
}

} // namespace

SLPRFC2217Channel::SLPRFC2217Channel(std::string url, selko::detail::NetworkAddress address, SLKOptions options)
    : SLKNetworkChannel(std::move(url), std::move(address)), _options(std::move(options)) {}

bool SLPRFC2217Channel::checkBeforeConnect(CommErrorRef* error) {
    LineSettings settings;
    return selko::detail::lineSettingsFromOptions(_options, settings, error);
}

std::shared_ptr<SLKNetworkChannel::Connection> SLPRFC2217Channel::start(int fd, const Deadline& deadline,
                                                                         CommErrorRef* error) {
    auto session = std::make_shared<Session>(fd);
    if (!session->stream.valid()) {
        raiseOpenFailure(error, errno);
        return nullptr;
    }
    LineSettings settings;
    if (!selko::detail::lineSettingsFromOptions(_options, settings, error) ||
        !negotiate(*session, settings, deadline, error)) {
        session->abandon();
        return nullptr;
    }
    return session;
}

bool SLPRFC2217Channel::negotiate(Session& session, const LineSettings& settings, const Deadline& deadline,
                                  CommErrorRef* error) {
    int failure = 0;
    if (!session.startNegotiation(failure)) {
        raiseOpenFailure(error, failure);
        return false;
    }
    const Deadline answers = deadline.forever() ? Deadline(kAnswerLimitForever) : deadline;
    session.await([&] { return session.comPort() != Session::ComPort::Waiting; }, answers);
    if (session.comPort() != Session::ComPort::Accepted) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - the server %s COM-PORT-OPTION.", _url,
                  session.comPort() == Session::ComPort::Refused ? "refused" : "did not answer");
        return false;
    }

    // Every setting goes out at once; then each answer is checked in order.
    const std::vector<SettingRequest> requests = settingRequests(settings);
    std::vector<unsigned long long> before;
    for (const SettingRequest& request : requests)
        before.push_back(session.answer(request.command).count);
    std::vector<std::uint8_t> wire;
    for (const SettingRequest& request : requests) {
        const auto one = selko::detail::comPortMessage(request.command, request.value);
        wire.insert(wire.end(), one.begin(), one.end());
    }
    const auto mask = selko::detail::comPortMessage(rfc2217::SET_MODEMSTATE_MASK, {0xFF});
    wire.insert(wire.end(), mask.begin(), mask.end());
    if (!session.sendRaw(wire, failure)) {
        raiseOpenFailure(error, failure);
        return false;
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const SettingRequest& request = requests[i];
        session.await([&] { return session.answer(request.command).count > before[i]; }, answers);
        const Session::Answer answer = session.answer(request.command);
        if (answer.count == before[i]) {
            SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - no answer to the %s setting.", _url,
                      request.name);
            return false;
        }
        if (answer.value == request.value)
            continue;
        std::uint32_t asked = 0, set = 0;
        rfc2217::valueNumber(request.value, request.command, asked);
        if (rfc2217::valueNumber(answer.value, request.command, set))
            SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - the server set the %s to %d, not %d.",
                      _url, request.name, set, asked);
        else
            SLK_RAISE(error, SLKErrorPortSystem,
                      "Error opening network port %@ - the server answered the %s with %d bytes.", _url, request.name,
                      answer.value.size());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Line control
// ---------------------------------------------------------------------------------------------

bool SLPRFC2217Channel::request(Session& session, std::uint8_t command, std::uint8_t value, const char* what,
                                CommErrorRef* error) {
    const unsigned long long before = session.answer(command).count;
    int failure = 0;
    if (!session.sendComPort(command, {value}, failure)) {
        if (failure == ECANCELED)
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        else
            SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - %s(%d).", what, _url,
                      std::strerror(failure), failure);
        return false;
    }
    session.await([&] { return session.answer(command).count > before; }, Deadline(kControlAnswerWait));
    const Session::Answer answer = session.answer(command);
    if (answer.count == before || answer.value == std::vector<std::uint8_t>{value})
        return true;
    std::uint32_t answered = 0;
    if (rfc2217::valueNumber(answer.value, command, answered))
        SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - the server answered %d.", what, _url, answered);
    else
        SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - the server answered with %d bytes.", what, _url,
                  answer.value.size());
    return false;
}

bool SLPRFC2217Channel::setDTR(bool on, CommErrorRef* error) noexcept {
    try {
        const auto session = openSession(error);
        return session && request(*session, rfc2217::SET_CONTROL, on ? rfc2217::DTR_ON : rfc2217::DTR_OFF,
                                  on ? "DTR on" : "DTR off", error);
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - %s(%d).", "DTR", _url, exception.what(), 0);
        return false;
    }
}

bool SLPRFC2217Channel::setRTS(bool on, CommErrorRef* error) noexcept {
    try {
        const auto session = openSession(error);
        return session && request(*session, rfc2217::SET_CONTROL, on ? rfc2217::RTS_ON : rfc2217::RTS_OFF,
                                  on ? "RTS on" : "RTS off", error);
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - %s(%d).", "RTS", _url, exception.what(), 0);
        return false;
    }
}

bool SLPRFC2217Channel::sendBreak(double seconds, CommErrorRef* error) noexcept {
    try {
        const auto session = openSession(error);
        if (!session)
            return false;
        if (!(seconds >= 0.0) || seconds > 3600.0) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "break length has an invalid value");
            return false;
        }
        if (!request(*session, rfc2217::SET_CONTROL, rfc2217::BREAK_ON, "break on", error))
            return false;
        // A close meanwhile ends the break early; the request to end it then reports the close.
        selko::detail::sleepUntil(session->stream.port(), Deadline(seconds > 0.0 ? seconds : kDefaultBreak));
        return request(*session, rfc2217::SET_CONTROL, rfc2217::BREAK_OFF, "break off", error);
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - %s(%d).", "break", _url, exception.what(), 0);
        return false;
    }
}

bool SLPRFC2217Channel::discard(SLKQueue queue, CommErrorRef* error) noexcept {
    try {
        const auto session = openSession(error);
        if (!session)
            return false;
        const std::uint8_t value = queue == SLKQueue::Input    ? rfc2217::PURGE_RECEIVE
                                   : queue == SLKQueue::Output ? rfc2217::PURGE_TRANSMIT
                                                               : rfc2217::PURGE_BOTH;
        if (queue != SLKQueue::Output)
            session->discardPending();
        return request(*session, rfc2217::PURGE_DATA, value, "PURGE-DATA", error);
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error sending %s to %@ - %s(%d).", "PURGE-DATA", _url,
                  exception.what(), 0);
        return false;
    }
}

bool SLPRFC2217Channel::modemLines(SLKModemLines* lines, CommErrorRef* error) noexcept {
    try {
        const auto session = openSession(error);
        if (!session)
            return false;
        if (lines == nullptr) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "lines cannot be nil");
            return false;
        }
        std::uint8_t state = 0;
        session->await([&] { return session->modemState(state); }, Deadline(kControlAnswerWait));
        if (!session->modemState(state)) {
            SLK_RAISE(error, SLKErrorPortSystem, "Error reading modem lines of %@ - the server reported none.", _url);
            return false;
        }
        lines->cts = (state & rfc2217::MODEM_CTS) != 0;
        lines->dsr = (state & rfc2217::MODEM_DSR) != 0;
        lines->dcd = (state & rfc2217::MODEM_DCD) != 0;
        lines->ri = (state & rfc2217::MODEM_RI) != 0;
        return true;
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error reading modem lines of %@ - %s.", _url, exception.what());
        return false;
    }
}

bool SLPRFC2217Channel::drain(double timeout, CommErrorRef* error) noexcept {
    const auto session = openSession(error);
    if (!session)
        return false;
    if (!selko::detail::isValidTimeout(timeout)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
        return false;
    }
    PortHandle& port = session->stream.port();
    const PortHandle::Use inFlight = port.use();
    int unsent = 0, failure = 0;
    switch (inFlight ? awaitOutputDrained(port, SIOCOUTQ, Deadline(timeout), unsent, failure) : OutputDrain::Closed) {
    case OutputDrain::Drained: return true;
    case OutputDrain::Failed:
        SLK_RAISE(error, SLKErrorPortSystem, "Error draining %@ - %s(%d).", _url, std::strerror(failure), failure);
        return false;
    case OutputDrain::TimedOut:
        SLK_RAISE(error, SLKErrorPortSystem, "Error draining %@ - %d bytes not taken by the server in time.", _url,
                  unsent);
        return false;
    case OutputDrain::Closed: break;
    }
    SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
    return false;
}

bool SLPRFC2217Channel::queued(SLKQueue queue, long long* bytes, CommErrorRef* error) noexcept {
    const auto session = openSession(error);
    if (!session)
        return false;
    if (bytes == nullptr) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "bytes cannot be nil");
        return false;
    }
    int received = 0, unsent = 0;
    if ((queue != SLKQueue::Output && ::ioctl(session->stream.fd(), FIONREAD, &received) != 0) ||
        (queue != SLKQueue::Input && ::ioctl(session->stream.fd(), SIOCOUTQ, &unsent) != 0)) {
        const int failure = errno;
        SLK_RAISE(error, SLKErrorPortSystem, "Error counting queued bytes of %@ - %s(%d).", _url,
                  std::strerror(failure), failure);
        return false;
    }
    long long count = unsent;
    if (queue != SLKQueue::Output)
        count += received + static_cast<long long>(session->pendingCount());
    *bytes = count;
    return true;
}
